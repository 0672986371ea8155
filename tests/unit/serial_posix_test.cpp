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
#include <stdarg.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <tuple>

#include "serial/device_posix.h"
#include "serial/port.h"
#include "serial/serial.h"

int console_key_echo();

namespace {

#define REAL(name) ((decltype(&name))dlsym(RTLD_NEXT, #name))

const int64_t MS = 1000000, SECOND = 1000 * MS;
const size_t FIFO_BYTES = 16; // the UART's FIFO and shift register, behind the driver's queue
// Calls a case can make fail, besides ioctl requests. PARTIAL: a tcsetattr that takes all but
// VTIME, and says it took it all.
enum : unsigned long { TCGETATTR = 1, TCSETATTR, TCFLUSH, PARTIAL, NO_SPEED };

// How the line behaves in one case. Errors: EINTR once, any other for good.
struct line_play {
    std::vector<std::pair<int64_t, char>> arrivals; // the far end's bytes, in time order
    int echo_ms = -1;                // the far end echoes each byte written after that long,
    char echo_from = 0, echo_to = 0; // this one as that
    int64_t refuses_until = 0;       // writes find the driver's queue full until then
    int64_t sends_from = 0;          // the transmitter holds every byte until then
    int64_t hangs_up_at = -1;        // the far end closes the pseudo-terminal then
    int read_error = 0, write_error = 0, poll_error = 0;
    unsigned long failing = 0; // fails once it has succeeded skip times
    int skip = 0;
    bool serial = false;            // modem lines and the serial_struct ioctls
    bool cuts_sleep = false;        // a signal cuts the next sleep short halfway
    size_t stdout_chunk = SIZE_MAX; // what a write to standard output takes, after an EINTR
    bool stdout_interrupted = false;
};

// What a forked child leaves behind: serial flags, bytes flushed unsent, bytes in flight while
// the speed changed.
struct shared_uart {
    int serial_flags;
    unsigned lost, garbled;
} &uart = *(shared_uart *)mmap(nullptr, sizeof(shared_uart), PROT_READ | PROT_WRITE,
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

struct model {
    // A wait that spins instead of sleeping would burn the CPU: it ends the tests.
    static void tick() { ++calls < 50000000 ? (void)0 : abort(); }
    static bool played(int fd) {
        struct stat st;
        return played_device != 0 && fstat(fd, &st) == 0 && st.st_rdev == played_device;
    }
    static bool fails(unsigned long call) {
        bool now = line.failing == call && line.skip-- == 0;
        return now ? (line.failing = 0, errno = EIO, true) : false;
    }
    static size_t in_flight() {
        return std::count_if(leaves.begin(), leaves.end(), [](int64_t t) { return t > now_ns; });
    }
    static void drain() { now_ns = std::max(now_ns, leaves.empty() ? 0 : leaves.back()); }
    static bool arrived() { return !line.arrivals.empty() && line.arrivals[0].first <= now_ns; }
    static void far_end() {
        if (line.hangs_up_at < 0 || line.hangs_up_at > now_ns)
            return;
        close(played_master);
        played_master = line.hangs_up_at = -1;
    }
    static int error(int &error) { return errno = error, error = error == EINTR ? 0 : error, -1; }
};

} // namespace

extern "C" int clock_gettime(clockid_t id, timespec *ts) {
    if (id != CLOCK_MONOTONIC)
        return REAL(clock_gettime)(id, ts);
    model::tick();
    *ts = {now_ns / SECOND, now_ns % SECOND};
    return 0;
}

extern "C" int nanosleep(const timespec *want, timespec *left) {
    model::tick();
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
    model::tick();
    if (n > 0 && fds == nullptr)
        return errno = EFAULT, -1;
    if (n == 0 || !model::played(fds->fd))
        return now_ns += timeout_ms * MS, 0;
    if (line.poll_error != 0)
        return model::error(line.poll_error);
    auto hung_up = [fds] {
        model::far_end();
        return REAL(poll)(fds, 1, 0) > 0 && (fds->revents & POLLHUP);
    };
    bool out = fds->events & POLLOUT;
    int64_t next = out                     ? std::max(now_ns, line.refuses_until)
                   : line.arrivals.empty() ? INT64_MAX
                                           : line.arrivals[0].first;
    if (hung_up())
        return 1;
    next = line.hangs_up_at < 0 ? next : std::min(next, line.hangs_up_at);
    now_ns = std::min(std::max(now_ns, next), now_ns + timeout_ms * MS);
    if (hung_up())
        return 1;
    fds->revents = next > now_ns ? 0 : out ? POLLOUT : POLLIN;
    return fds->revents != 0;
}

extern "C" ssize_t read(int fd, void *into, size_t count) {
    if (!model::played(fd))
        return REAL(read)(fd, into, count);
    model::far_end();
    if (line.read_error != 0)
        return model::error(line.read_error);
    size_t n = 0;
    for (; n < count && model::arrived(); line.arrivals.erase(line.arrivals.begin()))
        ((char *)into)[n++] = line.arrivals[0].second;
    return n > 0 ? (ssize_t)n : REAL(read)(fd, into, count);
}

extern "C" ssize_t write(int fd, const void *bytes, size_t count) {
    const char *text = (const char *)bytes;
    if (fd == STDOUT_FILENO && std::exchange(line.stdout_interrupted, false))
        return errno = EINTR, -1;
    if (fd == STDOUT_FILENO)
        return shown.append(text, std::min(count, line.stdout_chunk)),
               std::min(count, line.stdout_chunk);
    if (!model::played(fd))
        return REAL(write)(fd, bytes, count);
    model::tick();
    if (line.write_error != 0)
        return model::error(line.write_error);
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
    if (model::played(fd))
        model::drain();
    return REAL(tcdrain)(fd);
}

// A flush of the output drops what is still to leave; one of the input what has arrived.
extern "C" int tcflush(int fd, int queue) {
    if (model::played(fd) && model::fails(TCFLUSH))
        return -1;
    if (model::played(fd) && queue != TCIFLUSH)
        uart.lost += model::in_flight(), leaves.clear();
    while (model::played(fd) && queue != TCOFLUSH && model::arrived())
        line.arrivals.erase(line.arrivals.begin());
    return REAL(tcflush)(fd, queue);
}

extern "C" int tcgetattr(int fd, termios *settings) {
    return model::fails(TCGETATTR) ? -1 : REAL(tcgetattr)(fd, settings);
}

// Unless it waits for the output to leave, a new speed garbles what is still in flight.
extern "C" int tcsetattr(int fd, int when, const termios *settings) {
    termios taken = *settings, was{};
    if (model::played(fd) && model::fails(TCSETATTR))
        return -1;
    if (model::played(fd) && when != TCSANOW)
        model::drain();
    if (model::played(fd) && REAL(tcgetattr)(fd, &was) == 0 &&
        cfgetospeed(settings) != cfgetospeed(&was))
        uart.garbled += model::in_flight();
    if (model::played(fd) && model::fails(PARTIAL))
        taken.c_cc[VTIME] = 1;
    return REAL(tcsetattr)(fd, when, &taken);
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    bool played = model::played(fd), serial = played && line.serial;
    serial_struct *settings = (serial_struct *)argument;
    if (played && model::fails(request))
        return -1;
    if (played && request == TIOCOUTQ)
        return *(int *)argument = (int)(std::max(model::in_flight(), FIFO_BYTES) - FIFO_BYTES), 0;
    if (serial && request == TIOCMBIS)
        return modem_lines |= *(int *)argument, errno = 0;
    if (serial && request == TIOCGSERIAL)
        return *settings = serial_struct{}, settings->flags = uart.serial_flags, 0;
    if (serial && request == TIOCSSERIAL)
        return uart.serial_flags = settings->flags, 0;
    return REAL(ioctl)(fd, request, argument);
}

extern "C" int open(const char *name, int flags, ...) {
    if (redirects_opens)
        opened.push_back(name);
    return REAL(open)(redirects_opens ? "/dev/ptmx" : name, flags);
}

extern "C" pid_t tcgetpgrp(int fd) {
    return background ? 1 : REAL(tcgetpgrp)(fd);
}

namespace {

// A port as an operator's terminal program leaves it: 9600 bit/s, canonical, echoing, with
// output processing. Port 1, on descriptor 0 as with standard input closed; the line fresh, the
// clock on a whole second.
struct port_found {
    int slave = -1;
    char name[256] = {};
    termios before{};
    port_found() {
        dup2(2, 0);
        EXPECT_EQ(openpty(&played_master, &slave, name, nullptr, nullptr), 0);
        close(0);
        tcgetattr(slave, &before);
        cfsetspeed(&before, B9600);
        before.c_lflag |= ICANON | ECHO | ISIG, before.c_iflag |= ICRNL | IXON;
        before.c_oflag |= OPOST | ONLCR;
        tcsetattr(slave, TCSANOW, &before);
        tcgetattr(slave, &before);
        struct stat st;
        fstat(slave, &st);
        played_device = st.st_rdev, line = line_play(), uart = {}, modem_lines = 0;
        leaves.clear(), written_at.clear(), written.clear(), shown.clear();
        now_ns = (now_ns / SECOND + 1) * SECOND;
        setenv("KESTRELLOAD_COM1", name, 1);
    }
    ~port_found() {
        close_port();
        played_device = 0;
        close(played_master), close(slave);
    }
    void expect_given_back(const std::string &when) const {
        termios after{};
        int exclusive = 1;
        tcgetattr(slave, &after);
        ioctl(slave, TIOCGEXCL, &exclusive);
        EXPECT_EQ(0, memcmp(&after, &before, sizeof after)) << when;
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
                signal(signal_number, ignored ? SIG_IGN : SIG_DFL);
                // Opened twice: the second open must not take the signals over from itself.
                if (!open_port(1) || !open_port(1) || !send_bytes(bytes("0123456789"), 10))
                    _exit(3);
                raise(signal_number);
                _exit(0);
            }
            termios during{};
            int status = finish(child);
            tcgetattr(port.slave, &during);
            EXPECT_EQ(status, ignored ? 0 : 128 + signal_number) << signal_number;
            if (ignored) {
                EXPECT_EQ(cfgetospeed(&during), (speed_t)B57600) << signal_number;
                continue;
            }
            EXPECT_EQ(uart.lost, 10u) << signal_number;
            EXPECT_EQ(uart.garbled, 0u) << signal_number;
            EXPECT_EQ(uart.serial_flags, 0) << signal_number;
            port.expect_given_back(strsignal(signal_number));
        }
    }
}

