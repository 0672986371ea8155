// The POSIX serial port over pseudo-terminals: the test holds the master end as the target.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "serial/port.h"
#include "serial/serial.h"
#include "support/test_console.h"

namespace {

const unsigned PORT = 3;
const std::string TRANSMIT_ERROR = "\r\nERROR - Could not transmit data.\r\n";

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int open_fd_count() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dirent *entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

class SerialPosixTest : public ::testing::Test {
  protected:
    int master = -1;
    std::string slave_path;

    void SetUp() override {
        test_console::reset();
        baud_rate = 57600;
        int slave;
        char name[128];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        // Only the program under test keeps the slave open, as on a real line.
        close(slave);
        slave_path = name;
        termios tio;
        ASSERT_EQ(tcgetattr(master, &tio), 0);
        cfmakeraw(&tio);
        ASSERT_EQ(tcsetattr(master, TCSANOW, &tio), 0);
        setenv("KESTRELLOAD_COM3", name, 1);
    }

    void TearDown() override {
        close_port();
        if (master >= 0)
            close(master);
    }

    // What the target end receives within timeout_ms (up to max bytes).
    std::string master_read(size_t max, int timeout_ms = 1000) {
        std::string got;
        unsigned char buffer[512];
        pollfd pfd = {master, POLLIN, 0};
        while (got.size() < max && poll(&pfd, 1, timeout_ms) > 0) {
            ssize_t n = read(master, buffer, std::min(sizeof buffer, max - got.size()));
            if (n <= 0)
                break;
            got.append(reinterpret_cast<char *>(buffer), n);
        }
        return got;
    }
};

TEST_F(SerialPosixTest, ReadReturnsAtOnceOrAfterOneSecond) {
    ASSERT_TRUE(open_port(PORT));
    unsigned char byte = 0;
    ASSERT_EQ(write(master, "x", 1), 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(receive_byte(&byte, 5, 0));
    EXPECT_EQ(byte, 'x');
    EXPECT_LT(seconds_since(start), 0.2);

    // Received bytes that are purged are gone; 0 and 1 both mean one attempt.
    ASSERT_EQ(write(master, "abc", 3), 3);
    usleep(100000);
    purge_input();
    for (unsigned attempts : {0u, 1u}) {
        start = std::chrono::steady_clock::now();
        byte = 0xAA;
        EXPECT_FALSE(receive_byte(&byte, attempts, 0));
        EXPECT_EQ(byte, 0x00);
        double waited = seconds_since(start);
        EXPECT_GT(waited, 0.9) << attempts;
        EXPECT_LT(waited, 1.5) << attempts;
    }

    // A byte arriving during the wait ends it.
    std::thread target([this] {
        usleep(300000);
        ASSERT_EQ(write(master, "y", 1), 1);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(read_byte(&byte));
    double waited = seconds_since(start);
    target.join();
    EXPECT_EQ(byte, 'y');
    EXPECT_GT(waited, 0.25);
    EXPECT_LT(waited, 0.6);
}

TEST_F(SerialPosixTest, ClosedPortFailsAtOnce) {
    close_port();
    purge_input();
    EXPECT_FALSE(port_is_open());
    auto start = std::chrono::steady_clock::now();
    unsigned char byte = 0xAA;
    EXPECT_FALSE(receive_byte(&byte, 15, 1));
    EXPECT_EQ(byte, 0x00);
    EXPECT_FALSE(send_byte('x'));
    EXPECT_LT(seconds_since(start), 0.1);
    EXPECT_EQ(test_console::output(), TRANSMIT_ERROR);
}

TEST_F(SerialPosixTest, OpenConfiguresRawLineAndReopenDoesNotLeak) {
    int before = open_fd_count();
    ASSERT_TRUE(open_port(PORT));
    EXPECT_EQ(open_fd_count(), before + 1);
    baud_rate = 1200;
    ASSERT_TRUE(open_port(PORT));
    EXPECT_EQ(open_fd_count(), before + 1);

    // The master sees the slave's settings.
    termios tio;
    ASSERT_EQ(tcgetattr(master, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B1200));
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (INPCK | IGNPAR | PARMRK | IXON | IXOFF | ICRNL | ISTRIP),
              static_cast<tcflag_t>(INPCK));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);

    close_port();
    EXPECT_EQ(open_fd_count(), before);
    EXPECT_FALSE(port_is_open());

    // An unsupported speed fails without leaving anything open.
    baud_rate = 12345;
    EXPECT_FALSE(open_port(PORT));
    EXPECT_EQ(open_fd_count(), before);
}

TEST_F(SerialPosixTest, DeviceIsTakenExclusively) {
    ASSERT_TRUE(open_port(PORT));
    // Another program's open: refused outright (TIOCEXCL) or its lock refused (root).
    int other = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other >= 0) {
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
        close(other);
    }
    close_port();

    // Once it is released the device can be locked by another; then our open fails quietly.
    int before = open_fd_count();
    other = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(open_port(PORT));
    EXPECT_LT(seconds_since(start), 0.1);
    EXPECT_FALSE(port_is_open());
    EXPECT_EQ(open_fd_count(), before + 1);
    close(other);
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(SerialPosixTest, AbsentDeviceFailsAtOnce) {
    int before = open_fd_count();
    setenv("KESTRELLOAD_COM3", "/dev/absent-serial-device", 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(open_port(PORT));
    EXPECT_LT(seconds_since(start), 0.1);
    EXPECT_FALSE(port_is_open());
    EXPECT_EQ(open_fd_count(), before);
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(SerialPosixTest, EveryByteValuePassesBothWays) {
    ASSERT_TRUE(open_port(PORT));
    std::string all;
    for (int value = 0; value < 256; ++value)
        all += static_cast<char>(value);

    ASSERT_TRUE(send_bytes(reinterpret_cast<const unsigned char *>(all.data()), 256));
    EXPECT_EQ(master_read(256), all);

    ASSERT_EQ(write(master, all.data(), 256), 256);
    std::string got;
    unsigned char byte;
    while (got.size() < 256 && receive_byte(&byte, 1, 0))
        got += static_cast<char>(byte);
    EXPECT_EQ(got, all);
}

TEST_F(SerialPosixTest, OutputWrittenBeforeCloseArrives) {
    int delivered = 0;
    for (int run = 0; run < 50; ++run) {
        ASSERT_TRUE(open_port(PORT));
        ASSERT_TRUE(send_byte(0x04));
        close_port();
        delivered += master_read(1) == "\x04";
    }
    EXPECT_EQ(delivered, 50);

    // A longer run at a slow speed, too.
    baud_rate = 1200;
    std::string block(300, 'k');
    ASSERT_TRUE(open_port(PORT));
    ASSERT_TRUE(send_bytes(reinterpret_cast<const unsigned char *>(block.data()), 300));
    close_port();
    EXPECT_EQ(master_read(300), block);
}

TEST_F(SerialPosixTest, VanishedDeviceFailsWithoutHanging) {
    ASSERT_TRUE(open_port(PORT));
    close(master);
    master = -1;

    EXPECT_FALSE(send_byte('x'));
    EXPECT_EQ(test_console::take_output(), TRANSMIT_ERROR);

    auto start = std::chrono::steady_clock::now();
    unsigned char byte = 0xAA;
    EXPECT_FALSE(receive_byte(&byte, 2, 0));
    EXPECT_EQ(byte, 0x00);
    double waited = seconds_since(start);
    EXPECT_GT(waited, 1.8);
    EXPECT_LT(waited, 3.0);

    start = std::chrono::steady_clock::now();
    close_port();
    EXPECT_LT(seconds_since(start), 0.5);
    EXPECT_FALSE(port_is_open());
}

} // namespace
