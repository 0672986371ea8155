// The POSIX serial port on a pseudo-terminal: the port is left as it was found, and low-latency
// mode is asked for where the port has it. ioctl is interposed here to play such a port.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <linux/serial.h>
#include <pty.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "serial/serial.h"

namespace {
int played_fd = -1;   // the descriptor that answers the serial ioctls, once known
int played_flags = 0; // its serial_struct flags
bool plays_serial = false;
} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (plays_serial && (request == TIOCGSERIAL || request == TIOCSSERIAL)) {
        played_fd = fd;
        serial_struct *serial = (serial_struct *)argument;
        if (request == TIOCGSERIAL)
            serial->flags = played_flags;
        else
            played_flags = serial->flags;
        return 0;
    }
    typedef int (*real_ioctl)(int, unsigned long, void *);
    static real_ioctl real = (real_ioctl)dlsym(RTLD_NEXT, "ioctl");
    return real(fd, request, argument);
}

namespace {

TEST(PosixPort, LeftAsFound) {
    int master, slave;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios before{};
    tcgetattr(slave, &before);
    cfsetspeed(&before, B9600);
    before.c_lflag |= ICANON | ECHO;
    tcsetattr(slave, TCSANOW, &before);
    tcgetattr(slave, &before);
    setenv("KESTRELLOAD_COM1", name, 1);

    for (bool serial : {false, true}) {
        plays_serial = serial;
        played_flags = 0;
        baud_rate = 57600;
        ASSERT_TRUE(open_port(1));
        termios during{};
        tcgetattr(slave, &during);
        EXPECT_EQ(cfgetospeed(&during), (speed_t)B57600);
        // A port with the setting gets low latency while open; one without it still opens.
        EXPECT_EQ(played_flags, serial ? ASYNC_LOW_LATENCY : 0);
        close_port();
        EXPECT_EQ(played_flags, 0);
        termios after{};
        tcgetattr(slave, &after);
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(0, memcmp(after.c_cc, before.c_cc, sizeof after.c_cc));
    }
    plays_serial = false;
    close(master);
    close(slave);
}

} // namespace
