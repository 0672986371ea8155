// The real-mode UART driver over the scripted PC.
#include <gtest/gtest.h>

#include <cstdlib>

#include "realmode/pc.h"
#include "realmode/uart.h"
#include "serial/serial.h"
#include "support/test_console.h"
#include "support/test_pc.h"

namespace {

const std::string TRANSMITTER_TIMEOUT = "\r\nERROR - Transmitter timeout.\r\n";
const uint32_t TICKS_PER_DAY = 0x1800B0;

void previous_handler() {}

// The accesses to one UART, as "w3=83" (write, register 3, value 0x83) and "r5".
std::string uart_accesses(uint16_t base) {
    std::string out;
    char text[16];
    for (const test_pc::port_access &a : test_pc::accesses()) {
        if (a.port < base || a.port >= base + 8)
            continue;
        if (a.write)
            snprintf(text, sizeof text, "w%u=%02x ", a.port - base, a.value);
        else
            snprintf(text, sizeof text, "r%u ", a.port - base);
        out += text;
    }
    return out;
}

// Moves the clock to the start of the next tick, so that a wait of n ticks takes exactly n.
void align_to_tick() {
    test_pc::set_tick_step(test_pc::CLOCKS_PER_TICK - test_pc::clocks() % test_pc::CLOCKS_PER_TICK);
    pc_bios_ticks();
    test_pc::set_tick_step(test_pc::CLOCKS_PER_TICK / 16);
}

// BIOS ticks that a call takes.
template <typename F> uint32_t ticks_taken(F call) {
    align_to_tick();
    uint32_t start = test_pc::ticks();
    call();
    return (test_pc::ticks() + TICKS_PER_DAY - start) % TICKS_PER_DAY;
}

class UartTest : public ::testing::Test {
  protected:
    void SetUp() override {
        close_port();
        test_pc::reset();
        test_console::reset();
        baud_rate = 57600;
    }
    void TearDown() override { EXPECT_EQ(test_pc::unguarded_index_changes(), 0u); }

