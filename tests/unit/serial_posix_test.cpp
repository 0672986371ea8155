// The POSIX back ends on pseudo-terminals. The serial port is played as a UART on a virtual
// clock: clock_gettime, poll and nanosleep are interposed so that time passes only while the
// port waits, the far end's bytes arrive at set virtual times, and reads, writes, the termios
// calls, ioctl and open can be made to fail or be watched. Key mode runs in forked children on a
// terminal of their own, and so do the signals that end a run.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "app/terminal.h"
#include "serial/device_posix.h"
#include "serial/port.h"
#include "serial/serial.h"

namespace {

const int64_t MS = 1000000, SECOND = 1000 * MS;
const size_t FIFO_BYTES = 16; // the UART's FIFO and shift register, behind the driver's queue

template <typename T> T real(const char *name) {
    return (T)dlsym(RTLD_NEXT, name);
}

// How the line behaves in one case.
struct line_play {
    std::vector<std::pair<int64_t, char>> arrivals; // the far end's bytes, in time order
    int echo_ms = -1;                               // the far end echoes each byte written
    char echo_from = 0, echo_to = 0;                // and answers this one with that
    int64_t refuses_until = 0; // writes find the driver's queue full until then
    int64_t sends_from = 0;    // the transmitter holds every byte until then
    int64_t hangs_up_at = -1;  // the far end closes the pseudo-terminal
    int read_error = 0, write_error = 0, poll_error = 0; // EINTR once, any other for good
    std::string failing;            // a call (or "VTIME": a setting the device does not take) that
    int skip = 0;                   // fails once it has succeeded skip times
    bool serial = false;            // the device has modem lines and the serial_struct ioctls
    bool cuts_sleep = false;        // a signal cuts the next sleep short halfway
    size_t stdout_chunk = SIZE_MAX; // what one write to standard output takes
    bool stdout_interrupted = false;
};

// What a forked child leaves for the test to see.
struct shared_uart {
    int serial_flags;
    unsigned lost, garbled; // bytes flushed unsent; sent while the speed changed
};
shared_uart &uart = *(shared_uart *)mmap(nullptr, sizeof(shared_uart), PROT_READ | PROT_WRITE,
                                         MAP_SHARED | MAP_ANONYMOUS, -1, 0);

line_play line;
int64_t now_ns = 0;
unsigned long calls = 0;
dev_t played_device = 0;
int played_master = -1, modem_lines = 0;
std::vector<int64_t> leaves, written_at; // when each byte written leaves the line; was written
std::string written, shown;              // to the port; to standard output
std::vector<std::string> opened;
bool redirects_opens = false, background = false;

// A wait that spins instead of sleeping would have burnt the CPU: it ends the test.
void tick() {
    if (++calls > 50000000)
        abort();
}

bool played(int fd) {
    struct stat st;
    return played_device != 0 && fstat(fd, &st) == 0 && st.st_rdev == played_device;
}

bool fails(const std::string &call) {
    if (line.failing != call || line.skip-- > 0)
        return false;
    line.failing.clear();
    errno = EIO;
    return true;
}

size_t in_flight() {
    return std::count_if(leaves.begin(), leaves.end(), [](int64_t t) { return t > now_ns; });
}

void drain() {
    now_ns = std::max(now_ns, leaves.empty() ? 0 : leaves.back());
}

void far_end() {
    if (line.hangs_up_at >= 0 && line.hangs_up_at <= now_ns) {
        close(played_master);
        played_master = -1;
        line.hangs_up_at = -1;
    }
}

bool arrived() {
    return !line.arrivals.empty() && line.arrivals[0].first <= now_ns;
}

} // namespace

extern "C" int clock_gettime(clockid_t id, timespec *ts) {
    if (id != CLOCK_MONOTONIC)
        return real<int (*)(clockid_t, timespec *)>("clock_gettime")(id, ts);
    tick();
    ts->tv_sec = now_ns / SECOND;
    ts->tv_nsec = now_ns % SECOND;
    return 0;
}

extern "C" int nanosleep(const timespec *want, timespec *left) {
    tick();
    if (want->tv_nsec < 0 || want->tv_nsec >= SECOND)
        return errno = EINVAL, -1;
    int64_t ns = want->tv_sec * SECOND + want->tv_nsec, slept = line.cuts_sleep ? ns / 2 : ns;
    now_ns += slept;
    if (!std::exchange(line.cuts_sleep, false))
        return 0;
    *left = {(ns - slept) / SECOND, (ns - slept) % SECOND};
    return errno = EINTR, -1;
}

