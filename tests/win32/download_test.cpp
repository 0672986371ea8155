// The Win64 build under Wine as an operator meets it: kestrelload.exe on a pseudo-terminal
// console, COM1 leading to kestrel-target on its own pseudo-terminal, the image the target
// received compared byte for byte with what srec_cat makes of the file.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"
#include "screen.h"
#include "wine.h"

namespace {

const double START_S = 60; // a cold Wine start may take a while

class wine_environment : public ::testing::Environment {
  public:
    void SetUp() override { win32::start_wine(); }
    void TearDown() override { win32::stop_wine(); }
};
::testing::Environment *const wine = ::testing::AddGlobalTestEnvironment(new wine_environment);

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

std::string demo() {
    return e2e::source_path("samples/demo.s19");
}

// A line nobody answers; tells whether the program opened it (setting its speed) or wrote.
struct watched_line {
    int master = -1, slave = -1;
    std::string path;
    watched_line() {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        path = name;
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, B300);
        tcsetattr(slave, TCSANOW, &t);
    }
    ~watched_line() {
        close(master);
        close(slave);
    }
    bool touched() const {
        termios t{};
        tcgetattr(master, &t);
        pollfd p{master, POLLIN, 0};
        return cfgetospeed(&t) != B300 || poll(&p, 1, 0) > 0;
    }
};

class Win32Download : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system("command -v srec_cat >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "srec_cat (Debian package srecord) is needed for the reference";
    }

    e2e::target_run start_target(std::vector<std::string> args, unsigned long start,
                                 unsigned long end) {
        received = e2e::temp_dir() + "/received.bin";
        args.insert(args.end(), {"--output", received, "--range", e2e::range_text(start, end)});
        e2e::target_run target = e2e::start_target(args);
        win32::connect_com1(target.device);
        return target;
    }

    std::string received;
};

TEST_F(Win32Download, LoginAndSectorsOnTheConsole) {
    e2e::target_run target = start_target(
        {"--login", "42:secret", "--upgrade-baud", "19200", "--mode", "sector"}, 0x8000, 0x27FFF);
    e2e::console_run console = win32::start_kestrelload({demo(), "1"});
    ASSERT_TRUE(win32::expect_on_screen(console, "Continue? (Y, [N])", START_S)) << console.output;
    ASSERT_TRUE(win32::wait_for_key_input(console, 10));
    e2e::type(console, "y");
    EXPECT_TRUE(win32::expect_on_screen(console, "ENTER USER NUMBER:", 30));
    e2e::type(console, "42\r");
    EXPECT_TRUE(win32::expect_on_screen(console, "ENTER PASSWORD:", 15));
    e2e::type(console, "secret\r");
    EXPECT_EQ(e2e::finish(console, 240), 0);
    EXPECT_EQ(e2e::finish_target(target, 30), 0) << e2e::read_file(target.log_path);
    EXPECT_EQ(e2e::read_file(received), e2e::srec_reference(demo(), 0x8000, 0x27FFF));

    std::vector<std::string> lines = win32::screen_lines(console.output);
    std::string screen = win32::screen_text(console.output);
    EXPECT_TRUE(contains(screen, "Continue? (Y, [N])  y\n")) << screen;
    EXPECT_TRUE(contains(screen, "ENTER PASSWORD:  ******\n")) << screen;
    EXPECT_TRUE(contains(screen, "Attempting Autobaud . . . 57600 38400 19200\n"
                                 "Communication established.\n"))
        << screen;
    EXPECT_TRUE(contains(screen, "Com port: 1, Baud Rate: 19200 . . .\n")) << screen;
    // The progress line was rewritten in place: one line, showing the end (and after it the
    // image reader's last spinner character).
    std::vector<std::string> progress;
    for (const std::string &line : lines)
        if (contains(line, "% complete"))
            progress.push_back(line);
    ASSERT_EQ(progress.size(), 1u) << screen;
    EXPECT_EQ(progress[0].substr(0, 17), "100% complete.   ");
    EXPECT_TRUE(contains(screen, progress[0] + "\n\n\nDownload successful.\n")) << screen;
}

