// The real-mode build's own parts: its UART driver on the test PC, the flash-map check, its
// screen, its differences in the session and the line-mode download, and its entry.
#include <gtest/gtest.h>

#include <map>

#include "app/console.h"
#include "app/terminal.h"
#include "image/srecord.h"
#include "realmode/console_realmode.h"
#include "realmode/flash_map.h"
#include "realmode/uart.h"
#include "serial/serial.h"
#include "session/build_variant.h"
#include "support/pc.h"
#include "support/unit.h"

int download_main(int argc, char **argv);

// Where the cursor reads (row 3); the BIOS tick and the timer latches at the last clear.
static unsigned long cursor_column = 7, cleared_tick = 0, latches_at_clear = 0;

// The screen shows in the console output: "<top,left,bottom,right>" a window made current,
// "[row,column]" the cursor moved.
void screen_clear() {
    console_write("<clear>", 7);
    cleared_tick = wire::now_ms * 182 / 10000, latches_at_clear = pc.latches;
}
void screen_window(unsigned top, unsigned left, unsigned bottom, unsigned right) {
    char text[24];
    console_write(text, snprintf(text, sizeof text, "<%u,%u,%u,%u>", top, left, bottom, right));
}
void screen_cursor(unsigned *row, unsigned *column) {
    *row = 3, *column = cursor_column;
}
void screen_goto(unsigned row, unsigned column) {
    char text[24];
    console_write(text, snprintf(text, sizeof text, "[%u,%u]", row, column));
}