extern "C" int poll(pollfd *given, nfds_t n, int timeout_ms) {
    pollfd *volatile kept = given, *fds = kept; // read too, whatever the declaration says
    tick();
    if (n > 0 && fds == nullptr)
        return errno = EFAULT, -1;
    if (n == 0 || !played(fds->fd)) {
        now_ns += timeout_ms * MS;
        return 0;
    }
    if (line.poll_error != 0)
        return errno = line.poll_error, -1;
    auto hung_up = [fds] {
        far_end();
        return real<int (*)(pollfd *, nfds_t, int)>("poll")(fds, 1, 0) > 0 &&
               (fds->revents & POLLHUP);
    };
    if (hung_up())
        return 1;
    bool out = fds->events & POLLOUT;
    int64_t next = out                     ? std::max(now_ns, line.refuses_until)
                   : line.arrivals.empty() ? INT64_MAX
                                           : line.arrivals[0].first;
    if (line.hangs_up_at >= 0)
        next = std::min(next, line.hangs_up_at);
    now_ns = std::min(std::max(now_ns, next), now_ns + timeout_ms * MS);
    if (hung_up())
        return 1;
    fds->revents = next > now_ns ? 0 : out ? POLLOUT : POLLIN;
    return fds->revents != 0;
}

extern "C" ssize_t read(int fd, void *into, size_t count) {
    if (played(fd)) {
        far_end();
        if (line.read_error != 0) {
            errno = line.read_error;
            line.read_error = errno == EINTR ? 0 : errno;
            return -1;
        }
        size_t n = 0;
        for (; n < count && arrived(); line.arrivals.erase(line.arrivals.begin()))
            ((char *)into)[n++] = line.arrivals[0].second;
        if (n > 0)
            return (ssize_t)n;
    }
    return real<ssize_t (*)(int, void *, size_t)>("read")(fd, into, count);
}

extern "C" ssize_t write(int fd, const void *bytes, size_t count) {
    const char *text = (const char *)bytes;
    if (fd == STDOUT_FILENO) {
        if (std::exchange(line.stdout_interrupted, false))
            return errno = EINTR, -1;
        shown.append(text, std::min(count, line.stdout_chunk));
        return (ssize_t)std::min(count, line.stdout_chunk);
    }
    if (!played(fd))
        return real<ssize_t (*)(int, const void *, size_t)>("write")(fd, bytes, count);
    tick();
    if (line.write_error != 0) {
        errno = line.write_error;
        line.write_error = errno == EINTR ? 0 : errno;
        return -1;
    }
    if (now_ns < line.refuses_until)
        return errno = EAGAIN, -1;
    for (size_t i = 0; i < count; ++i) {
        int64_t after = std::max({now_ns, line.sends_from, leaves.empty() ? 0 : leaves.back()});
        leaves.push_back(after + 10 * SECOND / baud_rate);
        written += text[i];
        written_at.push_back(now_ns);
        if (line.echo_ms >= 0)
            line.arrivals.push_back(
                {now_ns + line.echo_ms * MS, text[i] == line.echo_from ? line.echo_to : text[i]});
    }
    return (ssize_t)count;
}

extern "C" int tcdrain(int fd) {
    if (played(fd))
        drain();
    return real<int (*)(int)>("tcdrain")(fd);
}

extern "C" int tcflush(int fd, int queue) {
    if (played(fd) && fails("tcflush"))
        return -1;
    if (played(fd) && queue != TCIFLUSH) {
        uart.lost += in_flight();
        leaves.clear();
    }
    while (played(fd) && queue != TCOFLUSH && arrived())
        line.arrivals.erase(line.arrivals.begin());
    return real<int (*)(int, int)>("tcflush")(fd, queue);
}

extern "C" int tcgetattr(int fd, termios *settings) {
    return fails("tcgetattr") ? -1 : real<int (*)(int, termios *)>("tcgetattr")(fd, settings);
}

