// The POSIX serial port on a pseudo-terminal played as a UART: the port is left as it was found,
// its last bytes leave at the speed they were written at, low-latency mode is asked for where
// the port has it, and a signal that ends the run gives the port back too. The termios calls,
// write and ioctl are interposed here to play the UART's transmitter and serial settings.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <linux/serial.h>
#include <pty.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "serial/serial.h"

namespace {

// The played UART: a 16-byte FIFO and a shift register behind the driver's queue. A byte is
// garbled when the speed changes before it has left, lost when the output is flushed.
const size_t FIFO_BYTES = 16;
dev_t played_device = 0;
bool plays_serial = false;
int played_flags = 0;       // its serial_struct flags
std::vector<double> leaves; // when each byte written has left the line
unsigned garbled = 0, lost = 0;

template <typename T> T real(const char *name) {
    return (T)dlsym(RTLD_NEXT, name);
}

bool played(int fd) {
    struct stat st;
    return played_device != 0 && fstat(fd, &st) == 0 && st.st_rdev == played_device;
}

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

size_t in_flight() {
    double now = now_s();
    size_t n = 0;
    for (double t : leaves)
        n += t > now;
    return n;
}

void wait_until_sent() {
    if (!leaves.empty() && leaves.back() > now_s())
        usleep((useconds_t)((leaves.back() - now_s()) * 1e6) + 1);
}

speed_t speed_of(int fd) {
    termios t{};
    real<int (*)(int, termios *)>("tcgetattr")(fd, &t);
    return cfgetospeed(&t);
}

} // namespace

extern "C" ssize_t write(int fd, const void *bytes, size_t count) {
    if (played(fd)) {
        double byte_s = speed_of(fd) == B9600 ? 10 / 9600.0 : 10 / 57600.0;
        for (size_t i = 0; i < count; ++i)
            leaves.push_back(std::max(now_s(), leaves.empty() ? 0 : leaves.back()) + byte_s);
    }
    return real<ssize_t (*)(int, const void *, size_t)>("write")(fd, bytes, count);
}

extern "C" int tcdrain(int fd) {
    if (played(fd))
        wait_until_sent();
    return real<int (*)(int)>("tcdrain")(fd);
}

extern "C" int tcflush(int fd, int queue) {
    if (played(fd) && queue != TCIFLUSH) {
        lost += in_flight();
        leaves.clear();
    }
    return real<int (*)(int, int)>("tcflush")(fd, queue);
}

extern "C" int tcsetattr(int fd, int when, const termios *settings) {
    if (played(fd)) {
        if (when != TCSANOW)
            wait_until_sent();
        if (cfgetospeed(settings) != speed_of(fd))
            garbled += in_flight();
    }
    return real<int (*)(int, int, const termios *)>("tcsetattr")(fd, when, settings);
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (played(fd) && request == TIOCOUTQ) {
        size_t n = in_flight();
        *(int *)argument = n > FIFO_BYTES ? (int)(n - FIFO_BYTES) : 0;
        return 0;
    }
    if (plays_serial && played(fd) && (request == TIOCGSERIAL || request == TIOCSSERIAL)) {
        serial_struct *serial = (serial_struct *)argument;
        if (request == TIOCGSERIAL)
            serial->flags = played_flags;
        else
            played_flags = serial->flags;
        return 0;
    }
    return real<int (*)(int, unsigned long, void *)>("ioctl")(fd, request, argument);
}

namespace {

// A port as an operator's terminal program leaves it: 9600 bit/s, canonical, echoing, with
// output processing. The settings, read back.
struct port_found {
    int master = -1, slave = -1;
    termios before{};
    port_found() {
        char name[256];
        EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        termios t{};
        tcgetattr(slave, &t);
        cfsetspeed(&t, B9600);
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_iflag |= ICRNL | IXON;
        t.c_oflag |= OPOST | ONLCR;
        tcsetattr(slave, TCSANOW, &t);
        tcgetattr(slave, &before);
        struct stat st;
        fstat(slave, &st);
        played_device = st.st_rdev;
        leaves.clear();
        garbled = lost = 0;
        setenv("KESTRELLOAD_COM1", name, 1);
    }
    ~port_found() {
        played_device = 0;
        close(master);
        close(slave);
    }
    void expect_given_back(const char *when) const {
        termios after{};
        tcgetattr(slave, &after);
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before)) << when;
        EXPECT_EQ(after.c_iflag, before.c_iflag) << when;
        EXPECT_EQ(after.c_oflag, before.c_oflag) << when;
        EXPECT_EQ(after.c_cflag, before.c_cflag) << when;
        EXPECT_EQ(after.c_lflag, before.c_lflag) << when;
        EXPECT_EQ(0, memcmp(after.c_cc, before.c_cc, sizeof after.c_cc)) << when;
    }
};

// A run that a signal ends gives the port back as it ends; a signal the operator ignored
// leaves the run going. First, so that each child opens its first port.
TEST(PosixPort, GivenBackWhenASignalEndsTheRun) {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        for (bool ignored : {false, true}) {
            port_found port;
            pid_t child = fork();
            if (child == 0) {
                if (ignored)
                    signal(signal_number, SIG_IGN);
                baud_rate = 57600;
                if (!open_port(1))
                    _exit(3);
                raise(signal_number);
                _exit(0);
            }
            int status = 0;
            waitpid(child, &status, 0);
            if (ignored) {
                termios during{};
                tcgetattr(port.slave, &during);
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << signal_number;
                EXPECT_EQ(cfgetospeed(&during), (speed_t)B57600) << signal_number;
                continue;
            }
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << signal_number;
            port.expect_given_back(strsignal(signal_number));
        }
    }
}

TEST(PosixPort, LeftAsFound) {
    port_found port;
    for (bool serial : {false, true}) {
        plays_serial = serial;
        played_flags = 0;
        garbled = lost = 0;
        baud_rate = 57600;
        ASSERT_TRUE(open_port(1));
        termios during{};
        tcgetattr(port.slave, &during);
        EXPECT_EQ(cfgetospeed(&during), (speed_t)B57600);
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u);
        // A port with the setting gets low latency while open; one without it still opens.
        EXPECT_EQ(played_flags, serial ? ASYNC_LOW_LATENCY : 0);
        // The last bytes of a run, the end byte among them, leave before the port's own
        // speed comes back: all of them still in the UART when close_port is called.
        const std::string last(FIFO_BYTES / 2, '\x04');
        ASSERT_TRUE(send_bytes((const unsigned char *)last.data(), (unsigned)last.size()));
        close_port();
        EXPECT_EQ(garbled, 0u) << "bytes sent at the speed given back";
        EXPECT_EQ(lost, 0u);
        EXPECT_EQ(played_flags, 0);
        port.expect_given_back(serial ? "low latency" : "plain");
    }
    plays_serial = false;
}

} // namespace