// A read attempt waits 1000 ms for its byte, n attempts (0 counts as 1) n seconds, ended by the
// byte, a closed port fails at once; a line that has gone waits them out rather than spinning,
// a signal ends no wait. A write of n bytes may take 4000 + n x (20000 / speed + 1) ms: a line
// that takes them just in time passes, 1 ms later fails with the message, as an error or the
// device going do at once.
TEST(PosixPort, Waits) {
    // read: count 0; -1: never
    const std::tuple<uint32_t, unsigned, int64_t, unsigned, int, int64_t, bool, int64_t> rows[] = {
        {9600, 0, 999, 1, 0, -1, true, 999},       {9600, 0, 1001, 1, 0, -1, false, 1000},
        {9600, 0, 999, 0, 0, -1, true, 999},       {9600, 0, 1001, 0, 0, -1, false, 1000},
        {9600, 0, 2999, 3, 0, -1, true, 2999},     {9600, 0, 3001, 3, 0, -1, false, 3000},
        {9600, 0, -1, 5, 0, -1, false, 5000},      {9600, 0, 500, 1, EINTR, -1, true, 500},
        {9600, 0, -1, 3, EIO, -1, false, 3000},    {9600, 0, -1, 3, 0, 0, false, 3000},
        {9600, 0, -1, 3, 0, 999, false, 3000},     {9600, 0, -1, 3, ENOMEM, -1, false, 3000},
        {57600, 1, 4001, 0, 0, -1, true, 4001},    {57600, 1, 4002, 0, 0, -1, false, 4001},
        {38400, 4, 4004, 0, 0, -1, true, 4004},    {38400, 4, 4005, 0, 0, -1, false, 4004},
        {19200, 4, 4008, 0, 0, -1, true, 4008},    {19200, 4, 4009, 0, 0, -1, false, 4008},
        {9600, 4, 4012, 0, 0, -1, true, 4012},     {9600, 4, 4013, 0, 0, -1, false, 4012},
        {4800, 4, 4020, 0, 0, -1, true, 4020},     {4800, 4, 4021, 0, 0, -1, false, 4020},
        {2400, 4, 4036, 0, 0, -1, true, 4036},     {2400, 4, 4037, 0, 0, -1, false, 4036},
        {1200, 4, 4068, 0, 0, -1, true, 4068},     {1200, 4, 4069, 0, 0, -1, false, 4068},
        {1200, 128, 6176, 0, 0, -1, true, 6176},   {1200, 128, 6177, 0, 0, -1, false, 6176},
        {57600, 2, 0, 0, EINTR, -1, true, 0},      {57600, 2, 0, 0, EIO, -1, false, 0},
        {57600, 2, 9000, 0, ENOMEM, -1, false, 0}, {57600, 2, 9000, 0, 0, 0, false, 0},
    };
    for (const auto &[speed, count, ready_ms, attempts, error, hangs_up_ms, ok, waited_ms] : rows) {
        port_found port;
        baud_rate = speed;
        ASSERT_TRUE(open_port(1));
        int64_t start = now_ns;
        if (ready_ms >= 0)
            line.arrivals = {{start + ready_ms * MS, 'A'}};
        line.refuses_until = start + ready_ms * MS;
        line.hangs_up_at = hangs_up_ms < 0 ? -1 : start + hangs_up_ms * MS;
        (error == ENOMEM ? line.poll_error : count ? line.write_error : line.read_error) = error;
        // The message comes out whole through a standard output that a signal interrupts and
        // that takes a byte a write.
        line.stdout_interrupted = true, line.stdout_chunk = 1;
        std::string row = std::to_string(speed) + " " + std::to_string(count) + " " +
                          std::to_string(ready_ms) + " " + std::to_string(error);
        unsigned char byte = 0x55;
        EXPECT_EQ(count ? send_bytes(bytes(std::string(count, 'A')), count)
                        : receive_byte(&byte, attempts, ECHO_OFF),
                  ok)
            << row;
        EXPECT_EQ(now_ns - start, waited_ms * MS) << row;
        EXPECT_EQ(count ? written : std::string(1, (char)byte), std::string(ok ? std::max(count, 1u)
                                                                            : count ? 0
                                                                                    : 1,
                                                                            ok ? 'A' : '\0'))
            << row;
        EXPECT_EQ(shown, count && !ok ? PORT_WRITE_FAILED : "") << row;
        close_port();
        start = now_ns;
        EXPECT_FALSE(receive_byte(&byte, 5, ECHO_OFF) || send_byte('x')) << "closed";
        EXPECT_EQ(now_ns, start) << "a closed port fails at once";
    }
}