extern "C" int tcsetattr(int fd, int when, const termios *settings) {
    termios taken = *settings, was{};
    if (played(fd)) {
        if (fails("tcsetattr"))
            return -1;
        if (when != TCSANOW)
            drain();
        real<int (*)(int, termios *)>("tcgetattr")(fd, &was);
        if (cfgetospeed(settings) != cfgetospeed(&was))
            uart.garbled += in_flight();
        if (fails("VTIME"))
            taken.c_cc[VTIME] = 1;
    }
    return real<int (*)(int, int, const termios *)>("tcsetattr")(fd, when, &taken);
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    const std::pair<unsigned long, const char *> names[] = {{TIOCOUTQ, "TIOCOUTQ"},
                                                            {TIOCEXCL, "TIOCEXCL"},
                                                            {TIOCMBIS, "TIOCMBIS"},
                                                            {TIOCSSERIAL, "TIOCSSERIAL"}};
    for (const auto &name : names)
        if (played(fd) && request == name.first && fails(name.second))
            return -1;
    if (played(fd) && request == TIOCOUTQ) {
        *(int *)argument = (int)(std::max(in_flight(), FIFO_BYTES) - FIFO_BYTES);
        return 0;
    }
    if (played(fd) && line.serial && request == TIOCMBIS) {
        modem_lines |= *(int *)argument;
        return errno = 0;
    }
    if (played(fd) && line.serial && (request == TIOCGSERIAL || request == TIOCSSERIAL)) {
        serial_struct *serial = (serial_struct *)argument;
        if (request == TIOCGSERIAL)
            *serial = serial_struct{}, serial->flags = uart.serial_flags;
        uart.serial_flags = serial->flags;
        return 0;
    }
    return real<int (*)(int, unsigned long, void *)>("ioctl")(fd, request, argument);
}

extern "C" int open(const char *name, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int mode = (flags & O_CREAT) ? va_arg(args, int) : 0;
    va_end(args);
    if (redirects_opens)
        opened.push_back(name);
    return real<int (*)(const char *, int, ...)>("open")(redirects_opens ? "/dev/ptmx" : name,
                                                         flags, mode);
}

extern "C" pid_t tcgetpgrp(int fd) {
    return background ? 1 : real<pid_t (*)(int)>("tcgetpgrp")(fd);
}

namespace {

// A port as an operator's terminal program leaves it: 9600 bit/s, canonical, echoing, with
// output processing. Port 1; the line fresh, the clock on a whole second.
struct port_found {
    int slave = -1;
    char name[256] = {};
    termios before{};
    port_found() {
        dup2(2, 0); // descriptor 0 taken while the pseudo-terminal opens, then free: the port
        EXPECT_EQ(openpty(&played_master, &slave, name, nullptr, nullptr), 0);
        close(0); // gets it, as it would with standard input closed
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
        line = line_play();
        leaves.clear(), written_at.clear(), written.clear(), shown.clear();
        uart = {}, modem_lines = 0, now_ns = (now_ns / SECOND + 1) * SECOND;
        setenv("KESTRELLOAD_COM1", name, 1);
    }
    ~port_found() {
        close_port();
        played_device = 0;
        close(played_master);
        close(slave);
    }
    void expect_given_back(const std::string &when) const {
        termios after{};
        tcgetattr(slave, &after);
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before)) << when;
        EXPECT_EQ(after.c_iflag, before.c_iflag) << when;
        EXPECT_EQ(after.c_oflag, before.c_oflag) << when;
        EXPECT_EQ(after.c_cflag, before.c_cflag) << when;
        EXPECT_EQ(after.c_lflag, before.c_lflag) << when;
        EXPECT_EQ(0, memcmp(after.c_cc, before.c_cc, sizeof after.c_cc)) << when;
        int exclusive = 1;
        ioctl(slave, TIOCGEXCL, &exclusive);
        EXPECT_EQ(exclusive, 0) << when;
    }
};

const unsigned char *bytes(const std::string &text) {
    return (const unsigned char *)text.data();
}

