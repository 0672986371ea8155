#include <gtest/gtest.h>

#include "serial/serial.h"
#include "support/test_console.h"
#include "support/test_link.h"

namespace {

const std::string TRANSMIT_ERROR = "\r\nERROR - Could not transmit data.\r\n";

class SerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test_link::reset();
        test_console::reset();
        baud_rate = 57600;
        ASSERT_TRUE(open_port(1));
    }
};

TEST_F(SerialTest, ReceiveByteWaitsOneSecondPerAttempt) {
    unsigned char byte = 0xAA;
    // 0 and 1 both make a single attempt.
    EXPECT_FALSE(receive_byte(&byte, 0, 0));
    EXPECT_EQ(byte, 0x00);
    EXPECT_EQ(test_link::now_ms(), 1000u);
    EXPECT_FALSE(receive_byte(&byte, 1, 0));
    EXPECT_EQ(test_link::now_ms(), 2000u);
    EXPECT_FALSE(receive_byte(&byte, 5, 0));
    EXPECT_EQ(test_link::now_ms(), 7000u);

    // A byte due inside the last attempt is taken as soon as it arrives; one due after it is
    // missed.
    test_link::target_says("A", 2500);
    EXPECT_FALSE(receive_byte(&byte, 2, 0));
    EXPECT_EQ(test_link::now_ms(), 9000u);
    EXPECT_TRUE(receive_byte(&byte, 3, 0));
    EXPECT_EQ(byte, 'A');
    EXPECT_EQ(test_link::now_ms(), 9500u);
}

TEST_F(SerialTest, ReceiveByteOnClosedPortFailsAtOnce) {
    test_link::target_says("A");
    close_port();
    unsigned char byte = 0xAA;
    EXPECT_FALSE(receive_byte(&byte, 15, 1));
    EXPECT_EQ(byte, 0x00);
    EXPECT_EQ(test_link::now_ms(), 0u);
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(SerialTest, ReceiveByteEchoesOnlyForFlagOne) {
    test_link::target_says("abcd");
    unsigned char byte;
    for (int flag : {0, 2, -1, 1})
        EXPECT_TRUE(receive_byte(&byte, 1, flag));
    EXPECT_EQ(test_console::output(), "d");
}

TEST(EchoChar, PrintsPrintableAndWhiteSpaceOnly) {
    test_console::reset();
    std::string expected;
    for (unsigned value = 0; value < 256; ++value) {
        echo_char(static_cast<unsigned char>(value));
        if ((value >= 0x09 && value <= 0x0D) || (value >= 0x20 && value <= 0x7E))
            expected += static_cast<char>(value);
    }
    EXPECT_EQ(test_console::output(), expected);
}

// A target that echoes what it gets, answering the line feed with a carriage return.
void echo_with_cr(unsigned char c) {
    test_link::target_says(std::string(1, c == '\n' ? '\r' : c));
}

TEST_F(SerialTest, SendCommandChecksEachPrintableEcho) {
    test_link::on_write(echo_with_cr);
    EXPECT_TRUE(send_command("download_firmware\n", 0));
    EXPECT_EQ(test_link::written(), "download_firmware\n");
    EXPECT_EQ(test_console::take_output(), "");
    EXPECT_TRUE(send_command("ab\n", 1));
    EXPECT_EQ(test_console::take_output(), "ab\r");
    EXPECT_EQ(test_link::now_ms(), 0u);

    // A wrong letter ends the command at once.
    test_link::clear_written();
    test_link::on_write([](unsigned char c) { echo_with_cr(c == 'w' ? 'v' : c); });
    EXPECT_FALSE(send_command("download_firmware\n", 0));
    EXPECT_EQ(test_link::written(), "dow");
    EXPECT_EQ(test_link::now_ms(), 0u);

    // A missing echo, even of the line feed, fails after five attempts.
    for (const char *text : {"download_firmware", "\n"}) {
        uint64_t start = test_link::now_ms();
        test_link::on_write([](unsigned char c) {
            if (c != 'w' && c != '\n')
                echo_with_cr(c);
        });
        EXPECT_FALSE(send_command(text, 0)) << text;
        EXPECT_EQ(test_link::now_ms() - start, 5000u) << text;
    }
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(SerialTest, PacedBytesPauseAfterEachAndStopAtFirstFailure) {
    const unsigned char bytes[] = {0x03, 0x03, 0x03};
    EXPECT_TRUE(send_bytes_paced(bytes, 3));
    const auto &written = test_link::written_bytes();
    ASSERT_EQ(written.size(), 3u);
    for (unsigned i = 0; i < 3; ++i)
        EXPECT_EQ(written[i].at_ms, 55u * i);
    EXPECT_EQ(test_link::now_ms(), 165u);

    test_link::clear_written();
    test_link::fail_writes_after(2);
    EXPECT_FALSE(send_bytes_paced(bytes, 3));
    EXPECT_EQ(test_link::written_bytes().size(), 2u);
    EXPECT_EQ(test_link::now_ms(), 165u + 110u);
    EXPECT_EQ(test_console::output(), TRANSMIT_ERROR);
}

TEST_F(SerialTest, SendBytesCountZeroAndClosedPort) {
    const unsigned char byte = 'x';
    EXPECT_TRUE(send_bytes(&byte, 0));
    EXPECT_EQ(test_link::written(), "");
    EXPECT_EQ(test_console::take_output(), "");

    close_port();
    EXPECT_FALSE(send_bytes(&byte, 0));
    EXPECT_EQ(test_console::take_output(), TRANSMIT_ERROR);
    EXPECT_FALSE(send_byte('x'));
    EXPECT_EQ(test_console::take_output(), TRANSMIT_ERROR);
    EXPECT_EQ(test_link::written(), "");
}

} // namespace
