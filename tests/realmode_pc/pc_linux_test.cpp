// The real-mode driver on the Linux emulated PC, a pseudo-terminal as COM1's line. The test
// holds the master end as the target. The emulated PC keeps its line for the whole process,
// so one test walks through the whole life of the port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "app/console.h"
#include "app/terminal.h"
#include "realmode/pc.h"
#include "realmode/uart.h"
#include "serial/serial.h"
#include "support/test_console.h"

// The real-mode build's console: a plain write, captured.
bool progress_line_open = false;
void console_print(const char *text) {
    console_write(text, std::strlen(text));
}

namespace {

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double cpu_seconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string read_master(int master, size_t count) {
    std::string got;
    pollfd pfd = {master, POLLIN, 0};
    char buffer[256];
    while (got.size() < count && poll(&pfd, 1, 1000) > 0) {
        ssize_t n = read(master, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0)
            break;
        got.append(buffer, n);
    }
    return got;
}

speed_t master_speed(int master) {
    termios tio;
    tcgetattr(master, &tio);
    return cfgetospeed(&tio);
}

TEST(EmulatedPcTest, TimerRunsInTheBiosMode) {
    calibrate_delay();
    EXPECT_EQ(pit_counts_per_ms, 2386);
    double start = wall_seconds();
    delay_ms(50);
    EXPECT_NEAR(wall_seconds() - start, 0.050, 0.015);
}

TEST(EmulatedPcTest, DriverWorksAPseudoTerminal) {
    int master, slave;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    termios tio;
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    setenv("KESTRELLOAD_COM1", name, 1);
    test_console::reset();

    // The line is taken exclusively, at the speed of the divisor.
    baud_rate = 57600;
    ASSERT_TRUE(open_port(1));
    EXPECT_EQ(master_speed(master), B57600);
    int other = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);

    // Both ways, every byte value.
    const unsigned char out[] = {'h', 'i', 0x00, 0x11, 0x13, 0x0D, 0xFF};
    ASSERT_TRUE(send_bytes(out, sizeof out));
    EXPECT_EQ(read_master(master, sizeof out), std::string((const char *)out, sizeof out));
    std::string in;
    for (int i = 0; i < 300; ++i)
        in += (char)(i * 7);
    ASSERT_EQ(write(master, in.data(), in.size()), (ssize_t)in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        unsigned char byte;
        ASSERT_TRUE(receive_byte(&byte, 2, 0)) << "byte " << i;
        ASSERT_EQ(byte, (unsigned char)in[i]) << "byte " << i;
    }

    // A masked IRQ holds the byte back; unmasking lets it in at the next PC operation.
    unsigned char mask = pc_in(0x21);
    pc_out(0x21, mask | 0x10);
    ASSERT_EQ(write(master, "m", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pc_in(0x3FD);
    EXPECT_EQ(rx_write_index, rx_read_index);
    pc_out(0x21, mask);
    pc_in(0x3FD);
    EXPECT_NE(rx_write_index, rx_read_index);
    unsigned char byte;
    EXPECT_TRUE(receive_byte(&byte, 1, 0));
    EXPECT_EQ(byte, 'm');

    // A 2-second wait in real time, nearly all of it asleep.
    double wall = wall_seconds();
    double cpu = cpu_seconds();
    EXPECT_FALSE(receive_byte(&byte, 2, 0));
    wall = wall_seconds() - wall;
    cpu = cpu_seconds() - cpu;
    EXPECT_GT(wall, 1.85);
    EXPECT_LT(wall, 2.3);
    EXPECT_LT(cpu, 0.1 * wall) << cpu << " s of CPU in " << wall << " s";

    // Reopened at another speed; closed, the IRQ is masked and the vector given back.
    baud_rate = 9600;
    ASSERT_TRUE(open_port(1));
    EXPECT_EQ(master_speed(master), B9600);
    close_port();
    EXPECT_TRUE(pc_in(0x21) & 0x10);
    EXPECT_EQ(pc_get_vector(0x0C), nullptr);
    EXPECT_EQ(test_console::output(), "");

    // The target's end gone for good, as when an adapter is pulled: the device hangs up, and
    // a wait on it still sleeps rather than spinning.
    close(master);
    baud_rate = 57600;
    ASSERT_TRUE(open_port(1));
    EXPECT_TRUE(send_bytes(out, sizeof out));
    wall = wall_seconds();
    cpu = cpu_seconds();
    EXPECT_FALSE(receive_byte(&byte, 1, 0));
    wall = wall_seconds() - wall;
    cpu = cpu_seconds() - cpu;
    EXPECT_GT(wall, 0.9);
    EXPECT_LT(cpu, 0.1 * wall) << cpu << " s of CPU in " << wall << " s on a hung-up line";
    close_port();
}

} // namespace