// Paced bytes leave 55 ms apart, the last followed by its 55 ms too, even when a signal cuts a
// pause short; the first failed byte ends the run. Every byte value comes through the raw line;
// printable ASCII and white space are shown, only with echo exactly ECHO_ON. purge_input drops
// what has arrived. A command's printable characters must come back unchanged within 5 s.
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

    std::string every(256, '\0'), received;
    for (int c = 0; c < 256; ++c)
        line.arrivals.push_back({now_ns, every[c] = (char)c});
    line.arrivals.push_back({now_ns, 'a'}), line.arrivals.push_back({now_ns, 'b'});
    shown.clear();
    unsigned char byte;
    while (received.size() < 256 && receive_byte(&byte, 1, ECHO_ON))
        received += (char)byte;
    EXPECT_EQ(received, every);
    EXPECT_TRUE(receive_byte(&byte, 1, ECHO_OFF) && receive_byte(&byte, 1, ECHO_ON + 1));
    EXPECT_EQ(shown, "\t\n\v\f\r" + every.substr(0x20, 0x7F - 0x20));
    line.arrivals = {{now_ns, 'x'}, {now_ns + 10 * MS, 'y'}};
    purge_input();
    EXPECT_TRUE(receive_byte(&byte, 1, ECHO_OFF) && byte == 'y');

    line.write_error = 0;
    const std::tuple<const char *, int, char, char, bool> commands[] = {
        {"a~\n", 4999, '\n', '\r', true},
        {"a~", 5001, 0, 0, false},
        {"a~", 0, '~', '}', false},
        {"\x1f\x7f", 0, '\x7f', '?', true}};
    for (const auto &[text, echo_ms, from, to, accepted] : commands) {
        line.echo_ms = echo_ms, line.echo_from = from, line.echo_to = to;
        line.arrivals.clear();
        EXPECT_EQ(send_command(text, ECHO_OFF), accepted) << text;
    }
}