// How a child ended: its exit status, or 128 + N after signal N; one that hangs is killed.
int finish(pid_t child) {
    int status = 0;
    for (int i = 0; i < 3000 && waitpid(child, &status, WNOHANG) == 0; ++i)
        usleep(1000);
    if (kill(child, SIGKILL) == 0)
        waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// A signal that ends the run gives the port back first: what was queued for the target is
// dropped rather than sent at the speed given back; low latency and exclusive use go too. A
// signal the operator had ignored leaves the run going. First, so that each child takes the
// signals at its own first open.
TEST(PosixPort, GivenBackWhenASignalEndsTheRun) {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        for (bool ignored : {false, true}) {
            port_found port;
            line.serial = true;
            baud_rate = 57600;
            pid_t child = fork();
            if (child == 0) {
                if (ignored)
                    signal(signal_number, SIG_IGN);
                // Opened twice: the second open must not take the signals over from itself.
                if (!open_port(1) || !open_port(1) || !send_bytes(bytes("0123456789"), 10))
                    _exit(3);
                raise(signal_number);
                _exit(0);
            }
            int status = finish(child);
            if (ignored) {
                termios during{};
                tcgetattr(port.slave, &during);
                EXPECT_EQ(status, 0) << signal_number;
                EXPECT_EQ(cfgetospeed(&during), (speed_t)B57600) << signal_number;
                continue;
            }
            EXPECT_EQ(status, 128 + signal_number);
            EXPECT_EQ(uart.lost, 10u) << signal_number;
            EXPECT_EQ(uart.garbled, 0u) << signal_number;
            EXPECT_EQ(uart.serial_flags, 0) << signal_number;
            port.expect_given_back(strsignal(signal_number));
        }
    }
}

// A read attempt waits 1000 ms for its byte, n attempts (0 counts as 1) n seconds, ended by
// the byte; a line that has gone waits them out rather than spinning; a signal ends no wait.
TEST(PosixPort, ReadWaits) {
    struct {
        int64_t arrives_ms; // -1: nothing comes
        unsigned attempts;
        int error;
        int64_t hangs_up_ms;
        bool received;
        int64_t waited_ms;
    } rows[] = {
        {999, 1, 0, -1, true, 999},    {1001, 1, 0, -1, false, 1000},
        {999, 0, 0, -1, true, 999},    {1001, 0, 0, -1, false, 1000},
        {2999, 3, 0, -1, true, 2999},  {3001, 3, 0, -1, false, 3000},
        {-1, 5, 0, -1, false, 5000},   {500, 1, EINTR, -1, true, 500},
        {-1, 3, EIO, -1, false, 3000}, {-1, 3, 0, 0, false, 3000},
        {-1, 3, 0, 999, false, 3000},  {-1, 3, ENOMEM, -1, false, 3000},
    };
    for (const auto &r : rows) {
        port_found port;
        baud_rate = 9600;
        ASSERT_TRUE(open_port(1));
        int64_t start = now_ns;
        if (r.arrives_ms >= 0)
            line.arrivals = {{start + r.arrives_ms * MS, 'A'}};
        line.hangs_up_at = r.hangs_up_ms < 0 ? -1 : start + r.hangs_up_ms * MS;
        (r.error == ENOMEM ? line.poll_error : line.read_error) = r.error;
        unsigned char byte = 0x55;
        EXPECT_EQ(receive_byte(&byte, r.attempts, ECHO_OFF), r.received) << r.arrives_ms;
        EXPECT_EQ(now_ns - start, r.waited_ms * MS) << r.arrives_ms << " " << r.error;
        EXPECT_EQ(byte, r.received ? 'A' : 0x00);
        close_port();
        EXPECT_FALSE(receive_byte(&byte, 5, ECHO_OFF)) << "closed";
        EXPECT_EQ(now_ns - start, r.waited_ms * MS) << "a closed port fails at once";
    }
}

