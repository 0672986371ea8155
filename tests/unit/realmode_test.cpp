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
#include "serial/port.h"
#include "serial/serial.h"
#include "session/driver.h"
#include "support/pc.h"
#include "support/unit.h"

int download_main(int argc, char **argv);

namespace {

unsigned cursor_column = 7; // where the cursor reads, on row 3
uint64_t cleared_tick = 0;  // the BIOS tick, and the timer latches so far, at the last clear
unsigned latches_at_clear = 0;

struct RealMode : public ::testing::Test {
    void SetUp() override { fresh_start(), close_port(), pc_reset(); }
    // The BIOS tick count now, and the first moment at which it reads `tick`.
    static uint64_t ticks() { return wire::now_ms() * 182 / 10000; }
    static uint64_t ms_at_tick(uint64_t tick) { return (tick * 10000 + 181) / 182; }
    static void mark(const char *format, unsigned a, unsigned b, unsigned c = 0, unsigned d = 0) {
        char text[24];
        console_write(text, snprintf(text, sizeof text, format, a, b, c, d));
    }
};

} // namespace

// The screen shows in the console output: "<top,left,bottom,right>" a window made current,
// "[row,column]" the cursor moved.
void screen_clear() {
    console_write("<clear>", 7);
    cleared_tick = RealMode::ticks(), latches_at_clear = pc.latches;
}
void screen_window(unsigned top, unsigned left, unsigned bottom, unsigned right) {
    RealMode::mark("<%u,%u,%u,%u>", top, left, bottom, right);
}
void screen_cursor(unsigned *row, unsigned *column) {
    *row = 3, *column = cursor_column;
}
void screen_goto(unsigned row, unsigned column) {
    RealMode::mark("[%u,%u]", row, column);
}