// Each open sets the line raw at 8N1 at its speed without flow control, parity errors read as
// 0x00, DTR and RTS raised where the port has them, and takes the port for itself; an open
// failed at any step leaves the port closed, as it was found and without a descriptor.
TEST(PosixPort, OpenSettingsAndFailures) {
    port_found port;
    line.serial = true;
    const std::pair<uint32_t, speed_t> speeds[] = {
        {300, B300},     {600, B600},       {1200, B1200},    {2400, B2400},
        {4800, B4800},   {9600, B9600},     {19200, B19200},  {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const auto &[speed, constant] : speeds) {
        baud_rate = speed;
        ASSERT_TRUE(open_port(1));
        termios t{};
        tcgetattr(port.slave, &t);
        EXPECT_TRUE(cfgetispeed(&t) == constant && cfgetospeed(&t) == constant) << speed;
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
                  (tcflag_t)(CS8 | CLOCAL | CREAD));
        EXPECT_EQ(t.c_iflag & (INPCK | IGNPAR | PARMRK | ISTRIP | IGNBRK | BRKINT | INLCR | IGNCR |
                               ICRNL | IXON | IXOFF | IXANY),
                  (tcflag_t)INPCK);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_cc[VMIN] + t.c_cc[VTIME], 0);
    }
    EXPECT_EQ(modem_lines, TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(open_serial_device(1), -1) << "a port held cannot be taken again";
    close_port();

    const std::pair<unsigned long, int> failing[] = {{TIOCEXCL, 0}, {TCGETATTR, 1}, {TCSETATTR, 0},
                                                     {PARTIAL, 0},  {TCGETATTR, 2}, {TIOCMBIS, 0},
                                                     {TCFLUSH, 0},  {NO_SPEED, 0}};
    for (const auto &[call, skip] : failing) {
        line.failing = call, line.skip = skip;
        baud_rate = call == NO_SPEED ? 1234 : 57600;
        EXPECT_FALSE(open_port(1)) << call << " " << skip;
        EXPECT_FALSE(send_byte('x')) << call;
        EXPECT_EQ(fcntl(0, F_GETFD), -1) << call << ": a descriptor left open";
        port.expect_given_back(std::to_string(call));
    }
}