TEST_F(Win32Download, LineModeWithOutputInAFile) {
    e2e::target_run target = start_target({"--waiting", "--mode", "line"}, 0x8000, 0x1FFFF);
    std::string output = e2e::temp_dir() + "/output.txt";
    e2e::console_run console = win32::start_kestrelload({demo(), "1"}, output);
    ASSERT_TRUE(win32::expect_in_file(console, output, "Continue? (Y, [N])  ", START_S))
        << e2e::read_file(output);
    ASSERT_TRUE(win32::wait_for_key_input(console, 10));
    e2e::type(console, "Y");
    EXPECT_EQ(e2e::finish(console, 240), 0);
    EXPECT_EQ(e2e::finish_target(target, 30), 0) << e2e::read_file(target.log_path);
    EXPECT_EQ(e2e::read_file(received), e2e::srec_reference(demo(), 0x8000, 0x1FFFF));

    // The file holds the bytes as written: carriage returns start the progress line again,
    // and the key's echo stays on the console.
    std::string text = e2e::read_file(output);
    EXPECT_TRUE(contains(win32::screen_text(console.output), "Y")) << console.output;
    EXPECT_TRUE(contains(text, "Continue? (Y, [N])  \r\n\n\r\n\nAttempting Autobaud . . . "
                               "57600 \r\nCommunication established.\r\n"))
        << text;
    EXPECT_TRUE(contains(text, "Com port: 1, Baud Rate: 57600 . . .\r\n\n\n\r\n  0% complete... "
                               "\r  1% complete... \r  2% complete... \r"))
        << text;
    EXPECT_TRUE(contains(text, "\r 99% complete... \r100% complete.   \r100% complete.   "
                               "\r\n\r\n\nDownload Complete.\r\n\r\n\r\nDownload successful.\r\n"))
        << text;
    EXPECT_FALSE(contains(text, "\x1b")) << text;
}

TEST_F(Win32Download, ExitStatuses) {
    {
        // Declined: status 0, and the port was never opened.
        watched_line line;
        win32::connect_com1(line.path);
        std::string output = e2e::temp_dir() + "/declined.txt";
        e2e::console_run console = win32::start_kestrelload({demo(), "1"}, output);
        ASSERT_TRUE(win32::expect_in_file(console, output, "Continue? (Y, [N])  ", START_S));
        ASSERT_TRUE(win32::wait_for_key_input(console, 10));
        e2e::type(console, "n");
        EXPECT_EQ(e2e::finish(console, 30), 0);
        EXPECT_TRUE(contains(e2e::read_file(output), "\r\n\nFirmware download aborted.\r\n"));
        EXPECT_FALSE(line.touched());
    }
    {
        std::string output = e2e::temp_dir() + "/missing.txt";
        e2e::console_run console = win32::start_kestrelload({"no-such-file.s19", "1"}, output);
        EXPECT_EQ(e2e::finish(console, START_S), 1);
        EXPECT_TRUE(
            contains(e2e::read_file(output), "\r\nCould not open file \"no-such-file.s19\"\r\n"));
    }
    {
        // The target refuses the second sector: the end byte says so and the status is 1.
        e2e::target_run target =
            start_target({"--waiting", "--bad-fs-answer", "2"}, 0x8000, 0x27FFF);
        std::string output = e2e::temp_dir() + "/failed.txt";
        e2e::console_run console = win32::start_kestrelload({demo(), "1"}, output);
        ASSERT_TRUE(win32::expect_in_file(console, output, "Continue? (Y, [N])  ", START_S));
        ASSERT_TRUE(win32::wait_for_key_input(console, 10));
        e2e::type(console, "y");
        EXPECT_EQ(e2e::finish(console, 120), 1);
        EXPECT_EQ(e2e::finish_target(target, 30), 2);
        std::string text = e2e::read_file(output);
        EXPECT_TRUE(contains(text, "\r\nERROR - Download not successful.\r\n")) << text;
        EXPECT_FALSE(contains(text, "Download successful.")) << text;
    }
}

} // namespace