namespace {

TEST_F(RealMode, UartOpens) {
    // 8N1 at 115200 / baud, the received-data interrupt, DTR, RTS and OUT2, the IRQ unmasked
    // ("": no open, nothing written); opened again, closed first; a byte through the port's
    // vector; closed, the IRQ masked and the vector as before.
    const std::tuple<unsigned, uint32_t, uint16_t, std::string> rows[] = {
        {1, 57600, 0x3F8, " 3FB=83 3F8=02 3F9=00 3FB=03 3F9=01 3FC=0B 21=EF"},
        {2, 1200, 0x2F8, " 2FB=83 2F8=60 2F9=00 2FB=03 2F9=01 2FC=0B 21=F7"},
        {1, 300, 0x3F8, " 3FB=83 3F8=80 3F9=01 3FB=03 3F9=01 3FC=0B 21=EF"},
        {2, 115200, 0x2F8, " 2FB=83 2F8=01 2F9=00 2FB=03 2F9=01 2FC=0B 21=F7"},
        {1, 115201, 0x3F8, ""},
        {1, 0, 0x3F8, ""},
        {2, 57600, 0, ""},
        {3, 57600, 0x3E8, ""},
        {0, 57600, 0x3F8, ""}};
    for (const auto &[com, baud, bios, programmed] : rows) {
        SetUp();
        pc.line_port = com == 2 ? 2 : 1;
        pc.bios_table[(com + 3) % 4] = bios, baud_rate = baud;
        EXPECT_TRUE(open_port(com) == !programmed.empty() && pc.writes == programmed) << pc.writes;
        unsigned char byte = 0;
        wire::says("a");
        EXPECT_EQ(open_port(com) && receive_byte(&byte, 1, ECHO_OFF), !programmed.empty());
        close_port();
        EXPECT_TRUE(pc_in(0x21) == 0xFF && pc_get_vector(0x0C) == nullptr &&
                    pc_get_vector(0x0B) == nullptr && byte == (programmed.empty() ? 0 : 'a'))
            << com << " " << baud;
    }
}

TEST_F(RealMode, UartWaits) {
    // r: receive_byte, c: on a closed port, m: across midnight, t: send_byte, e: send_command,
    // p: send_bytes_paced of 3 bytes; seconds; the tick at which the byte arrives or the
    // transmitter frees, and at which the call returns; its result.
    const std::tuple<char, unsigned, uint64_t, bool> rows[] = {
        {'r', 15, 272, true}, {'r', 15, 273, false}, {'r', 5, 90, true},  {'r', 5, 91, false},
        {'r', 2, 35, true},   {'r', 2, 36, false},   {'r', 1, 18, false}, {'r', 0, 5000, true},
        {'m', 2, 35, true},   {'m', 2, 36, false},   {'c', 1, 0, false},  {'t', 0, 35, true},
        {'t', 0, 36, false},  {'e', 0, 90, true},    {'e', 0, 91, false}, {'p', 0, 3, true}};
    for (const auto &[op, seconds, at, ok] : rows) {
        SetUp();
        pc.power_on_tick = op == 'm' ? 0x1800A0 : 0;
        pc.transmitter_free_at = op == 't' ? ms_at_tick(at) : 0;
        wire::says(op == 'e' ? "E" : "a", ms_at_tick(at));
        unsigned char byte = 0x55;
        bool done = open_port(1) && (op != 'c' || (close_port(), true)) &&
                    (op == 't'   ? send_byte('q')
                     : op == 'e' ? send_command("E", ECHO_OFF)
                     : op == 'p' ? send_bytes_paced((const unsigned char *)"abc", 3)
                                 : receive_byte(&byte, seconds, ECHO_OFF));
        EXPECT_TRUE(done == ok && ticks() == at && (strchr("tep", op) || byte == (ok ? 'a' : 0)) &&
                    test_console::output() ==
                        (op == 't' && !ok ? "\r\nERROR - Transmitter timeout.\r\n" : ""))
            << op << " " << seconds << " " << at << test_console::output();
    }
}

TEST_F(RealMode, UartRing) {
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

TEST_F(RealMode, Delays) {
    // Counting by 2, counter 0 shows only odd rising values: 2386 counts a millisecond after 100
    // readings. Counting by 1, the first even one means 1193. Stopped, the readings still end.
    const std::tuple<unsigned, unsigned, unsigned> rows[] = {
        {2, 100, 1}, {2, 100, 70000}, {1, 2, 6000}, {0, 100, 0}};
    for (const auto &[step, readings, ms] : rows) {
        SetUp();
        pc.timer_step = step;
        calibrate_delay();
        EXPECT_EQ(pc.latches, readings) << step;
        uint64_t start = pc_now_us();
        sleep_ms(ms);
        EXPECT_NEAR((double)(pc_now_us() - start), ms * 1000.0, 100) << ms;
    }
}

TEST_F(RealMode, FlashMap) {
    const std::map<char, std::string> SAYS = {
        {'p', ""},
        {'c', "\r\nCould not verify sector protection status.\r\n"},
        {'n', "\r\nFlash memory devices are not contiguous.\r\n"},
        {'b', "\r\nBoot sector is not write protected.\r\n"},
        {'e', "\r\nAn application or data sector is not erasable.\r\n"},
        {'s', "\r\nSpurious characters follow the sector protection data.\r\n"}};
    // The answer, and what it gets.
    const std::pair<const char *, char> rows[] = {
        {"1 : FE", 'p'},         {"0x7 : fe ff 0FF", 'p'},  {" 3         :FE FF FE", 'p'},
        {"3 : FE", 'c'},         {"0 : FE FE", 'c'},        {"10001 : FE", 'c'},
        {"100000001 : FE", 'c'}, {"0X100000001 : FE", 'c'}, {"1 FE", 'c'},
        {"5 : FE FF FF", 'n'},   {"1 : 01", 'b'},           {"1 : 7E", 'e'},
        {"3 : FE FE", 'e'},      {"1 : 1000000FE", 'e'},    {"1 : 0x1000000fe", 'e'},
        {"1 : FEx", 's'}};
    for (const auto &[map, verdict] : rows) {
        SetUp();
        wire::attach_target({"--flash-map", map});
        EXPECT_TRUE(open_port(1) && check_flash_map() == (verdict == 'p') &&
                    wire::written() == "_DUMP_FLASH_MAP\r" &&
                    flash_check_active == (verdict != 'p'))
            << map;
        EXPECT_EQ(test_console::output(),
                  "_DUMP_FLASH_MAP\r\n" + std::string(map) + "\r\n" + SAYS.at(verdict));
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
    const std::tuple<uint32_t, const char *, unsigned, const char *> rows[] = {
        {0, "  0", 0, ""},       {1, "  1", 0, ""},    {2, "  2", 0, "\xDD"}, {50, " 50", 14, ""},
        {99, " 99", 27, "\xDD"}, {101, "100", 28, ""}, {150, "100", 28, ""}};
    for (const auto &[percent, figure, full, half] : rows) {
        show_progress(percent);
        EXPECT_EQ(test_console::take_output(),
                  STATUS + "[6,47]" + figure + "[8,25]" + std::string(full, '\xDB') + half + BACK);
    }
}

TEST_F(RealMode, Spinner) {
    // Each run in a process of its own: the period is fixed at the first line sent. Baud, lines,
    // the cursor's column after the character, what shows.
    const std::tuple<uint32_t, unsigned, unsigned, std::string> rows[] = {
        {9600, 9, 7, "|[3,6]/[3,6]-[3,6]"},
        {1200, 5, 2, "|[3,1]/[3,1]-[3,1]\\[3,1]|[3,1]"},
        {57600, 25, 1, "|/"}};
    for (const auto &[baud, lines, column, shown] : rows) {
        auto spin = [baud = baud, lines = lines, column = column, shown = shown] {
            baud_rate = baud, cursor_column = column;
            for (unsigned i = 0; i < lines; ++i)
                advance_spinner();
            exit(test_console::output() == shown ? 0 : 1);
        };
        EXPECT_EXIT(spin(), ::testing::ExitedWithCode(0), "") << baud;
    }
}

TEST_F(RealMode, Sessions) {
    // A passed flash-map check, the next line read unseen, then a target lost after the upgrade
    // command: the ordinary message. A refused map: the support message; a later run that never
    // reaches the target gives the ordinary one again.
    const std::string PROMPT = "\r\nERROR - Could not obtain download prompt.\r\n";
    const std::pair<std::vector<std::string>, std::vector<std::string>> rows[] = {
        {{"--upgrade-baud", "300"},
         {"1 : FE\r\n_UPGRADE", "re-establish communications.\r\n" + PROMPT}},
        {{"--flash-map", "1 : FF"},
         {"protected.\r\n\r\n*** Contact Halvren Technical Support for assistance. ***\r\n"}},
        {{}, {"Could not establish communications.\r\n" + PROMPT}}};
    for (const auto &[options, texts] : rows) {
        SetUp();
        if (!options.empty())
            wire::attach_target(options);
        std::string missing;
        EXPECT_TRUE(!run_download("image.s19", '1') && shown_in_order(texts, &missing)) << missing;
        EXPECT_EQ(flash_check_active, options.size() == 2 && options[1] == "1 : FF");
    }
}

TEST_F(RealMode, Program) {
    // The port asked for; the screen laid out 8 ticks after calibration's 100 readings; the first
    // line as soon as the NAK's 2 s are over; the spinner every 24 lines; the full bar, then the
    // message; at the end the port and the file closed.
    std::string image = temp_file(pattern_records('2', 0x8000, 0x400) + srec('8', 0, ""));
    char *argv[] = {(char *)"download", &image[0]};
    wire::attach_target({"--waiting", "--mode", "line"});
    uint64_t nak_tick = 0; // of the sector-size request's last byte
    wire::on_write([&nak_tick](unsigned char c) { nak_tick = c == 0xDE ? ticks() : nak_tick; });
    test_console::keys("y1");
    std::string missing, bar = "[6,47]100[8,25]" + std::string(28, '\xDB') + "<16,1,24,80>[3,7]";
    EXPECT_TRUE(download_main(2, argv) == 0 &&
                shown_in_order({":  1\r\n<clear>", "|[3,6]", "/[3,6]",
                                bar + "\r\nDownload Complete.\r\n\r\n\r\nDownload successful.\r\n"},
                               &missing))
        << missing;
    EXPECT_TRUE(cleared_tick == 8 && latches_at_clear == 100 &&
                wire::written_at(wire::written().find("S2")) * 182 / 10000 == nak_tick + 36);
    EXPECT_TRUE(image_file == nullptr && !port_is_open() && pc_get_vector(0x0C) == nullptr);
}

} // namespace