// close_port lets the last bytes leave before the port's own settings come back: the driver's
// queue within 4000 ms + its bytes x the write time-out per byte, then the UART's FIFO; what
// cannot leave in time is dropped. Unread input goes. Low latency is asked for where the port
// has it and given back; a port found in low latency keeps it.
TEST(PosixPort, GivenBackAtClose) {
    const int LOW = ASYNC_LOW_LATENCY;
    const std::tuple<uint32_t, unsigned, int64_t, unsigned long, int, int, int, unsigned, int64_t>
        rows[] = {
            {57600, 8, 0, 0, 0, 0, LOW, 0, 1},
            {57600, 17, 0, 0, 0, LOW, LOW, 0, 10},
            {57600, 8, 0, TIOCSSERIAL, 0, 0, 0, 0, 1},
            {9600, 26, 4019, 0, 0, 0, LOW, 0, 4046},
            {9600, 26, 4020, 0, 0, 0, LOW, 17, 4030},
            {57600, 26, 0, TIOCOUTQ, 0, 0, LOW, 0, 4},
            {57600, 26, 100, TIOCOUTQ, 1, 0, LOW, 0, 104},
        };
    for (const auto &[speed, count, sends_ms, call, skip, found, open, lost, close_ms] : rows) {
        port_found port;
        line.serial = true, uart.serial_flags = found;
        line.failing = call, line.skip = skip;
        baud_rate = speed;
        ASSERT_TRUE(open_port(1));
        EXPECT_EQ(uart.serial_flags, open) << call;
        int64_t start = now_ns;
        line.sends_from = start + sends_ms * MS;
        ASSERT_TRUE(send_bytes(bytes(std::string(count, '\x04')), count));
        line.arrivals = {{start, 'z'}};
        close_port();
        std::string row = std::to_string(count) + " bytes, sent after " + std::to_string(sends_ms);
        EXPECT_EQ(uart.lost, lost) << row;
        EXPECT_EQ((now_ns - start) / MS, close_ms) << row;
        EXPECT_EQ(uart.garbled, 0u) << "bytes sent at the speed given back";
        EXPECT_EQ(uart.serial_flags, found) << row;
        EXPECT_TRUE(line.arrivals.empty()) << "unread input kept";
        EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor left open";
        port.expect_given_back(row);
    }
}

