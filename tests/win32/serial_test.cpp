// The Win32 serial back end under Wine: serial_probe.exe runs its script on COM1, a
// pseudo-terminal whose other end this test plays, and reports each step.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "wine.h"

namespace {

struct probe_run {
    pid_t pid = -1;
    int input = -1, output = -1;
    std::string pending;

    // The next report line without its line end; "" when none comes within timeout_s.
    std::string next(double timeout_s) {
        auto start = std::chrono::steady_clock::now();
        for (;;) {
            size_t end = pending.find('\n');
            if (end != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return line;
            }
            double left =
                timeout_s -
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            pollfd p{output, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, (int)(left * 1000) + 1) <= 0)
                return "";
            char buffer[256];
            ssize_t got = read(output, buffer, sizeof buffer);
            if (got <= 0)
                return "";
            pending.append(buffer, (size_t)got);
        }
    }

    void answer() { EXPECT_EQ(write(input, "\n", 1), 1); }
};

// "<name> a b c" → the numbers; a missing one reads as -1.
std::vector<long> values(const std::string &line, const std::string &name) {
    std::vector<long> numbers;
    if (line.compare(0, name.size() + 1, name + " ") != 0)
        return numbers;
    const char *p = line.c_str() + name.size();
    char *end;
    for (long n = std::strtol(p, &end, 10); end != p; n = std::strtol(p, &end, 10)) {
        numbers.push_back(n);
        p = end;
    }
    numbers.resize(3, -1);
    return numbers;
}

TEST(Win32Serial, PortScriptOnAPseudoTerminal) {
    int master, slave;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B300);
    tcsetattr(slave, TCSANOW, &raw);
    win32::connect_com1(name);

    probe_run probe;
    probe.pid = win32::start_with_pipes("serial_probe.exe", &probe.input, &probe.output);
    // COM2 leads nowhere: the open fails and leaves no port open.
    EXPECT_EQ(probe.next(60), "absent 0 0");

    ASSERT_EQ(probe.next(10), "open 1");
    termios line{};
    tcgetattr(master, &line);
    EXPECT_EQ(cfgetospeed(&line), (speed_t)B19200);
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB), (tcflag_t)CS8);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    probe.answer();

    // One attempt on a silent line: about a second, and 0x00 left in the byte.
    std::vector<long> silence = values(probe.next(10), "silence");
    ASSERT_FALSE(silence.empty());
    EXPECT_EQ(silence[0], 0);
    EXPECT_EQ(silence[1], 0);
    EXPECT_GE(silence[2], 900);
    EXPECT_LE(silence[2], 1500);

    // A byte that comes within the wait is returned as soon as it is there.
    ASSERT_EQ(probe.next(10), "waiting 0");
    usleep(300000);
    ASSERT_EQ(write(master, "K", 1), 1);
    std::vector<long> byte = values(probe.next(10), "byte");
    ASSERT_FALSE(byte.empty());
    EXPECT_EQ(byte[0], 1);
    EXPECT_EQ(byte[1], 'K');
    EXPECT_GE(byte[2], 250);
    EXPECT_LE(byte[2], 900);

    // What was received before a purge is gone.
    ASSERT_EQ(probe.next(10), "send-junk 0");
    ASSERT_EQ(write(master, "junk", 4), 4);
    probe.answer();
    EXPECT_EQ(probe.next(10), "purged 0");

    // A close right after a write lets the whole run leave.
    EXPECT_EQ(probe.next(15), "closed 1 0");
    std::string received;
    for (int i = 0; i < 50 && received.size() < 200; ++i) {
        pollfd p{master, POLLIN, 0};
        char buffer[256];
        if (poll(&p, 1, 100) > 0) {
            ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0)
                received.append(buffer, (size_t)got);
        }
    }
    std::string expected;
    for (unsigned i = 0; i < 200; ++i)
        expected += (char)(unsigned char)(i * 7 + 1);
    EXPECT_EQ(received, expected);

    // On a closed port every attempt fails at once.
    std::vector<long> closed = values(probe.next(10), "closed-read");
    ASSERT_FALSE(closed.empty());
    EXPECT_EQ(closed[0], 0);
    EXPECT_EQ(closed[1], 0);
    EXPECT_LE(closed[2], 200);

    int status = -1;
    waitpid(probe.pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(probe.input);
    close(probe.output);
    close(master);
    close(slave);
}

} // namespace
