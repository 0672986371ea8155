#include "device_posix.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

int open_serial_device(unsigned port_number) {
    char variable[32];
    char fallback[32];
    snprintf(variable, sizeof variable, "KESTRELLOAD_COM%u", port_number);
    const char *device = getenv(variable);
    if (device == NULL || device[0] == '\0') {
        snprintf(fallback, sizeof fallback, "/dev/ttyS%u", port_number - 1);
        device = fallback;
    }

    // No SIGHUP when the line goes, and no wait for carrier.
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;

    // TIOCEXCL keeps other users' programs out but root passes it, so the lock is what stops a
    // second copy of this program. A busy device's exclusive mode belongs to its owner: it is
    // not cleared here.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void close_serial_device(int fd) {
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    close(fd);
}