// A write of n bytes may take 4000 + n x (20000 / speed + 1) ms at each speed: a line that
// takes them just in time passes, one 1 ms later fails with the message. Errors and the device
// going fail at once; a signal is no error.
TEST(PosixPort, WriteTimeOut) {
    struct {
        uint32_t speed;
        unsigned count;
        int64_t takes_ms;
        int error;
        bool hangs_up, sent;
        int64_t waited_ms;
    } rows[] = {
        {57600, 1, 4001, 0, false, true, 4001},    {57600, 1, 4002, 0, false, false, 4001},
        {38400, 4, 4004, 0, false, true, 4004},    {38400, 4, 4005, 0, false, false, 4004},
        {19200, 4, 4008, 0, false, true, 4008},    {19200, 4, 4009, 0, false, false, 4008},
        {9600, 4, 4012, 0, false, true, 4012},     {9600, 4, 4013, 0, false, false, 4012},
        {4800, 4, 4020, 0, false, true, 4020},     {4800, 4, 4021, 0, false, false, 4020},
        {2400, 4, 4036, 0, false, true, 4036},     {2400, 4, 4037, 0, false, false, 4036},
        {1200, 4, 4068, 0, false, true, 4068},     {1200, 4, 4069, 0, false, false, 4068},
        {1200, 128, 6176, 0, false, true, 6176},   {1200, 128, 6177, 0, false, false, 6176},
        {57600, 2, 0, EINTR, false, true, 0},      {57600, 2, 0, EIO, false, false, 0},
        {57600, 2, 9000, ENOMEM, false, false, 0}, {57600, 2, 9000, 0, true, false, 0},
    };
    for (const auto &r : rows) {
        port_found port;
        baud_rate = r.speed;
        ASSERT_TRUE(open_port(1));
        int64_t start = now_ns;
        line.refuses_until = start + r.takes_ms * MS;
        line.hangs_up_at = r.hangs_up ? start : -1;
        (r.error == ENOMEM ? line.poll_error : line.write_error) = r.error;
        // The message comes out whole through a standard output that takes a byte a write.
        line.stdout_chunk = 1;
        line.stdout_interrupted = true;
        EXPECT_EQ(send_bytes(bytes(std::string(r.count, 'x')), r.count), r.sent) << r.speed;
        EXPECT_EQ(now_ns - start, r.waited_ms * MS) << r.speed << " " << r.count;
        EXPECT_EQ(written, r.sent ? std::string(r.count, 'x') : "");
        EXPECT_EQ(shown, r.sent ? "" : PORT_WRITE_FAILED) << r.speed << " " << r.count;
    }
}

// Paced bytes leave 55 ms apart, the last followed by its 55 ms too, even when a signal cuts a
// pause short; the first failed byte ends the run. Every byte value comes through the raw line;
// printable ASCII and white space are shown, only with echo exactly ECHO_ON. A command's
// printable characters must come back unchanged within 5 s.
TEST(PosixPort, PacedEchoedAndPurged) {
    port_found port;
    baud_rate = 57600;
    ASSERT_TRUE(open_port(1));
    int64_t start = now_ns;
    line.cuts_sleep = true;
    EXPECT_TRUE(send_bytes_paced(bytes("abc"), 3));
    EXPECT_EQ(written_at, std::vector<int64_t>({start, start + 55 * MS, start + 110 * MS}));
    EXPECT_EQ(now_ns - start, 165 * MS);
    line.write_error = EIO;
    EXPECT_FALSE(send_bytes_paced(bytes("de"), 2));
    EXPECT_FALSE(send_command("d", ECHO_OFF));
    EXPECT_EQ(shown, std::string(PORT_WRITE_FAILED) + PORT_WRITE_FAILED);
    line.write_error = 0;

    std::string every(256, '\0'), received;
    for (int c = 0; c < 256; ++c)
        line.arrivals.push_back({now_ns, every[c] = (char)c});
    shown.clear();
    unsigned char byte;
    while (receive_byte(&byte, 1, ECHO_ON))
        received += (char)byte;
    EXPECT_EQ(received, every);
    EXPECT_EQ(shown, "\t\n\v\f\r" + every.substr(0x20, 0x7F - 0x20));
    for (int echo : {ECHO_OFF, ECHO_ON + 1}) {
        line.arrivals.push_back({now_ns, 'a'});
        EXPECT_TRUE(receive_byte(&byte, 1, echo));
    }
    EXPECT_EQ(shown.size(), 5u + 0x7F - 0x20) << "shown with echo off";

    // Gone with purge_input: what has arrived so far, not what comes after.
    line.arrivals = {{now_ns, 'x'}, {now_ns + 10 * MS, 'y'}};
    purge_input();
    EXPECT_TRUE(receive_byte(&byte, 1, ECHO_OFF) && byte == 'y');

    struct {
        const char *text;
        int echo_ms;
        char from, to;
        bool accepted;
    } commands[] = {{"a~\n", 4999, '\n', '\r', true},
                    {"a~", 5001, 0, 0, false},
                    {"a~", 0, '~', '}', false},
                    {"\x1f\x7f", 0, '\x1f', '?', true}};
    for (const auto &c : commands) {
        line.echo_ms = c.echo_ms, line.echo_from = c.from, line.echo_to = c.to;
        line.arrivals.clear();
        EXPECT_EQ(send_command(c.text, ECHO_OFF), c.accepted) << c.text;
    }
}

