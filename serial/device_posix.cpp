#include "device_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "app/signals_posix.h"
#include "port.h"

namespace {

// The emulated PC holds a device for each of its two UARTs; the host port one.
const unsigned MAX_HELD_DEVICES = 2;

// A device as it was found. Read by the signal handler: set up before fd is.
struct held_device {
    volatile sig_atomic_t fd; // -1: free
    struct termios found;
    bool low_latency_added;
};

held_device held[MAX_HELD_DEVICES] = {{-1, {}, false}, {-1, {}, false}};
bool signals_taken = false;
taken_signals taken;

struct line_speed {
    uint32_t bits_per_second;
    speed_t constant;
};

const line_speed LINE_SPEEDS[] = {
    {110, B110},     {150, B150},       {300, B300},       {600, B600},     {1200, B1200},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

held_device *held_by(int fd) {
    for (held_device &device : held) {
        if (device.fd == fd)
            return &device;
    }
    return 0;
}

void give_back_low_latency(held_device &device) {
    struct serial_struct serial;
    if (device.low_latency_added && ioctl(device.fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(device.fd, TIOCSSERIAL, &serial);
    }
    device.low_latency_added = false;
}

void release(held_device &device) {
    ioctl(device.fd, TIOCNXCL);
    flock(device.fd, LOCK_UN);
    close(device.fd);
    device.fd = -1;
}

// A signal ends the run mid-transfer: what is still queued was for the target and must not go
// out at the settings put back, and the next program must find the device as it was.
void give_back_on_signal(int signal_number) {
    int saved_errno = errno;
    for (held_device &device : held) {
        if (device.fd < 0)
            continue;
        tcflush(device.fd, TCIOFLUSH);
        give_back_low_latency(device);
        tcsetattr(device.fd, TCSANOW, &device.found);
        ioctl(device.fd, TIOCNXCL);
    }
    pass_signal_on(signal_number, &taken);
    errno = saved_errno;
}

// The driver's queue first, bounded; then tcdrain, which waits for the UART's FIFO and shift
// register (or an adapter's buffer): a byte still there when the speed changes leaves garbled.
void drain_output(int fd, uint32_t ms_per_byte) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        int64_t deadline = monotonic_ms() + WRITE_TIMEOUT_BASE_MS + (int64_t)queued * ms_per_byte;
        while (queued > 0 && monotonic_ms() < deadline) {
            poll(0, 0, OUTPUT_DRAIN_POLL_MS);
            if (ioctl(fd, TIOCOUTQ, &queued) != 0)
                queued = 0;
        }
    }
    // What could not leave in time never will; dropping it keeps close() from waiting in the
    // driver.
    if (queued > 0)
        tcflush(fd, TCOFLUSH);
    else
        tcdrain(fd);
}

} // namespace

bool termios_speed(uint32_t bits_per_second, speed_t *speed) {
    for (const line_speed &entry : LINE_SPEEDS) {
        if (entry.bits_per_second == bits_per_second) {
            *speed = entry.constant;
            return true;
        }
    }
    return false;
}

int64_t monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int open_serial_device(unsigned port_number) {
    held_device *device = held_by(-1);
    if (device == 0)
        return -1;
    char variable[32];
    char fallback[32];
    snprintf(variable, sizeof variable, "KESTRELLOAD_COM%u", port_number);
    const char *name = getenv(variable);
    if (name == NULL || name[0] == '\0') {
        snprintf(fallback, sizeof fallback, "/dev/ttyS%u", port_number - 1);
        name = fallback;
    }

    // No SIGHUP when the line goes, and no wait for carrier.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;

    // TIOCEXCL keeps other users' programs out but root passes it, so the lock is what stops a
    // second copy of this program. A busy device's exclusive mode belongs to its owner: it is
    // not cleared here.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0 ||
        tcgetattr(fd, &device->found) != 0) {
        flock(fd, LOCK_UN);
        close(fd);
        return -1;
    }
    if (!signals_taken) {
        take_ending_signals(give_back_on_signal, &taken);
        signals_taken = true;
    }
    device->low_latency_added = false;
    device->fd = fd;
    return fd;
}

// Stop-and-wait transfers wait for every answer: a USB adapter holding received bytes for its
// latency timer (16 ms by default on common chips) would slow them down by far. Ports without
// the setting (pseudo-terminals, on-board UARTs) are fine as they are.
void request_low_latency(int fd) {
    held_device *device = held_by(fd);
    struct serial_struct serial;
    if (device == 0 || ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY))
        return;
    serial.flags |= ASYNC_LOW_LATENCY;
    device->low_latency_added = ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

void close_serial_device(int fd, uint32_t ms_per_byte) {
    held_device *device = held_by(fd);
    if (fd < 0 || device == 0)
        return;
    drain_output(fd, ms_per_byte);
    tcflush(fd, TCIFLUSH);
    give_back_low_latency(*device);
    tcsetattr(fd, TCSADRAIN, &device->found);
    release(*device);
}
