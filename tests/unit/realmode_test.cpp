// The real-mode build's own parts: its UART driver on the test PC, the flash-map check, its
// console, and its differences in the session and the line-mode download.
#include <gtest/gtest.h>

#include "app/console.h"
#include "realmode/console_realmode.h"
#include "realmode/flash_map.h"
#include "realmode/screen.h"
#include "realmode/uart.h"
#include "serial/serial.h"
#include "session/driver.h"
#include "support/pc.h"
#include "support/unit.h"

// The screen's positions are not looked at here: the downloads in DOSBox read the screen.
void screen_clear() {}
void screen_window(unsigned, unsigned, unsigned, unsigned) {}
void screen_cursor(unsigned *row, unsigned *column) {
    *row = *column = 1;
}
void screen_goto(unsigned, unsigned) {}

namespace {

class RealMode : public ::testing::Test {
  protected:
    void SetUp() override {
        fresh_start();
        pc_reset();
        close_port();
        wire::set_open(true);
        flash_check_active = false;
    }
};

// The first moment at which the BIOS tick count reads `tick`, and the count now.
uint64_t ms_at_tick(uint64_t tick) {
    return (tick * 10000 + 181) / 182;
}
uint64_t ticks() {
    return wire::now_ms() * 182 / 10000;
}

TEST_F(RealMode, UartOpenReceiveClose) {
    for (unsigned com : {1u, 2u}) {
        SetUp();
        pc_line_port = com;
        const uint16_t base = com == 1 ? 0x3F8 : 0x2F8;
        const unsigned char unmasked = com == 1 ? 0xEF : 0xF7; // the IRQ's bit cleared
        ASSERT_TRUE(open_port(com));
        // 57600 bit/s 8N1, receive interrupt, DTR, RTS and OUT2; then this port's IRQ unmasked.
        const std::vector<std::pair<uint16_t, unsigned char>> programmed = {
            {base + 3, 0x83}, {base, 2},        {base + 1, 0},   {base + 3, 0x03},
            {base + 1, 0x01}, {base + 4, 0x0B}, {0x21, unmasked}};
        EXPECT_EQ(pc_writes, programmed) << "COM" << com;

        // Waits last seconds x 91 / 5 BIOS ticks: 273 for 15 attempts.
        unsigned char byte = 0;
        wire::says("a", ms_at_tick(272));
        EXPECT_TRUE(receive_byte(&byte, 15, ECHO_OFF)) << "COM" << com;
        EXPECT_EQ(byte, 'a');
        uint64_t start = ticks();
        wire::says("b", ms_at_tick(275));
        EXPECT_FALSE(receive_byte(&byte, 15, ECHO_OFF));
        EXPECT_EQ(ticks() - start, 273u);

        // Closed: the IRQ masked again, nothing received.
        close_port();
        EXPECT_EQ(pc_writes.back(), std::make_pair((uint16_t)0x21, (unsigned char)0xFF));
        wire::says("c");
        EXPECT_FALSE(receive_byte(&byte, 1, ECHO_OFF));
    }
    // COM3 has no IRQ of its own here; a port missing from the BIOS table is never programmed.
    EXPECT_FALSE(open_port(3));
}

TEST_F(RealMode, UartRingAndTransmitter) {
    ASSERT_TRUE(open_port(1));
    // A full ring keeps 255 bytes and drops the rest.
    wire::says(std::string(255, 'x') + "yz");
    wait_ticks(2);
    std::string got;
    unsigned char byte;
    while (receive_byte(&byte, 1, ECHO_OFF))
        got += (char)byte;
    EXPECT_EQ(got, std::string(255, 'x'));

    // A transmitter that never empties gives up after 36 ticks, with this build's message.
    pc_transmitter_stuck = true;
    uint64_t start = ticks();
    EXPECT_FALSE(send_byte('q'));
    EXPECT_EQ(ticks() - start, 36u);
    EXPECT_EQ(test_console::output(), "\r\nERROR - Transmitter timeout.\r\n");
}

TEST_F(RealMode, FlashMap) {
    const char *const CANNOT = "\r\nCould not verify sector protection status.\r\n";
    const char *const ERASABLE = "\r\nAn application or data sector is not erasable.\r\n";
    const struct {
        const char *map;
        const char *verdict; // "" when it passes
    } rows[] = {
        {"1 : FE", ""},
        {"0x7 : fe ff 0FF", ""},
        {"3 : FE", CANNOT},
        {"0 : FE", CANNOT},
        {"10000 : FE", CANNOT},
        {"1 FE", CANNOT},
        {"5 : FE FF FF", "\r\nFlash memory devices are not contiguous.\r\n"},
        {"1 : FF", "\r\nBoot sector is not write protected.\r\n"},
        {"1 : FC", ERASABLE},
        {"3 : FE FE", ERASABLE},
        {"1 : 1000000FE", ERASABLE},
        {"1 : FEx", "\r\nSpurious characters follow the sector protection data.\r\n"},
    };
    for (const auto &row : rows) {
        SetUp();
        wire::attach_target({"--flash-map", row.map});
        ASSERT_TRUE(open_port(1));
        bool passed = check_flash_map();
        EXPECT_EQ(passed, *row.verdict == '\0') << row.map;
        EXPECT_EQ(wire::written(), "_DUMP_FLASH_MAP\r");
        std::string shown = test_console::output();
        EXPECT_EQ(shown.substr(shown.size() - strlen(row.verdict)), row.verdict) << row.map;
        EXPECT_EQ(flash_check_active, !passed) << row.map;
    }
}

TEST_F(RealMode, ProgressBar) {
    const struct {
        uint32_t percent;
        std::string written;
    } rows[] = {{0, "  0"},
                {1, "  1"},
                {2, "  2\xDD"},
                {50, " 50" + std::string(14, '\xDB')},
                {99, " 99" + std::string(27, '\xDB') + "\xDD"},
                {150, "100" + std::string(28, '\xDB')}};
    for (const auto &row : rows) {
        test_console::reset();
        show_progress(row.percent);
        EXPECT_EQ(test_console::output(), row.written) << row.percent;
    }
}

TEST_F(RealMode, HeaderStaysOnItsRow) {
    // "Downloading ", the name cut to 64 characters, " --": 79 columns.
    const std::string name =
        "/a/very/long/path/to/the/firmware/images/of/this/product/" + std::string(40, 'x') + ".s19";
    print_download_header(name.c_str(), '2');
    std::string shown = test_console::output();
    EXPECT_EQ(shown.substr(0, shown.find("\r\n")), "Downloading " + name.substr(0, 64) + " --");
    EXPECT_EQ(shown.substr(shown.find("\r\n") + 2, 15), "Com port: 2, Ba");
}

TEST_F(RealMode, Sessions) {
    // A passed flash-map check, then a target lost after the upgrade command: the ordinary
    // message. A refused map: the support message, and no upgrade command.
    wire::attach_target({"--upgrade-baud", "300"});
    EXPECT_FALSE(run_download("image.s19", '1'));
    EXPECT_NE(test_console::output().find("_DUMP_FLASH_MAP"), std::string::npos);
    EXPECT_NE(test_console::output().find("Could not re-establish communications.\r\n"
                                          "\r\nERROR - Could not obtain download prompt.\r\n"),
              std::string::npos)
        << test_console::output();

    SetUp();
    wire::attach_target({"--flash-map", "1 : FF"});
    EXPECT_FALSE(run_download("image.s19", '1'));
    EXPECT_NE(test_console::output().find(
                  "\r\nBoot sector is not write protected.\r\n"
                  "\r\n*** Contact Halvren Technical Support for assistance. ***\r\n"),
              std::string::npos)
        << test_console::output();
    EXPECT_EQ(wire::written().find("_UPGRADE_SYSTEM_CODE_"), std::string::npos);
}

TEST_F(RealMode, LineModeDownload) {
    // The first line goes right after the NAK's 2 s (36 ticks); the spinner turns every
    // 57600 / 2400 lines.
    std::string image = pattern_records('2', 0x8000, 0x400) + srec('8', 0, "");
    use_image(image);
    wire::attach_target({"--waiting", "--mode", "line", "--range", "0x8000:0x83FF"});
    uint64_t nak_tick = 0;
    wire::on_write([&nak_tick](unsigned char c) {
        if (c == 0xDE) // the sector-size request's last byte, answered at once
            nak_tick = ticks();
    });
    EXPECT_TRUE(run_download("image.s19", '1')) << test_console::output() << wire::target_log();
    EXPECT_EQ(wire::written_at(wire::written().find("S2")) * 182 / 10000, nak_tick + 36);
    const std::string &shown = test_console::output();
    EXPECT_EQ(count_of(shown, "|"), 1u);
    EXPECT_EQ(count_of(shown, "/"), 1u);
    EXPECT_NE(shown.find("\r\nDownload Complete.\r\n"), std::string::npos);
    EXPECT_TRUE(wire::target_received() == pattern(0x8000, 0x400));
}

} // namespace
