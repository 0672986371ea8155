// The real-mode build end to end: download on a terminal against kestrel-target on a
// pseudo-terminal line, the screen as the terminal shows it, the received image compared byte
// for byte with what srec_cat makes of the file.
#include <gtest/gtest.h>

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "e2e/harness.h"
#include "terminal_screen.h"

namespace {

const char QUESTION[] = "Continue? (Y, [N])  ";
const char PORT_QUESTION[] = "\r\n\nSelect PC COM Port Number for download (1 or 2):  ";
const std::string FULL_BAR = [] {
    std::string bar;
    for (int i = 0; i < 28; ++i)
        bar += "█";
    return bar;
}();

bool have_srec_cat() {
    return std::system("command -v srec_cat >/dev/null 2>&1") == 0;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

struct download {
    e2e::target_run target;
    e2e::console_run console;
    terminal_screen screen;
    std::string received; // the target's output file
};

// Runs download on image against a target started with target_args (plus --output and
// --range), answering Y and, without a port argument, the port question with "1".
download run(const std::string &image, const std::string &port, unsigned long start,
             unsigned long end, std::vector<std::string> target_args) {
    download d;
    d.received = e2e::temp_dir() + "/received.bin";
    target_args.insert(target_args.end(),
                       {"--output", d.received, "--range", e2e::range_text(start, end)});
    d.target = e2e::start_target(target_args);
    std::vector<std::string> args = {image};
    if (!port.empty())
        args.push_back(port);
    std::string com = port.empty() ? "1" : port;
    d.console =
        e2e::start_console("download", args, {"KESTRELLOAD_COM" + com + "=" + d.target.device});
    EXPECT_TRUE(e2e::expect(d.console, QUESTION, 10)) << d.console.output;
    e2e::type(d.console, "y");
    if (port.empty()) {
        EXPECT_TRUE(e2e::expect(d.console, PORT_QUESTION, 10)) << d.console.output;
        e2e::type(d.console, "1");
    }
    e2e::finish(d.console, 240);
    e2e::finish_target(d.target, 30);
    d.screen.feed(d.console.output);
    return d;
}

// The status window after a download: banner, box, figure and header.
void expect_status_window(const terminal_screen &s, const std::string &image,
                          const std::string &port, const std::string &figure,
                          const std::string &bar) {
    EXPECT_EQ(s.line(2), "                Halvren Security Systems Firmware Downloader");
    EXPECT_EQ(s.line(3), "                            16-bit Version 1.81");
    EXPECT_EQ(s.text(6, 29, 21), "Percent Complete: " + figure);
    std::string rule;
    for (int i = 0; i < 28; ++i)
        rule += "═";
    EXPECT_EQ(s.text(7, 24, 30), "╔" + rule + "╗");
    EXPECT_EQ(s.text(8, 24, 30), "║" + bar + "║");
    EXPECT_EQ(s.text(9, 24, 30), "╚" + rule + "╝");
    EXPECT_EQ(s.line(12), "Downloading " + image + " --");
    EXPECT_EQ(s.line(13).substr(0, 24), "Com port: " + port + ", Baud Rate: ");
    std::string closing;
    for (int i = 0; i < 79; ++i)
        closing += "═";
    EXPECT_EQ(s.line(14), closing);
    EXPECT_EQ(s.line(15), "");
}

class RealMode : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_srec_cat())
            GTEST_SKIP() << "srec_cat (Debian package srecord) is needed for the reference";
    }
    std::string demo = e2e::source_path("samples/demo.s19");
};

TEST_F(RealMode, LineModeWithFlashCheckAndPortQuestion) {
    download d = run(demo, "", 0x8000, 0x1FFFF, {"--mode", "line"});
    const terminal_screen &s = d.screen;
    EXPECT_EQ(d.console.status, 0) << s.lines(1, 24);
    EXPECT_EQ(d.target.status, 0) << e2e::read_file(d.target.log_path);
    EXPECT_TRUE(contains(e2e::read_file(d.target.log_path), "flash map asked"));
    EXPECT_TRUE(contains(d.console.output, std::string(PORT_QUESTION) + "1\r\n"));
    EXPECT_EQ(e2e::read_file(d.received), e2e::srec_reference(demo, 0x8000, 0x1FFFF));

    expect_status_window(s, demo, "1", "100", FULL_BAR);
    EXPECT_TRUE(contains(s.lines(16, 24), "\nDownload Complete.\n\n\nDownload successful.\n"))
        << s.lines(16, 24);
    // The terminal scrolls whole again, the cursor below the last message.
    EXPECT_EQ(s.top, 0);
    EXPECT_EQ(s.bottom, 23);
    EXPECT_EQ(s.line(s.row + 1), "");
    EXPECT_EQ(s.column, 0);
    EXPECT_EQ(s.line(s.row), "Download successful.");
}