// Port N is the device that KESTRELLOAD_COM<N> names, else /dev/ttyS<N-1>. Two devices can be
// held at once (the emulated PC's two UARTs).
TEST(PosixPort, DeviceNames) {
    port_found port;
    baud_rate = 57600;
    ASSERT_TRUE(open_port(1));
    const std::tuple<unsigned, const char *, const char *> rows[] = {
        {2, nullptr, "/dev/ttyS1"}, {9, "", "/dev/ttyS8"}, {4, "/dev/by-id/x", "/dev/by-id/x"}};
    for (const auto &[number, variable, device] : rows) {
        std::string name = "KESTRELLOAD_COM" + std::to_string(number);
        variable ? setenv(name.c_str(), variable, 1) : unsetenv(name.c_str());
        opened.clear();
        redirects_opens = true;
        int fd = open_serial_device(number);
        redirects_opens = false;
        EXPECT_GE(fd, 0) << device;
        EXPECT_EQ(opened, std::vector<std::string>({device}));
        close_serial_device(fd, 1);
    }
}

// Keys come from the controlling terminal one at a time, never from standard input, in key
// mode: no echo, no line editing, Enter as a carriage return, Ctrl-C still a signal. The
// terminal's modes come back at exit and on a signal; a continue in the foreground puts key mode
// back, one in the background does not. Without a terminal a key read gives Enter.
// Actions: a key to type, S stop and continue (B in the background), U another signal.
TEST(KeyMode, OnTheControllingTerminal) {
    const std::tuple<const char *, int, std::string, unsigned, const char *, int> rows[] = {
        {"typed, n on standard input", 1, "y", 1, "y", 'y'},
        {"typed ahead", 1, "ab\r", 3, "ab\r", '\r'},
        {"continued", 1, "Sy", 1, "y", 'y'},
        {"continued in the background", 1, "B\r", 1, "\n", '\n'},
        {"interrupted", 1, "Uy", 1, "y", 'y'},
        {"Ctrl-C", 1, "\x03", 1, "", 128 + SIGINT},
        {"no terminal", 0, "", 2, "", '\r'},
        {"a terminal without settings", 2, "", 1, "", '\r'},
    };
    for (const auto &[name, terminal, actions, keys, echo, status] : rows) {
        port_found tty;
        background = actions[0] == 'B';
        pid_t child = fork();
        if (child == 0) {
            setsid();
            int keys_on_stdin[2];
            if (terminal > 0)
                close(open(tty.name, O_RDWR)); // the controlling terminal
            if (actions == "y" && pipe(keys_on_stdin) == 0)
                (void)!write(keys_on_stdin[1], "n", 1);
            struct sigaction quiet {};
            quiet.sa_handler = [](int) {};
            sigaction(SIGUSR1, &quiet, nullptr); // without SA_RESTART: the read sees EINTR
            line.failing = terminal == 2 ? TCGETATTR : 0ul;
            int key = 0;
            for (unsigned i = 0; i < keys; ++i)
                key = console_key_echo();
            bool kept_a_descriptor = terminal == 2 && fcntl(0, F_GETFD) != -1;
            exit(shown == echo && !kept_a_descriptor ? key : 255);
        }
        termios t{};
        auto in_key_mode = [&t] {
            for (int i = 0; i < 2000 && tcgetattr(played_master, &t) == 0 && (t.c_lflag & ICANON);
                 ++i)
                usleep(1000);
            return !(t.c_lflag & ICANON);
        };
        bool waits = true; // for key mode before each action
        for (char action : actions) {
            if (waits && !in_key_mode())
                break;
            EXPECT_TRUE(!waits || ((t.c_lflag & (ICANON | ECHO | ISIG)) == ISIG &&
                                   (t.c_iflag & (ICRNL | INLCR | IGNCR)) == 0 &&
                                   t.c_cc[VMIN] == 1 && t.c_cc[VTIME] == 0))
                << name;
            if (action == 'S' || action == 'B') {
                usleep(20000); // into its read
                kill(child, SIGSTOP);
                waitpid(child, nullptr, WUNTRACED);
                tcsetattr(tty.slave, TCSANOW, &tty.before); // the shell's modes, as job control
                kill(child, SIGCONT);
                usleep(background ? 50000 : 0);
                bool key_mode = background
                                    ? tcgetattr(played_master, &t) == 0 && !(t.c_lflag & ICANON)
                                    : in_key_mode();
                EXPECT_EQ(key_mode, !background) << name;
                waits = !background;
            } else if (action == 'U') {
                usleep(20000), kill(child, SIGUSR1), usleep(20000); // the read, then the key

            } else {
                EXPECT_EQ(REAL(write)(played_master, &action, 1), 1);
            }
        }
        EXPECT_EQ(finish(child), status) << name;
        tty.expect_given_back(name);
    }
    background = false;
}

} // namespace