// Each open sets the line raw at 8N1 without flow control, parity errors read as 0x00, DTR and
// RTS raised where the port has them; an open failed at any step leaves the port closed, as it
// was found and without a descriptor.
TEST(PosixPort, OpenSettingsAndFailures) {
    port_found port;
    line.serial = true;
    baud_rate = 57600;
    ASSERT_TRUE(open_port(1));
    termios t{};
    tcgetattr(port.slave, &t);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B57600);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B57600);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              (tcflag_t)(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (INPCK | IGNPAR | PARMRK | ISTRIP | IGNBRK | BRKINT | INLCR | IGNCR |
                           ICRNL | IXON | IXOFF | IXANY),
              (tcflag_t)INPCK);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN] + t.c_cc[VTIME], 0);
    EXPECT_EQ(modem_lines, TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(open_serial_device(1), -1) << "a port held cannot be taken again";
    close_port();

    const struct {
        const char *call;
        int skip;
    } failing[] = {{"TIOCEXCL", 0},  {"tcgetattr", 1}, {"tcsetattr", 0}, {"VTIME", 0},
                   {"tcgetattr", 2}, {"TIOCMBIS", 0},  {"tcflush", 0},   {"1234 bit/s", 0}};
    for (const auto &f : failing) {
        line.failing = f.call, line.skip = f.skip;
        baud_rate = line.failing == "1234 bit/s" ? 1234 : 57600;
        EXPECT_FALSE(open_port(1)) << f.call << " " << f.skip;
        EXPECT_FALSE(send_byte('x')) << f.call;
        EXPECT_EQ(fcntl(0, F_GETFD), -1) << f.call << ": a descriptor left open";
        port.expect_given_back(f.call);
    }
}

// close_port lets the last bytes leave before the port's own settings come back: the driver's
// queue within 4000 ms + its bytes x the write time-out per byte, then the UART's FIFO; what
// cannot leave in time is dropped. Unread input goes. Low latency is asked for where the port
// has it and given back; a port found in low latency keeps it.
TEST(PosixPort, GivenBackAtClose) {
    struct {
        uint32_t speed;
        unsigned count;
        int64_t sends_ms;
        const char *failing;
        int skip, flags_found, flags_open;
        unsigned lost;
        int64_t close_ms;
    } rows[] = {
        {57600, 8, 0, "", 0, 0, ASYNC_LOW_LATENCY, 0, 1},
        {57600, 17, 0, "", 0, ASYNC_LOW_LATENCY, ASYNC_LOW_LATENCY, 0, 10},
        {57600, 8, 0, "TIOCSSERIAL", 0, 0, 0, 0, 1},
        {9600, 26, 4019, "", 0, 0, ASYNC_LOW_LATENCY, 0, 4046},
        {9600, 26, 4020, "", 0, 0, ASYNC_LOW_LATENCY, 17, 4030},
        {57600, 26, 0, "TIOCOUTQ", 0, 0, ASYNC_LOW_LATENCY, 0, 4},
        {57600, 26, 100, "TIOCOUTQ", 1, 0, ASYNC_LOW_LATENCY, 0, 104},
    };
    for (const auto &r : rows) {
        port_found port;
        line.serial = true;
        uart.serial_flags = r.flags_found;
        baud_rate = r.speed;
        line.failing = r.failing, line.skip = r.skip;
        ASSERT_TRUE(open_port(1));
        EXPECT_EQ(uart.serial_flags, r.flags_open) << r.failing;
        int64_t start = now_ns;
        line.sends_from = start + r.sends_ms * MS;
        ASSERT_TRUE(send_bytes(bytes(std::string(r.count, '\x04')), r.count));
        line.arrivals = {{start, 'z'}};
        close_port();
        EXPECT_EQ(uart.lost, r.lost) << r.count << " " << r.sends_ms;
        EXPECT_EQ((now_ns - start) / MS, r.close_ms) << r.count << " " << r.sends_ms;
        EXPECT_EQ(uart.garbled, 0u) << "bytes sent at the speed given back";
        EXPECT_EQ(uart.serial_flags, r.flags_found);
        EXPECT_TRUE(line.arrivals.empty()) << "unread input kept";
        EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor left open";
        port.expect_given_back(r.failing);
    }
}