TEST_F(RealMode, SectorModeOnComTwo) {
    download d = run(demo, "2", 0x8000, 0x27FFF, {"--waiting", "--mode", "sector"});
    EXPECT_EQ(d.console.status, 0) << d.screen.lines(1, 24);
    EXPECT_EQ(d.target.status, 0) << e2e::read_file(d.target.log_path);
    EXPECT_FALSE(contains(d.console.output, PORT_QUESTION));
    EXPECT_EQ(e2e::read_file(d.received), e2e::srec_reference(demo, 0x8000, 0x27FFF));
    expect_status_window(d.screen, demo, "2", "100", FULL_BAR);
    EXPECT_TRUE(contains(d.screen.lines(16, 24), "\nDownload successful.\n"))
        << d.screen.lines(16, 24);
}

TEST_F(RealMode, RefusedFlashMapSendsTheOperatorToSupport) {
    download d =
        run(demo, "1", 0x8000, 0x1FFFF, {"--flash-map", "3 : FE FE", "--idle-timeout", "5"});
    EXPECT_EQ(d.console.status, 1);
    std::string messages = d.screen.lines(16, 24);
    EXPECT_TRUE(contains(messages, "3 : FE FE\n\n"
                                   "An application or data sector is not erasable.\n\n"
                                   "*** Contact Halvren Technical Support for assistance. ***\n\n"
                                   "ERROR - Download not successful.\n"))
        << messages;
    EXPECT_FALSE(contains(messages, "Could not obtain download prompt"));
    EXPECT_FALSE(contains(e2e::read_file(d.target.log_path), "upgrade-mode command"));
    // The header was never reached: an empty box area.
    EXPECT_EQ(d.screen.line(8), "");
}

TEST(RealModeFlow, PortAnswersAndArguments) {
    std::string demo = e2e::source_path("samples/demo.s19");
    // An illegal port answer goes the way of a no.
    e2e::console_run illegal = e2e::start_console("download", {demo});
    ASSERT_TRUE(e2e::expect(illegal, QUESTION, 10)) << illegal.output;
    e2e::type(illegal, "y");
    ASSERT_TRUE(e2e::expect(illegal, PORT_QUESTION, 10)) << illegal.output;
    e2e::type(illegal, "3");
    EXPECT_EQ(e2e::finish(illegal, 10), 0);
    EXPECT_TRUE(contains(illegal.output, std::string(PORT_QUESTION) +
                                             "3\r\n\nIllegal Entry (must be 1 or 2)."
                                             "\r\n\nFirmware download aborted.\r\n"))
        << illegal.output;
    EXPECT_FALSE(contains(illegal.output, "Autobaud"));

    // A port argument other than 1 or 2 is a usage error.
    for (const char *port : {"3", "12", ""}) {
        e2e::console_run usage = e2e::start_console("download", {demo, port});
        EXPECT_EQ(e2e::finish(usage, 10), 1) << port;
        EXPECT_TRUE(contains(usage.output, "\r\nUsage: download <filename> [1|2]\r\n")) << port;
    }
}

TEST(RealModeFlow, SignalsGiveTheTerminalBack) {
    std::string demo = e2e::source_path("samples/demo.s19");
    // During a key read: the terminal's line editing comes back.
    e2e::console_run asking = e2e::start_console("download", {demo, "1"});
    ASSERT_TRUE(e2e::expect(asking, QUESTION, 10)) << asking.output;
    usleep(300000);
    termios settings{};
    ASSERT_EQ(tcgetattr(asking.terminal, &settings), 0);
    EXPECT_EQ(settings.c_lflag & ICANON, 0u); // reading a single key
    kill(asking.pid, SIGTERM);
    usleep(300000);
    ASSERT_EQ(tcgetattr(asking.terminal, &settings), 0);
    EXPECT_NE(settings.c_lflag & ICANON, 0u);
    EXPECT_EQ(e2e::finish(asking, 10), 128 + SIGTERM);

    // On the laid-out screen, while the speed search works down to a slow target: the whole
    // screen scrolls again.
    e2e::target_run slow = e2e::start_target({"--baud", "1200", "--idle-timeout", "5"});
    e2e::console_run searching =
        e2e::start_console("download", {demo, "1"}, {"KESTRELLOAD_COM1=" + slow.device});
    ASSERT_TRUE(e2e::expect(searching, QUESTION, 10)) << searching.output;
    e2e::type(searching, "y");
    ASSERT_TRUE(e2e::expect(searching, "Attempting Autobaud", 10)) << searching.output;
    kill(searching.pid, SIGINT);
    EXPECT_EQ(e2e::finish(searching, 10), 128 + SIGINT);
    e2e::finish_target(slow, 30);
    terminal_screen s;
    s.feed(searching.output);
    EXPECT_EQ(s.top, 0);
    EXPECT_EQ(s.bottom, 23);
}

} // namespace
