// The host serial port on POSIX termios, on the device that device_posix.cpp names and takes
// exclusively. The descriptor stays non-blocking; every wait is a poll against the monotonic
// clock.
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "device_posix.h"
#include "port.h"
#include "serial.h"

static int port_fd = -1;
// Write time-out per byte, fixed at open from the speed the line was set to.
static int64_t write_ms_per_byte = 0;

static int64_t write_timeout_ms(int64_t count) {
    return WRITE_TIMEOUT_BASE_MS + count * write_ms_per_byte;
}

// Raw 8N1 without flow control in either direction. INPCK without IGNPAR or PARMRK turns a byte
// received with a parity or framing error into 0x00, and a break without IGNBRK or BRKINT
// reads as 0x00 too. CRTSCTS stays off: on this platform it would also hold our output on CTS,
// which the line must not do; open_port raises RTS (and DTR) instead.
static bool configure_line(int fd, speed_t speed) {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return false;
    tio.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                     IXOFF | IXANY | IMAXBEL | IUTF8);
    tio.c_iflag |= INPCK;
    tio.c_oflag &= ~OPOST;
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    // Reads never wait in the driver; port_read_attempt waits in poll.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
        return false;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return false;

    // tcsetattr succeeds when any part of the request was taken: confirm the whole of it.
    struct termios got;
    if (tcgetattr(fd, &got) != 0)
        return false;
    const tcflag_t iflags =
        INPCK | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY;
    const tcflag_t cflags = CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD;
    const tcflag_t lflags = ICANON | ECHO | ISIG | IEXTEN;
    return cfgetispeed(&got) == speed && cfgetospeed(&got) == speed &&
           (got.c_iflag & iflags) == (tio.c_iflag & iflags) &&
           (got.c_cflag & cflags) == (tio.c_cflag & cflags) &&
           (got.c_lflag & lflags) == (tio.c_lflag & lflags) && (got.c_oflag & OPOST) == 0 &&
           got.c_cc[VMIN] == 0 && got.c_cc[VTIME] == 0;
}

bool open_port(unsigned port_number) {
    close_port();

    // 1. A speed the line can take, then the device.
    speed_t speed;
    if (!termios_speed(baud_rate, &speed))
        return false;
    int fd = open_serial_device(port_number);
    if (fd < 0)
        return false;

    // 2. Line settings, then DTR and RTS up (pseudo-terminals have no modem lines).
    write_ms_per_byte = write_timeout_ms_per_byte(baud_rate);
    bool ok = configure_line(fd, speed);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ok = ok && (ioctl(fd, TIOCMBIS, &lines) == 0 || errno == ENOTTY);

    // 3. Nothing left over from before this open in either direction.
    ok = ok && tcflush(fd, TCIOFLUSH) == 0;
    if (!ok) {
        close_serial_device(fd, write_ms_per_byte);
        return false;
    }
    port_fd = fd;
    request_low_latency(fd);
    return true;
}

void close_port() {
    if (port_fd < 0)
        return;
    close_serial_device(port_fd, write_ms_per_byte);
    port_fd = -1;
}

void purge_input() {
    if (port_fd >= 0)
        tcflush(port_fd, TCIFLUSH);
}

void sleep_ms(unsigned ms) {
    struct timespec left;
    left.tv_sec = ms / 1000;
    left.tv_nsec = (long)(ms % 1000) * 1000000;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

bool port_is_open() {
    return port_fd >= 0;
}

bool port_write(const unsigned char *bytes, unsigned count) {
    if (port_fd < 0)
        return false;
    int64_t deadline = monotonic_ms() + write_timeout_ms(count);
    unsigned done = 0;
    while (done < count) {
        ssize_t n = write(port_fd, bytes + done, count - done);
        if (n > 0) {
            done += (unsigned)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            return false;
        struct pollfd pfd = {port_fd, POLLOUT, 0};
        int ready = poll(&pfd, 1, (int)left);
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return false;
    }
    return true;
}

bool port_read_attempt(unsigned char *byte) {
    if (port_fd < 0)
        return false;
    int64_t deadline = monotonic_ms() + PORT_READ_TIMEOUT_MS;
    bool hung_up = false;
    for (;;) {
        ssize_t n = read(port_fd, byte, 1);
        if (n == 1)
            return true;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break; // EIO: the device has gone
        if (hung_up)
            break; // the hang-up left nothing to read
        int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            return false;
        struct pollfd pfd = {port_fd, POLLIN, 0};
        int ready = poll(&pfd, 1, (int)left);
        if (ready < 0 && errno != EINTR)
            break;
        // A hung-up descriptor polls readable for ever; read once more for what is left.
        if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
            hung_up = true;
    }
    // A gone device answers at once: wait out the attempt so that callers counting attempts
    // as seconds do not spin.
    int64_t left = deadline - monotonic_ms();
    if (left > 0)
        sleep_ms((unsigned)left);
    return false;
}
