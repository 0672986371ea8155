#include "tools/kestrel-target/line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct SpeedCode {
    unsigned baud;
    speed_t code;
};

const SpeedCode SPEEDS[] = {{300, B300},     {600, B600},       {1200, B1200},    {2400, B2400},
                            {4800, B4800},   {9600, B9600},     {19200, B19200},  {38400, B38400},
                            {57600, B57600}, {115200, B115200}, {230400, B230400}};

speed_t speed_code(unsigned baud) {
    for (const SpeedCode &s : SPEEDS)
        if (s.baud == baud)
            return s.code;
    return B0;
}

unsigned speed_baud(speed_t code) {
    for (const SpeedCode &s : SPEEDS)
        if (s.code == code)
            return s.baud;
    return 0;
}

// Ten bits per byte: start, eight data bits, stop.
Clock::duration byte_time(unsigned baud) {
    if (baud == 0)
        baud = 9600;
    return std::chrono::nanoseconds(10000000000ull / baud);
}

std::string errno_text(const char *what) {
    return std::string(what) + ": " + strerror(errno);
}

bool set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool make_raw(int fd) {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~CRTSCTS;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// The speed the downloader last set on the slave; the master reports the slave's settings.
unsigned peer_speed(const Line &line) {
    if (line.device)
        return line.device_speed;
    struct termios tio;
    if (tcgetattr(line.fd, &tio) != 0)
        return 0;
    return speed_baud(cfgetospeed(&tio));
}

} // namespace

bool line_open_pty(Line &line, unsigned idle_speed, std::string &error) {
    line.device = false;
    line.fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (line.fd < 0) {
        error = errno_text("posix_openpt");
        return false;
    }
    if (grantpt(line.fd) != 0 || unlockpt(line.fd) != 0) {
        error = errno_text("grantpt/unlockpt");
        return false;
    }
    const char *name = ptsname(line.fd);
    if (name == nullptr) {
        error = errno_text("ptsname");
        return false;
    }
    line.path = name;
    line.slave_fd = open(name, O_RDWR | O_NOCTTY);
    if (line.slave_fd < 0) {
        error = errno_text(name);
        return false;
    }
    // Raw on both sides: default XON/XOFF would swallow 0x11/0x13 and echo would reflect
    // our own output back to us until the downloader sets its modes.
    if (!make_raw(line.fd) || !make_raw(line.slave_fd) || !set_nonblocking(line.fd)) {
        error = errno_text("raw mode");
        return false;
    }
    // A downloader that puts the port's settings back as it closes it may do so before we
    // have read its last bytes, which we would then take at the speed it put back: starting
    // at the speed we end at, that is the speed they were sent at.
    struct termios tio;
    if (tcgetattr(line.slave_fd, &tio) != 0 || cfsetspeed(&tio, speed_code(idle_speed)) != 0 ||
        tcsetattr(line.slave_fd, TCSANOW, &tio) != 0) {
        error = errno_text("line speed");
        return false;
    }
    return true;
}

bool line_open_device(Line &line, const std::string &path, unsigned speed, std::string &error) {
    line.device = true;
    line.path = path;
    line.fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line.fd < 0) {
        error = errno_text(path.c_str());
        return false;
    }
    if (ioctl(line.fd, TIOCEXCL) != 0) {
        error = errno_text("TIOCEXCL");
        return false;
    }
    if (tcgetattr(line.fd, &line.saved) != 0) {
        error = errno_text("tcgetattr");
        return false;
    }
    line.have_saved = true;
    if (!make_raw(line.fd) || !line_set_device_speed(line, speed, error)) {
        if (error.empty())
            error = errno_text("raw mode");
        return false;
    }
    tcflush(line.fd, TCIOFLUSH);
    return true;
}

void line_close(Line &line) {
    if (line.fd >= 0) {
        if (line.have_saved) {
            tcdrain(line.fd);
            tcsetattr(line.fd, TCSANOW, &line.saved);
        }
        close(line.fd);
        line.fd = -1;
    }
    if (line.slave_fd >= 0) {
        close(line.slave_fd);
        line.slave_fd = -1;
    }
}

bool line_read(Line &line, TimePoint now, std::string &error) {
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = read(line.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            if (errno == EINTR)
                continue;
            error = errno_text("read");
            return false;
        }
        if (n == 0) {
            error = "line closed";
            return false;
        }
        unsigned speed = peer_speed(line);
        line.last_arrival = now;
        for (ssize_t i = 0; i < n; ++i) {
            TimePoint due = now;
            if (line.pace) {
                // A byte is complete on the wire one byte time after the previous one.
                due = std::max(now, line.rx_line_free) + byte_time(speed);
                line.rx_line_free = due;
            }
            line.rx.push_back({buf[i], speed, due, now});
        }
    }
}

bool line_next_rx(Line &line, TimePoint now, RxByte &out) {
    if (line.rx.empty() || line.rx.front().due > now)
        return false;
    out = line.rx.front();
    line.rx.pop_front();
    return true;
}

void line_send(Line &line, const uint8_t *bytes, size_t count, unsigned speed, TimePoint now) {
    for (size_t i = 0; i < count; ++i) {
        TimePoint due = now;
        if (line.pace) {
            due = std::max(now, line.tx_line_free) + byte_time(speed);
            line.tx_line_free = due;
        }
        line.tx.push_back({bytes[i], due});
    }
}

bool line_flush(Line &line, TimePoint now, std::string &error) {
    uint8_t buf[4096];
    while (!line.tx.empty() && line.tx.front().second <= now) {
        size_t n = 0;
        while (n < line.tx.size() && n < sizeof buf && line.tx[n].second <= now) {
            buf[n] = line.tx[n].first;
            ++n;
        }
        ssize_t written = write(line.fd, buf, n);
        if (written < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            if (errno == EINTR)
                continue;
            error = errno_text("write");
            return false;
        }
        for (ssize_t i = 0; i < written; ++i) {
            auto late =
                std::chrono::duration_cast<std::chrono::microseconds>(now - line.tx[i].second);
            line.late_total += late;
            line.late_max = std::max(line.late_max, late);
        }
        line.late_count += (uint64_t)written;
        line.tx.erase(line.tx.begin(), line.tx.begin() + written);
        line.last_write = now;
    }
    return true;
}

bool line_tx_pending(const Line &line) {
    return !line.tx.empty();
}

bool line_peer_unread(const Line &line) {
    int n = 0;
    if (line.device || line.tcp) // a socket's TIOCOUTQ is its unsent and unacknowledged data
        return ioctl(line.fd, TIOCOUTQ, &n) == 0 && n > 0;
    return ioctl(line.slave_fd, TIOCINQ, &n) == 0 && n > 0;
}

bool line_set_device_speed(Line &line, unsigned speed, std::string &error) {
    struct termios tio;
    tcdrain(line.fd);
    if (tcgetattr(line.fd, &tio) != 0 || cfsetspeed(&tio, speed_code(speed)) != 0 ||
        tcsetattr(line.fd, TCSANOW, &tio) != 0) {
        error = errno_text("setting the line speed");
        return false;
    }
    line.device_speed = speed;
    return true;
}

TimePoint line_next_due(const Line &line, bool rx_wanted) {
    TimePoint next = TimePoint::max();
    if (rx_wanted && !line.rx.empty())
        next = line.rx.front().due;
    if (!line.tx.empty())
        next = std::min(next, line.tx.front().second);
    return next;
}

bool line_wants_write(const Line &line, TimePoint now) {
    return !line.tx.empty() && line.tx.front().second <= now;
}