namespace {

struct RealMode : public ::testing::Test {
    void SetUp() override { fresh_start(), pc_reset(), close_port(); }
    // The BIOS tick count now, and the first moment at which it reads `tick`.
    static uint64_t ticks() { return wire::now_ms * 182 / 10000; }
    static uint64_t ms_at_tick(uint64_t tick) { return (tick * 10000 + 181) / 182; }
};

TEST_F(RealMode, UartOpensAndRing) {
    // 8N1 at 115200 / baud, the received-data interrupt, DTR, RTS and OUT2, the IRQ unmasked
    // ("": no open, nothing written); opened again, closed first; a byte through the port's
    // vector; closed, the IRQ masked and the vector as before. The first row sees the PC as the
    // fixture leaves it, after the run's first close of a port never opened.
    const std::tuple<unsigned, uint32_t, uint16_t, std::string> opens[] = {
        {1, 57600, 0x3F8, " 3FB=83 3F8=02 3F9=00 3FB=03 3F9=01 3FC=0B 21=EF"},
        {2, 1200, 0x2F8, " 2FB=83 2F8=60 2F9=00 2FB=03 2F9=01 2FC=0B 21=F7"},
        {1, 300, 0x3F8, " 3FB=83 3F8=80 3F9=01 3FB=03 3F9=01 3FC=0B 21=EF"},
        {2, 115200, 0x2F8, " 2FB=83 2F8=01 2F9=00 2FB=03 2F9=01 2FC=0B 21=F7"},
        {1, 115201, 0x3F8, ""},
        {1, 0, 0x3F8, ""},
        {2, 57600, 0, ""},
        {3, 57600, 0x3E8, ""},
        {0, 57600, 0x3F8, ""}};
    for (const auto &[com, baud, bios, programmed] : opens) {
        pc.line_port = com == 2 ? 2 : 1;
        pc.bios_table[(com + 3) % 4] = bios, baud_rate = baud;
        EXPECT_TRUE(open_port(com) == !programmed.empty() && pc.writes == programmed) << pc.writes;
        unsigned char byte = 0;
        wire::says("a");
        EXPECT_EQ(open_port(com) && receive_byte(&byte, 1, ECHO_OFF), !programmed.empty());
        close_port();
        EXPECT_TRUE(pc_in(0x21) == 0xFF && pc_get_vector(0x0C) == nullptr &&
                    pc_get_vector(0x0B) == nullptr && byte == (programmed.empty() ? 0 : 'a'));
        SetUp();
    }

    // 256 bytes while nothing reads: the first 255 are kept. The ring is read and purged with
    // the IRQ masked around each access; what comes later is read; what is left at a close is
    // gone after the next open.
    ASSERT_TRUE(open_port(1));
    wire::says(std::string(255, 'x') + "yz");
    wait_ticks(1);
    pc.writes.clear();
    std::string got;
    unsigned char byte;
    while (receive_byte(&byte, 1, ECHO_OFF))
        got += (char)byte;
    EXPECT_TRUE(got == std::string(255, 'x') &&
                count_of(pc.writes, " 21=FF 21=EF") * 12 == pc.writes.size());
    wire::says("pq");
    wait_ticks(1);
    pc.writes.clear();
    purge_input();
    wire::says("rs");
    EXPECT_TRUE(pc.writes == " 21=FF 21=EF" && receive_byte(&byte, 1, ECHO_OFF) && byte == 'r');
    close_port();
    EXPECT_FALSE(open_port(1) && receive_byte(&byte, 1, ECHO_OFF));
}

TEST_F(RealMode, UartWaitsAndDelays) {
    // r: receive_byte, c: on a closed port, m: across midnight, t: send_byte, p: send_bytes_paced
    // of 3 bytes; seconds; the tick at which the byte arrives or the transmitter frees, and at
    // which the call returns; its result.
    const std::tuple<char, unsigned, uint64_t, bool> waits[] = {
        {'r', 15, 272, true}, {'r', 15, 273, false}, {'r', 5, 90, true},  {'r', 5, 91, false},
        {'r', 2, 35, true},   {'r', 2, 36, false},   {'r', 1, 18, false}, {'r', 0, 5000, true},
        {'m', 2, 35, true},   {'m', 2, 36, false},   {'c', 1, 0, false},  {'t', 0, 35, true},
        {'t', 0, 36, false},  {'p', 0, 3, true}};
    for (const auto &[op, seconds, at, ok] : waits) {
        SetUp();
        pc.power_on_tick = op == 'm' ? 0x1800A0 : 0;
        pc.transmitter_free_at = op == 't' ? ms_at_tick(at) : 0;
        wire::says("a", ms_at_tick(at));
        unsigned char byte = 0x55;
        bool done = open_port(1) && (op != 'c' || (close_port(), true)) &&
                    (op == 't'   ? send_byte('q')
                     : op == 'p' ? send_bytes_paced((const unsigned char *)"abc", 3)
                                 : receive_byte(&byte, seconds, ECHO_OFF));
        const char *said = op == 't' && !ok ? "\r\nERROR - Transmitter timeout.\r\n" : "";
        EXPECT_EQ(std::make_tuple(done, ticks(), byte, test_console::output()),
                  std::make_tuple(ok, at, strchr("tp", op) ? 0x55 : (ok ? 'a' : 0), said));
    }

    // Counting by 2, counter 0 shows only odd rising values: 2386 counts a millisecond after 100
    // readings. Counting by 1, the first even one means 1193. Stopped, the readings still end.
    // A pause longer than 65535 ms goes in pieces.
    const std::tuple<unsigned, unsigned, unsigned> delays[] = {
        {2, 100, 1}, {2, 100, 65536}, {1, 2, 6000}, {0, 100, 0}};
    for (const auto &[step, readings, ms] : delays) {
        SetUp();
        pc.timer_step = step;
        calibrate_delay();
        EXPECT_EQ(pc.latches, readings) << step;
        uint64_t start = pc_now_us();
        sleep_ms(ms);
        EXPECT_NEAR((double)(pc_now_us() - start), ms * 1000.0, 100) << ms;
    }
}

TEST_F(RealMode, Screen) {
    // The layout, the header (the name cut to 64, so that its row holds it), and the percentage
    // with its bar, which nothing erases.
    const std::string STATUS = "<1,1,15,80>", BACK = "<16,1,24,80>[3,7]", LINE(28, '\xCD');
    lay_out_screen("B\r\n");
    print_download_header(std::string(70, 'n').c_str(), '2');
    EXPECT_EQ(
        test_console::take_output(),
        "<clear>" + STATUS + "[2,1]B\r\n[14,1]" + std::string(79, '\xCD') + "<16,1,24,80>" +
            STATUS + "[12,1]Downloading " + std::string(64, 'n') +
            " --\r\nCom port: 2, Baud Rate: 57600 . . .[7,25]" + LINE + "[9,25]" + LINE +
            "[7,24]\xC9[9,24]\xC8[7,53]\xBB[9,53]\xBC[8,24]\xBA[8,53]\xBA[6,29]Percent Complete:" +
            BACK);
    const std::tuple<uint32_t, const char *, unsigned, const char *> percentages[] = {
        {0, "  0", 0, ""},       {1, "  1", 0, ""},    {2, "  2", 0, "\xDD"}, {50, " 50", 14, ""},
        {99, " 99", 27, "\xDD"}, {101, "100", 28, ""}, {150, "100", 28, ""}};
    for (const auto &[percent, figure, full, half] : percentages) {
        show_progress(percent);
        EXPECT_EQ(test_console::take_output(),
                  STATUS + "[6,47]" + figure + "[8,25]" + std::string(full, '\xDB') + half + BACK);
    }

    // Each run in a process of its own: the period is fixed at the first line sent. Baud, lines,
    // the cursor's column after the character, what shows: at 9600 lines 1, 5 and 9; at 1200
    // every line; at the first column the cursor stays.
    const std::tuple<uint32_t, unsigned, unsigned, std::string> spins[] = {
        {9600, 10, 7, "|[3,6]/[3,6]-[3,6]"},
        {1200, 5, 2, "|[3,1]/[3,1]-[3,1]\\[3,1]|[3,1]"},
        {57600, 25, 1, "|/"}};
    for (const auto &[baud, lines, column, shown] : spins) {
        EXPECT_EXIT(
            {
                baud_rate = baud;
                cursor_column = column;
                for (unsigned i = 0; i < lines; ++i)
                    advance_spinner();
                exit(test_console::output() == shown ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << baud;
    }
}

TEST_F(RealMode, FlashMapAndFlow) {
    // The answer, and the message it gets: c cannot be verified, n not contiguous, b boot
    // sector not protected, e a sector not erasable, s spurious characters; p: it passes.
    const std::map<char, std::string> SAYS = {
        {'p', ""},
        {'c', "\r\nCould not verify sector protection status.\r\n"},
        {'n', "\r\nFlash memory devices are not contiguous.\r\n"},
        {'b', "\r\nBoot sector is not write protected.\r\n"},
        {'e', "\r\nAn application or data sector is not erasable.\r\n"},
        {'s', "\r\nSpurious characters follow the sector protection data.\r\n"}};
    const std::pair<const char *, char> answers[] = {
        {"1 : FE", 'p'},         {"0x7 : fe ff 0FF", 'p'},  {" 3         :FE FF FE", 'p'},
        {"3 : FE", 'c'},         {"0 : FE FE", 'c'},        {"10001 : FE", 'c'},
        {"100000001 : FE", 'c'}, {"0X100000001 : FE", 'c'}, {"1 FE", 'c'},
        {"5 : FE FF FF", 'n'},   {"1 : 01", 'b'},           {"1 : 7E", 'e'},
        {"3 : FE FE", 'e'},      {"1 : 1000000FE", 'e'},    {"1 : 0x1000000fe", 'e'},
        {"1 : FEx", 's'}};
    for (const auto &[map, verdict] : answers) {
        SetUp();
        wire::attach_target({"--flash-map", map});
        bool passed = open_port(1) && check_flash_map();
        EXPECT_EQ(
            std::make_tuple(passed, wire::written, flash_check_active, test_console::output()),
            std::make_tuple(verdict == 'p', "_DUMP_FLASH_MAP\r", verdict != 'p',
                            "_DUMP_FLASH_MAP\r\n" + std::string(map) + "\r\n" + SAYS.at(verdict)));
    }
    // The driver's message after a refused map, and after a session that fails before the check.
    test_console::reset();
    report_session_failure(), session_starting(), report_session_failure();
    EXPECT_EQ(test_console::output(),
              "\r\n*** Contact Halvren Technical Support for assistance. ***\r\n"
              "\r\nERROR - Could not obtain download prompt.\r\n");

    // The port given; the screen laid out 8 ticks after calibration's 100 readings; the
    // flash map checked, the next line read unseen, the upgrade command; the spinner every 24
    // lines; at the EOT the full bar, then the message; at the end the port and the file closed.
    // The file's last line end is never sent, so only the EOT brings the bar to 100.
    SetUp();
    std::string image = temp_file(pattern_records('2', 0x8000, 0x400) + srec('8', 0, "") + "\n");
    char *argv[] = {(char *)"download", &image[0], (char *)"1"};
    wire::attach_target({"--mode", "line"});
    test_console::keys("y");
    std::string missing, bar = "[6,47]100[8,25]" + std::string(28, '\xDB') + "<16,1,24,80>[3,7]";
    EXPECT_TRUE(download_main(3, argv) == 0 &&
                shown_in_order({"[N])  y\r\n<clear>", "_DUMP_FLASH_MAP\r\n1 : FE\r\n_UPGRADE",
                                "|[3,6]", "/[3,6]",
                                bar + "\r\nDownload Complete.\r\n\r\n\r\nDownload successful.\r\n"},
                               &missing))
        << missing;
    EXPECT_TRUE(cleared_tick == 8 && latches_at_clear == 100 && image_file == nullptr &&
                pc_in(0x21) == 0xFF && pc_get_vector(0x0C) == nullptr && !flash_check_active);
}

} // namespace