    // Opens COM1 and has the target echo every byte, a line feed as "\r\n".
    void open_echoing() {
        ASSERT_TRUE(open_port(1));
        test_pc::on_transmit(
            [](unsigned char c) { test_pc::receive(c == '\n' ? "\r\n" : std::string(1, c)); });
    }
};

TEST_F(UartTest, OpenProgramsTheUartAndHooksItsInterrupt) {
    pc_set_vector(0x0C, previous_handler);
    ASSERT_TRUE(open_port(1));
    EXPECT_EQ(uart_accesses(0x3F8), "w3=83 w0=02 w1=00 w3=03 w1=01 w4=0b r5 r0 ");
    EXPECT_EQ(pc_get_vector(0x0C), receive_interrupt);
    EXPECT_EQ(test_pc::pic_mask(), 0xB8 & ~0x10);

    // Reopening closes first, so the handler from before is still the one to restore.
    baud_rate = 1200;
    ASSERT_TRUE(open_port(1));
    close_port();
    EXPECT_EQ(pc_get_vector(0x0C), previous_handler);
    EXPECT_EQ(test_pc::pic_mask(), 0xB8);

    test_pc::clear_accesses();
    ASSERT_TRUE(open_port(2));
    EXPECT_EQ(uart_accesses(0x2F8), "w3=83 w0=60 w1=00 w3=03 w1=01 w4=0b r5 r0 ");
    EXPECT_EQ(pc_get_vector(0x0B), receive_interrupt);
    EXPECT_EQ(test_pc::pic_mask(), 0xB8 & ~0x08);
    close_port();

    // Closing a closed port touches no hardware.
    test_pc::clear_accesses();
    close_port();
    EXPECT_TRUE(test_pc::accesses().empty());
}

TEST_F(UartTest, MissingPortIsNeverProgrammed) {
    test_pc::set_bios_port(0, 0);
    EXPECT_FALSE(open_port(1));
    EXPECT_FALSE(open_port(3));
    EXPECT_TRUE(test_pc::accesses().empty());
    EXPECT_EQ(pc_get_vector(0x0C), nullptr);

    // Nothing on a closed port waits: not even a read without a time-out.
    unsigned char byte = 'x';
    EXPECT_FALSE(receive_byte(&byte, 0, 0));
    EXPECT_EQ(byte, 0);
    EXPECT_FALSE(send_byte('A'));
    EXPECT_EQ(test_console::output(), TRANSMITTER_TIMEOUT);
    EXPECT_EQ(test_pc::clocks(), 0u);
}

TEST_F(UartTest, RingKeeps255BytesAndWrapsAround) {
    ASSERT_TRUE(open_port(1));
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += (char)i;
    test_pc::receive(all);
    test_pc::advance_ticks(1);
    EXPECT_EQ(test_pc::handler_calls(), 256u);
    unsigned eois = 0;
    for (const test_pc::port_access &a : test_pc::writes())
        eois += a.port == 0x20 && a.value == 0x20;
    EXPECT_EQ(eois, 256u);

    unsigned char byte;
    for (int i = 0; i < 255; ++i) {
        ASSERT_TRUE(receive_byte(&byte, 1, 0));
        ASSERT_EQ(byte, i);
    }
    EXPECT_FALSE(receive_byte(&byte, 1, 0));

    // The indexes wrap from 255 to 0; purging drops only what was unread.
    test_pc::receive("abc");
    test_pc::advance_ticks(1);
    purge_input();
    test_pc::receive("de");
    ASSERT_TRUE(receive_byte(&byte, 1, 0));
    EXPECT_EQ(byte, 'd');
    close_port();
    EXPECT_EQ(rx_read_index, 0);
    EXPECT_EQ(rx_write_index, 0);
}

TEST_F(UartTest, ReceiveGivesUpAfterSecondsTimes91Over5Ticks) {
    const unsigned cases[][2] = {{1, 18}, {2, 36}, {5, 91}, {15, 273}};
    for (const auto &c : cases) {
        test_pc::reset();
        ASSERT_TRUE(open_port(1));
        unsigned char byte = 'x';
        EXPECT_EQ(ticks_taken([&] { EXPECT_FALSE(receive_byte(&byte, c[0], 0)); }), c[1]);
        EXPECT_EQ(byte, 0);
    }

    // A byte just inside the limit is taken; across midnight the wait is as long as any.
    test_pc::set_ticks(TICKS_PER_DAY - 10);
    test_pc::receive("y", 35);
    unsigned char byte;
    EXPECT_TRUE(receive_byte(&byte, 2, 0));
    EXPECT_EQ(byte, 'y');
    EXPECT_EQ(ticks_taken([&] { EXPECT_FALSE(receive_byte(&byte, 2, 0)); }), 36u);
    EXPECT_LT(test_pc::ticks(), 100u);

    // A limit of 0 outlasts hours and midnight.
    test_pc::set_tick_step(test_pc::CLOCKS_PER_TICK);
    test_pc::receive("z", 200000);
    EXPECT_TRUE(receive_byte(&byte, 0, 0));
    EXPECT_EQ(byte, 'z');
}

TEST_F(UartTest, EchoShowsPrintableAndWhiteSpaceOnly) {
    ASSERT_TRUE(open_port(1));
    test_pc::receive(std::string("a\t\n\v\f\r ~\x06\x15\x18\x7f\x80\xff", 14));
    unsigned char byte;
    while (receive_byte(&byte, 1, 1)) {
    }
    EXPECT_EQ(test_console::take_output(), "a\t\n\v\f\r ~");
    test_pc::receive("bc");
    receive_byte(&byte, 1, 2);
    receive_byte(&byte, 1, 0);
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(UartTest, CommandEchoRules) {
    open_echoing();
    EXPECT_TRUE(send_command("1234abcd\n", 0));
    EXPECT_EQ(test_pc::transmitted(), "1234abcd\n");
    EXPECT_TRUE(send_command("", 1));
    purge_input();
    EXPECT_TRUE(send_command("ok\n", 1));
    EXPECT_EQ(test_console::take_output(), "ok\r");

    // A wrong echo of a printable character fails at once, a missing one after 5 s; silently.
    purge_input();
    test_pc::on_transmit(
        [](unsigned char c) { test_pc::receive(c == '3' ? "X" : std::string(1, c)); });
    EXPECT_EQ(ticks_taken([] { EXPECT_FALSE(send_command("1234", 1)); }), 0u);
    EXPECT_EQ(test_console::take_output(), "12X");
    test_pc::on_transmit(nullptr);
    test_pc::reset();
    ASSERT_TRUE(open_port(1));
    EXPECT_EQ(ticks_taken([] { EXPECT_FALSE(send_command("1234", 1)); }), 91u);
    EXPECT_EQ(test_pc::transmitted(), "1");
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(UartTest, TransmitWaitsForTheHoldingRegister) {
    ASSERT_TRUE(open_port(1));
    test_pc::hold_transmitter(true);
    const unsigned char run[] = {'a', 'b', 'c'};
    EXPECT_EQ(ticks_taken([&] { EXPECT_FALSE(send_bytes(run, 3)); }), 36u);
    EXPECT_EQ(test_console::take_output(), TRANSMITTER_TIMEOUT);
    EXPECT_EQ(test_pc::transmitted(), "");

    test_pc::hold_transmitter(false);
    EXPECT_TRUE(send_bytes(run, 0));
    EXPECT_TRUE(send_bytes(run, 3));
    EXPECT_EQ(test_pc::transmitted(), "abc");

    // Paced: one byte per tick, and a tick after the last.
    std::vector<uint32_t> at;
    test_pc::on_transmit([&](unsigned char) { at.push_back(test_pc::ticks()); });
    align_to_tick();
    uint32_t start = test_pc::ticks();
    EXPECT_TRUE(send_bytes_paced(run, 3));
    EXPECT_EQ(at, (std::vector<uint32_t>{start, start + 1, start + 2}));
    EXPECT_EQ(test_pc::ticks(), start + 3);
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(UartTest, DelayCalibratesToTheTimerMode) {
    const struct {
        int mode;
        uint64_t clocks_per_read;
        uint64_t phase;
        uint16_t counts_per_ms;
    } cases[] = {{3, 5, 0, 2386}, {3, 7, 3, 2386}, {2, 5, 0, 1193},
                 {2, 5, 1, 1193}, {2, 1, 0, 1193}, {2, 0, 0, 2386}};
    for (const auto &c : cases) {
        test_pc::reset();
        test_pc::set_timer(c.mode, c.clocks_per_read);
        test_pc::set_tick_step(c.phase);
        pc_bios_ticks();
        calibrate_delay();
        EXPECT_EQ(pit_counts_per_ms, c.counts_per_ms) << "mode " << c.mode << " phase " << c.phase;
        if (c.clocks_per_read == 0)
            continue;
        // From several phases of the counter, across none to many wrap-arounds.
        for (unsigned ms : {0u, 1u, 10u, 27u, 28u, 100u, 400u}) {
            test_pc::set_tick_step(std::rand() % 65536);
            pc_bios_ticks();
            uint64_t start = test_pc::clocks();
            delay_ms(ms);
            int64_t taken = test_pc::clocks() - start;
            EXPECT_NEAR(taken, ms * 1193, 3 * c.clocks_per_read) << ms << " ms, mode " << c.mode;
        }
    }
}

TEST_F(UartTest, RingIsOnlyTouchedWithTheInterruptMasked) {
    // Bytes arrive while the driver waits, sends and purges.
    open_echoing();
    unsigned char byte;
    for (int round = 0; round < 50; ++round) {
        test_pc::receive(".", 1);
        ASSERT_TRUE(receive_byte(&byte, 2, 0));
        ASSERT_TRUE(send_command("ab\n", 0));
        purge_input();
    }
    EXPECT_EQ(test_pc::handler_calls(), 50u * 5);

    // The check itself notices an unguarded change.
    rx_read_index = (uint8_t)(rx_read_index + 1);
    pc_in(0x21);
    EXPECT_EQ(test_pc::unguarded_index_changes(), 1u);
    test_pc::reset();
}

} // namespace
