// The program flow as an operator meets it: command line, file checks, the confirmation.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>

#include "harness.h"

namespace {

const char USAGE[] = "\r\nUsage: kestrelload <filename> <port>\r\n"
                     "       <filename>: CPU Firmware executable file in S-Record format\r\n"
                     "           <port>: Com port number from 1 to 9\r\n";
const char QUESTION[] = "Continue? (Y, [N])  ";
const char ABORTED[] = "\r\n\nFirmware download aborted.\r\n";

std::string sample() {
    return e2e::source_path("samples/demo.s19");
}

// A line nobody answers; records whether the program touched it.
struct watched_line {
    int master = -1, slave = -1;
    std::string path;
    watched_line() {
        char name[256];
        openpty(&master, &slave, name, nullptr, nullptr);
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

TEST(ProgramFlow, WrongCommandLinesShowTheUsage) {
    const std::vector<std::vector<std::string>> wrong = {{},
                                                         {sample()},
                                                         {sample(), "1", "2"},
                                                         {sample(), "0"},
                                                         {sample(), "10"},
                                                         {sample(), "a"},
                                                         {sample(), ""}};
    for (const auto &args : wrong) {
        e2e::console_run run = e2e::start_console("kestrelload", args);
        EXPECT_EQ(e2e::finish(run, 10), 1);
        EXPECT_NE(run.output.find("32-bit Version 1.00"), std::string::npos);
        EXPECT_EQ(run.output.substr(run.output.size() - sizeof USAGE + 1), USAGE)
            << args.size() << " arguments";
        EXPECT_EQ(run.output.find("NOTE:"), std::string::npos);
    }
}

TEST(ProgramFlow, FilesThatCannotBeUsedEndBeforeTheWarning) {
    std::string dir = e2e::temp_dir();
    std::string long_name = dir + "/" + std::string(200, 'x') + "/" + std::string(3000, 'y');
    e2e::console_run missing = e2e::start_console("kestrelload", {long_name, "1"});
    EXPECT_EQ(e2e::finish(missing, 10), 1);
    EXPECT_NE(missing.output.find("\r\nCould not open file \"" + long_name + "\"\r\n"),
              std::string::npos);

    for (const std::string &content :
         {std::string("hello"), std::string("s1060010aabbccb8\n"), std::string("\xEF\xBB\xBFS1"),
          std::string("S"), std::string("")}) {
        std::string path = dir + "/not-an-image.s19";
        std::ofstream(path, std::ios::binary) << content;
        e2e::console_run run = e2e::start_console("kestrelload", {path, "1"});
        EXPECT_EQ(e2e::finish(run, 10), 1);
        EXPECT_NE(run.output.find("\r\nFile \"" + path + "\" is not a valid code file\r\n"),
                  std::string::npos)
            << content;
        EXPECT_EQ(run.output.find("NOTE:"), std::string::npos);
    }
}

TEST(ProgramFlow, AnythingButYesAbortsWithoutTouchingThePort) {
    for (const std::string key : {"\r", "n", "N", "x", " "}) {
        watched_line line;
        e2e::console_run run =
            e2e::start_console("kestrelload", {sample(), "1"}, {"KESTRELLOAD_COM1=" + line.path});
        ASSERT_TRUE(e2e::expect(run, QUESTION, 10));
        e2e::type(run, key);
        EXPECT_EQ(e2e::finish(run, 10), 0);
        EXPECT_NE(run.output.find(std::string(QUESTION) + key + ABORTED), std::string::npos)
            << run.output;
        EXPECT_FALSE(line.touched());
    }
}

TEST(ProgramFlow, YesInEitherCaseStartsTheDownload) {
    for (const std::string key : {"y", "Y"}) {
        e2e::console_run run = e2e::start_console("kestrelload", {sample(), "3"},
                                                  {"KESTRELLOAD_COM3=/nonexistent/kestrel-line"});
        ASSERT_TRUE(e2e::expect(run, QUESTION, 10));
        e2e::type(run, key);
        EXPECT_EQ(e2e::finish(run, 20), 1);
        EXPECT_NE(run.output.find(key + "\r\n\n\r\n\nAttempting Autobaud . . . "
                                        "\r\nCould not establish communications.\r\n"
                                        "\r\nERROR - Could not obtain download prompt.\r\n"
                                        "\r\nERROR - Download not successful.\r\n"),
                  std::string::npos)
            << run.output;
    }
}

TEST(ProgramFlow, InterruptedQuestionLeavesTheTerminalAsItWas) {
    e2e::console_run run = e2e::start_console("kestrelload", {sample(), "1"});
    ASSERT_TRUE(e2e::expect(run, QUESTION, 10));
    usleep(100000);
    e2e::type(run, "\x03");
    usleep(500000);
    termios after{};
    tcgetattr(run.terminal, &after);
    EXPECT_EQ(e2e::finish(run, 10), 128 + SIGINT);
    EXPECT_TRUE(after.c_lflag & ICANON);
    EXPECT_TRUE(after.c_iflag & ICRNL);
}

TEST(ProgramFlow, NoControllingTerminalMeansNo) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        dup2(out[1], STDOUT_FILENO);
        execl(e2e::build_path("kestrelload").c_str(), "kestrelload", sample().c_str(), "1",
              nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string output;
    char buffer[4096];
    ssize_t got;
    while ((got = read(out[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, static_cast<size_t>(got));
    close(out[0]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    EXPECT_EQ(WEXITSTATUS(raw), 0);
    EXPECT_NE(output.find(std::string(QUESTION) + ABORTED), std::string::npos) << output;
}

} // namespace