// Port N is the device that KESTRELLOAD_COM<N> names, else /dev/ttyS<N-1>. Two devices can be
// held at once (the emulated PC's two UARTs).
TEST(PosixPort, DeviceNames) {
    port_found port;
    baud_rate = 57600;
    ASSERT_TRUE(open_port(1));
    const struct {
        unsigned port;
        const char *variable, *device;
    } rows[] = {
        {2, nullptr, "/dev/ttyS1"}, {9, "", "/dev/ttyS8"}, {4, "/dev/by-id/x", "/dev/by-id/x"}};
    for (const auto &r : rows) {
        std::string variable = "KESTRELLOAD_COM" + std::to_string(r.port);
        r.variable ? setenv(variable.c_str(), r.variable, 1) : unsetenv(variable.c_str());
        opened.clear();
        redirects_opens = true;
        int fd = open_serial_device(r.port);
        redirects_opens = false;
        EXPECT_GE(fd, 0) << r.device;
        EXPECT_EQ(opened, std::vector<std::string>({r.device}));
        close_serial_device(fd, 1);
    }
}

// Keys come from the controlling terminal one at a time, never from standard input, in key
// mode: no echo, no line editing, Enter as a carriage return, Ctrl-C still a signal. The
// terminal's modes come back at exit and on a signal; a continue in the foreground puts key
// mode back, one in the background does not. Without a terminal a key read gives Enter.
// Actions: a key to type, S stop and continue (B in the background), U another signal.
TEST(KeyMode, OnTheControllingTerminal) {
    const struct {
        const char *name;
        bool terminal, keys_on_stdin;
        std::string actions;
        unsigned keys;
        const char *echo;
        int status;
    } rows[] = {
        {"typed", true, true, "y", 1, "y", 'y'},
        {"typed ahead", true, false, "ab\r", 3, "ab\r", '\r'},
        {"continued", true, false, "Sy", 1, "y", 'y'},
        {"continued in the background", true, false, "B\r", 1, "\n", '\n'},
        {"interrupted", true, false, "Uy", 1, "y", 'y'},
        {"Ctrl-C", true, false, "\x03", 1, "", 128 + SIGINT},
        {"no terminal", false, false, "", 2, "", '\r'},
    };
    for (const auto &r : rows) {
        port_found tty;
        background = r.actions[0] == 'B';
        pid_t child = fork();
        if (child == 0) {
            setsid();
            if (r.terminal)
                close(open(tty.name, O_RDWR)); // the controlling terminal
            int keys[2];
            if (r.keys_on_stdin && pipe(keys) == 0 && write(keys[1], "n", 1) == 1)
                dup2(keys[0], 0);
            struct sigaction quiet {};
            quiet.sa_handler = [](int) {};
            sigaction(SIGUSR1, &quiet, nullptr); // no restart: the read sees EINTR
            int key = 0;
            for (unsigned i = 0; i < r.keys; ++i)
                key = console_key_echo();
            exit(shown == r.echo ? key : 255);
        }
        termios t{};
        auto in_key_mode = [&] {
            for (int i = 0; i < 2000 && tcgetattr(played_master, &t) == 0 && (t.c_lflag & ICANON);
                 ++i)
                usleep(1000);
            return !(t.c_lflag & ICANON);
        };
        bool waits = true; // for key mode before each action
        for (char action : r.actions) {
            if (waits && !in_key_mode())
                break;
            if (waits) {
                EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), (tcflag_t)ISIG) << r.name;
                EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR), 0u) << r.name;
                EXPECT_EQ(t.c_cc[VMIN] * 256 + t.c_cc[VTIME], 256) << r.name;
            }
            usleep(20000); // into its read
            if (action == 'S' || action == 'B') {
                kill(child, SIGSTOP);
                waitpid(child, nullptr, WUNTRACED);
                tcsetattr(tty.slave, TCSANOW, &tty.before); // the shell's modes, as job control
                kill(child, SIGCONT);
                if (background)
                    usleep(50000);
                bool key_mode = background
                                    ? tcgetattr(played_master, &t) == 0 && !(t.c_lflag & ICANON)
                                    : in_key_mode();
                EXPECT_EQ(key_mode, !background) << r.name;
                waits = !background;
            } else if (action == 'U') {
                kill(child, SIGUSR1);
            } else {
                EXPECT_EQ(real<ssize_t (*)(int, const void *, size_t)>("write")(played_master,
                                                                                &action, 1),
                          1);
            }
        }
        EXPECT_EQ(finish(child), r.status) << r.name;
        tty.expect_given_back(r.name);
    }
    background = false;
}

} // namespace
