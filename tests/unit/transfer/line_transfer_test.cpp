// Line mode: lines sent whole and unchanged but for terminators, the length limit, resends
// and the end of the file.
#include "transfer_fixture.h"

#include "transfer/transfer.h"

namespace {

const std::string TOO_LONG = "\r\nERROR - Line in file is too long.\r\n";
const std::string SEND_FAILED = "\r\nERROR - Could not transmit data.\r\n"
                                "\r\nERROR - Could not download record to system.\r\n";

class LineTransfer : public TransferTest {
  protected:
    void SetUp() override {
        TransferTest::SetUp();
        end_of_file = false;
        record_number = line_bytes_sent = line_length = 0;
    }
};

TEST_F(LineTransfer, LengthLimitAndLineEnds) {
    const std::string longest = std::string(82, 'a') + "\n";
    const std::string crlf = "S0030000FC\r\n";
    open_image(longest + crlf + std::string(83, 'b') + "\n" + "S9030000FC");
    EXPECT_TRUE(send_next_line());
    EXPECT_TRUE(send_next_line());
    EXPECT_EQ(test_link::written(), longest + crlf);
    EXPECT_EQ(line_length, 12u);
    EXPECT_EQ(line_bytes_sent, 83u + 12u);
    EXPECT_EQ(test_console::output(), "");

    // 83 characters and the line feed: counted, cut to 83 in the buffer, not sent.
    test_link::clear_written();
    EXPECT_FALSE(send_next_line());
    EXPECT_EQ(test_console::take_output(), TOO_LONG);
    EXPECT_EQ(record_number, 3u);
    EXPECT_EQ(std::string(line_buffer), std::string(83, 'b'));
    EXPECT_FALSE(end_of_file);

    // The rest of that line, then a last line without its line feed: both refused.
    EXPECT_TRUE(send_next_line()); // its line feed is a line of its own now
    test_link::clear_written();
    EXPECT_FALSE(send_next_line());
    EXPECT_EQ(test_console::take_output(), TOO_LONG);
    EXPECT_EQ(test_link::written(), "");
    EXPECT_FALSE(end_of_file);
}

TEST_F(LineTransfer, LineStartingWithNulIsRefusedNotReadBeforeTheBuffer) {
    open_image(std::string("\0S1\n", 4));
    EXPECT_FALSE(send_next_line());
    EXPECT_EQ(test_console::output(), TOO_LONG);
    EXPECT_EQ(test_link::written(), "");
}

TEST_F(LineTransfer, TerminatorsGoAsS8) {
    struct {
        std::string in, out;
    } lines[] = {{"S9030000FC\n", "S8030000FC\n"},
                 {"S70500000000FA\n", "S80500000000FA\n"},
                 {"S804000000FB\n", "S804000000FB\n"},
                 {"S5030001FB\n", "S5030001FB\n"},
                 {"X9\n", "X9\n"}};
    std::string file;
    for (const auto &line : lines)
        file += line.in;
    open_image(file);
    for (const auto &line : lines) {
        test_link::clear_written();
        EXPECT_TRUE(send_next_line());
        EXPECT_EQ(test_link::written(), line.out);
    }
}

TEST_F(LineTransfer, ResendRepeatsTheLastLinePaced) {
    open_image("S1\nS2\nS3\nS4\nS9030000FC\n");
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(send_next_line());
    test_link::clear_written();
    uint64_t start = test_link::now_ms();
    EXPECT_TRUE(resend_line());
    EXPECT_EQ(test_console::output(), "Resending Record 5\r\n");
    EXPECT_EQ(test_link::written(), "S8030000FC\n");
    const auto &bytes = test_link::written_bytes();
    for (size_t i = 0; i < bytes.size(); ++i)
        EXPECT_EQ(bytes[i].at_ms, start + 55 * i) << "character " << i;
    EXPECT_EQ(test_link::now_ms(), start + 55 * 11);
    EXPECT_EQ(record_number, 5u);
    EXPECT_EQ(line_bytes_sent, 3u * 4 + 11);
}

TEST_F(LineTransfer, EndOfFileThenNothingMore) {
    open_image("S1\n");
    EXPECT_TRUE(send_next_line());
    EXPECT_FALSE(send_next_line());
    EXPECT_TRUE(end_of_file);
    EXPECT_EQ(test_console::output(), "");
    // Set for good: even a file readable again is not touched.
    rewind(image_file);
    EXPECT_FALSE(send_next_line());
    EXPECT_EQ(test_link::written(), "S1\n");
    EXPECT_EQ(record_number, 1u);
}

TEST_F(LineTransfer, ReadAndWriteFailures) {
    // A directory opens but cannot be read: an error, not the end of the file.
    image_file = fopen("/tmp", "rb");
    ASSERT_NE(image_file, nullptr);
    EXPECT_FALSE(send_next_line());
    EXPECT_FALSE(end_of_file);
    EXPECT_EQ(test_console::take_output(), "\r\nERROR - Could not read next line in file.\r\n");
    fclose(image_file);
    image_file = NULL;

    open_image("S1\n");
    test_link::fail_writes_after(0);
    EXPECT_FALSE(send_next_line());
    EXPECT_EQ(test_console::take_output(), SEND_FAILED);
    EXPECT_EQ(line_bytes_sent, 0u);
    EXPECT_FALSE(resend_line());
    EXPECT_EQ(test_console::take_output(), "Resending Record 1\r\n" + SEND_FAILED);
}

} // namespace
