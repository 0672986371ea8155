// The POSIX back ends on pseudo-terminals. The serial port is played as a UART on a virtual
// clock: clock_gettime, poll and nanosleep are interposed so that time passes only while the port
// waits and the far end's byte arrives at a set virtual time; reads, writes, the termios calls
// and ioctl can be made to fail or are watched. Every sleep and every write to standard output is
// cut short by a signal once. The port is descriptor 0, as with standard input closed. Key mode
// and the signals that end a run are seen in forked children.
#include <gtest/gtest.h>

#include <array>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pty.h>
#include <stdarg.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include "serial/device_posix.h"
#include "serial/port.h"
#include "serial/serial.h"

int console_key_echo();

#define REAL(name) ((decltype(&name))dlsym(RTLD_NEXT, #name))
#define BYTES(text) ((const unsigned char *)(text))
const int64_t MS = 1000000, SECOND = 1000 * MS;
// Calls a case can make fail besides ioctl requests; PARTIAL: a tcsetattr that takes all but
// VTIME and says it took it all; BACKGROUND: another job in the terminal's foreground. The UART's
// FIFO and shift register hold 16 bytes behind the driver's queue.
const unsigned long TCGETATTR = 1, TCSETATTR = 2, TCFLUSH = 3, PARTIAL = 4, BACKGROUND = 5,
                    POLL = 6, FIFO_BYTES = 16;

// How the line behaves in one case: when the far end's byte arrives, until when the driver's
// queue is full, from when the UART sends, when the far end hangs up; the next read's and write's
// error (EINTR and EAGAIN once, others for good); a call that fails once it has succeeded skip
// times. In memory shared with forked children, as what they leave: bytes flushed unsent, bytes in
// flight while the speed changed.
struct line_play {
    int64_t arrives = INT64_MAX, refuses_until = 0, sends_from = 0, hangs_up_at = INT64_MAX;
    int read_error = 0, write_error = 0, skip = 0, serial_flags = 0, modem_lines = 0;
    char arriving = 'A', opened[64] = {}; // the device last opened
    unsigned long failing = 0, lost = 0, garbled = 0;
    // The port's calls go to this model; modem lines and serial_struct; opens to /dev/ptmx.
    bool playing = false, serial = false, redirects = false;
} static &line = *(line_play *)mmap(nullptr, sizeof(line_play), PROT_READ | PROT_WRITE,
                                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);

static int64_t now_ns = 0, calls = 0;
static int played_master = -1;
static std::vector<int64_t> leaves, written_at; // when each byte written leaves; was written
static std::string written, shown;              // to the port; to standard output

struct model {
    // A wait that spins instead of sleeping would burn the CPU: it ends the tests.
    static void tick() { ++calls < 50000000 ? (void)0 : abort(); }
    static bool played(int fd) { return line.playing && fd == 0; }
    static bool fails(unsigned long call) {
        return line.failing == call && line.skip-- == 0 && (line.failing = 0, (errno = EIO) != 0);
    }
    static int error(int &error) {
        return errno = error, error = error == EINTR || error == EAGAIN ? 0 : error, -1;
    }
    static size_t in_flight() {
        return std::count_if(leaves.begin(), leaves.end(), [](int64_t t) { return t > now_ns; });
    }
    static void drain() { now_ns = std::max(now_ns, leaves.empty() ? 0 : leaves.back()); }
};

extern "C" int clock_gettime(clockid_t id, timespec *ts) {
    return id != CLOCK_MONOTONIC ? REAL(clock_gettime)(id, ts)
                                 : (model::tick(), *ts = {now_ns / SECOND, now_ns % SECOND}, 0);
}

extern "C" int nanosleep(const timespec *want, timespec *left) {
    static bool cut = false;
    int64_t ns = want->tv_sec * SECOND + want->tv_nsec, slept = (cut = !cut) ? ns / 2 : ns;
    if (model::tick(), want->tv_nsec < 0 || want->tv_nsec >= SECOND)
        return errno = EINVAL, -1;
    now_ns += slept, *left = {(ns - slept) / SECOND, (ns - slept) % SECOND};
    return slept == ns ? 0 : (errno = EINTR, -1);
}

// Waits for the byte or for room in the queue within the time-out; a hang-up ends it at once.
extern "C" int poll(pollfd *given, nfds_t n, int timeout_ms) {
    pollfd *volatile kept = given, *fds = kept; // read too, whatever the declaration says
    if (model::tick(), n == 0 || !model::played(fds->fd))
        return now_ns += timeout_ms * MS, 0;
    if (model::fails(POLL))
        return -1;
    bool out = fds->events & POLLOUT;
    int64_t next = out ? std::max(now_ns, line.refuses_until) : line.arrives;
    int64_t until = played_master < 0 ? now_ns : std::min(next, line.hangs_up_at);
    now_ns = std::min(std::max(now_ns, until), now_ns + timeout_ms * MS);
    if (line.hangs_up_at <= now_ns)
        close(played_master), played_master = -1, line.hangs_up_at = INT64_MAX;
    if (REAL(poll)(fds, 1, 0) > 0 && (fds->revents & POLLHUP))
        return 1;
    return fds->revents = next > now_ns ? 0 : out ? POLLOUT : POLLIN, fds->revents != 0;
}

extern "C" ssize_t read(int fd, void *into, size_t count) {
    if (!model::played(fd) || (line.read_error == 0 && line.arrives > now_ns))
        return REAL(read)(fd, into, count);
    return line.read_error ? model::error(line.read_error)
                           : (line.arrives = INT64_MAX, *(char *)into = line.arriving, 1);
}

// Standard output takes a byte a write.
extern "C" ssize_t write(int fd, const void *bytes, size_t count) {
    static bool cut = false;
    const char *text = (const char *)bytes;
    if (fd == STDOUT_FILENO)
        return (cut = !cut) ? (errno = EINTR, -1) : (shown += text[0], 1);
    if (!model::played(fd))
        return REAL(write)(fd, bytes, count);
    if (model::tick(), line.write_error != 0 || now_ns < line.refuses_until)
        return line.write_error ? model::error(line.write_error) : (errno = EAGAIN, -1);
    for (size_t i = 0; i < count; ++i) {
        int64_t after = std::max({now_ns, line.sends_from, leaves.empty() ? 0 : leaves.back()});
        leaves.push_back(after + 10 * SECOND / baud_rate);
        written += text[i], written_at.push_back(now_ns);
    }
    return (ssize_t)count;
}

extern "C" int tcdrain(int fd) {
    return model::played(fd) ? (model::drain(), 0) : REAL(tcdrain)(fd);
}

// A flush of the output drops what is still to leave; one of the input what has arrived.
extern "C" int tcflush(int fd, int queue) {
    if (model::played(fd) && model::fails(TCFLUSH))
        return -1;
    if (model::played(fd) && queue != TCIFLUSH)
        line.lost += model::in_flight(), leaves.clear();
    if (model::played(fd) && queue != TCOFLUSH && line.arrives <= now_ns)
        line.arrives = INT64_MAX;
    return REAL(tcflush)(fd, queue);
}

extern "C" int tcgetattr(int fd, termios *settings) {
    return model::fails(TCGETATTR) ? -1 : REAL(tcgetattr)(fd, settings);
}

// Unless it waits for the output to leave, a new speed garbles what is still in flight.
extern "C" int tcsetattr(int fd, int when, const termios *settings) {
    termios taken = *settings, was{};
    bool played = model::played(fd) && REAL(tcgetattr)(fd, &was) == 0;
    if (played && model::fails(TCSETATTR))
        return -1;
    if (played && when != TCSANOW)
        model::drain();
    if (played && cfgetospeed(settings) != cfgetospeed(&was))
        line.garbled += model::in_flight();
    if (played && model::fails(PARTIAL))
        taken.c_cc[VTIME] = 1;
    return REAL(tcsetattr)(fd, when, &taken);
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    int *argument = va_arg(args, int *);
    bool played = model::played(fd), serial = played && line.serial;
    if (played && model::fails(request))
        return -1;
    if (played && request == TIOCOUTQ)
        return *argument = (int)(std::max(model::in_flight(), FIFO_BYTES) - FIFO_BYTES), 0;
    if (serial && request == TIOCMBIS)
        return line.modem_lines |= *argument, errno = 0;
    if (serial && request == TIOCGSERIAL)
        return ((serial_struct *)argument)->flags = line.serial_flags, 0;
    if (serial && request == TIOCSSERIAL)
        return line.serial_flags = ((serial_struct *)argument)->flags, 0;
    return REAL(ioctl)(fd, request, argument);
}

extern "C" int open(const char *name, int flags, ...) {
    snprintf(line.opened, sizeof line.opened, "%s", name);
    return REAL(open)(line.redirects ? "/dev/ptmx" : name, flags);
}

extern "C" pid_t tcgetpgrp(int fd) {
    return line.failing == BACKGROUND ? 1 : REAL(tcgetpgrp)(fd);
}

namespace {

// A port as an operator's terminal program leaves it, cooked at 38400 bit/s; port 1 to be opened
// at the speed given, with the line fresh and the clock on a whole second.
struct port_found {
    int slave = -1;
    char name[256] = {};
    termios before{};
    port_found(uint32_t speed = 57600) {
        baud_rate = speed, dup2(2, 0); // held while the pseudo-terminal opens
        EXPECT_EQ(openpty(&played_master, &slave, name, nullptr, nullptr), 0);
        close(0), tcgetattr(slave, &before), setenv("KESTRELLOAD_COM1", name, 1);
        line = line_play(), line.playing = true, now_ns = (now_ns / SECOND + 1) * SECOND;
        leaves.clear(), written_at.clear(), written.clear(), shown.clear();
    }
    ~port_found() { close_port(), line.playing = false, close(played_master), close(slave); }
    void expect_given_back(const std::string &when) const {
        termios after{};
        int exclusive = 1;
        tcgetattr(slave, &after), ioctl(slave, TIOCGEXCL, &exclusive);
        EXPECT_TRUE(!memcmp(&after, &before, sizeof after) && !exclusive && fcntl(0, F_GETFD) < 0)
            << when << ": the settings, exclusive use or a descriptor kept";
    }
};

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
    for (int run = 0; run < 8; ++run) {
        int signal_number = std::array{SIGINT, SIGTERM, SIGHUP, SIGQUIT}[run / 2];
        bool ignored = run % 2;
        port_found port;
        line.serial = true;
        pid_t child = fork();
        if (child == 0) {
            signal(signal_number, ignored ? SIG_IGN : SIG_DFL);
            // Opened twice: the second open must not take the signals over from itself.
            if (open_port(1) && open_port(1) && send_bytes(BYTES("0123456789"), 10))
                raise(signal_number);
            _exit(ignored ? 0 : 3);
        }
        termios during{};
        EXPECT_EQ(finish(child), ignored ? 0 : 128 + signal_number) << signal_number;
        EXPECT_TRUE(ignored ? tcgetattr(port.slave, &during) == 0 && cfgetospeed(&during) == B57600
                            : line.lost == 10 && line.garbled == 0 && line.serial_flags == 0)
            << signal_number;
        if (!ignored)
            port.expect_given_back(strsignal(signal_number));
    }
}

// Each open sets the line raw at the speed asked for, 8N1 without flow control, parity errors
// read as 0x00. A read attempt waits 1000 ms for its byte, n attempts (0 counts as 1) n
// seconds, ended by the byte; a line that has gone waits them out rather than spinning, a
// signal or a read that would block ends no wait. A write of n bytes may take 4000 + n x (20000 /
// speed + 1) ms, an error or the device going ends it at once, with the message. A closed port
// fails at once.
TEST(PosixPort, Waits) {
    // speed, its constant, bytes to write (0: a read), read attempts, when the far end answers
    // or the line takes the bytes (-1: never), error, when the line hangs up, how long it takes.
    // It succeeds when the answer ends it; one that does without trouble fails 1 ms later.
    const std::tuple<uint32_t, speed_t, unsigned, unsigned, int64_t, int, int64_t, int64_t> rows[] =
        {{9600, B9600, 0, 1, 1000, 0, -1, 1000},     {9600, B9600, 0, 0, 1000, 0, -1, 1000},
         {9600, B9600, 0, 3, 3000, 0, -1, 3000},     {9600, B9600, 0, 1, 500, EINTR, -1, 500},
         {9600, B9600, 0, 1, 500, EAGAIN, -1, 500},  {9600, B9600, 0, 3, -1, EIO, -1, 3000},
         {9600, B9600, 0, 3, -1, 0, 0, 3000},        {9600, B9600, 0, 3, -1, 0, 999, 3000},
         {300, B300, 4, 0, 4268, 0, -1, 4268},       {600, B600, 4, 0, 4136, 0, -1, 4136},
         {1200, B1200, 4, 0, 4068, 0, -1, 4068},     {1200, B1200, 128, 0, 6176, 0, -1, 6176},
         {2400, B2400, 4, 0, 4036, 0, -1, 4036},     {4800, B4800, 4, 0, 4020, 0, -1, 4020},
         {9600, B9600, 4, 0, 4012, 0, -1, 4012},     {19200, B19200, 4, 0, 4008, 0, -1, 4008},
         {38400, B38400, 4, 0, 4004, 0, -1, 4004},   {57600, B57600, 1, 0, 4001, 0, -1, 4001},
         {115200, B115200, 4, 0, 4004, 0, -1, 4004}, {230400, B230400, 4, 0, 4004, 0, -1, 4004},
         {57600, B57600, 2, 0, 0, EINTR, -1, 0},     {57600, B57600, 2, 0, -1, EIO, -1, 0},
         {57600, B57600, 2, 0, 9000, 0, 0, 0}};
    for (const auto &[speed, constant, count, attempts, ready_ms, error, hang_ms, took] : rows) {
        for (int64_t late = 0; late <= (ready_ms == took && !error && hang_ms < 0); ++late) {
            port_found port(speed);
            termios t{};
            ASSERT_TRUE(open_port(1) && tcgetattr(port.slave, &t) == 0);
            EXPECT_EQ(
                std::make_tuple(cfgetispeed(&t), cfgetospeed(&t), t.c_cc[VMIN] + t.c_cc[VTIME],
                                t.c_oflag & OPOST, t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN),
                                t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
                                t.c_iflag & (INPCK | IGNPAR | PARMRK | ISTRIP | IGNBRK | BRKINT |
                                             INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY)),
                std::make_tuple(constant, constant, 0, 0u, 0u, tcflag_t(CS8 | CLOCAL | CREAD),
                                tcflag_t(INPCK)));
            int64_t start = now_ns, at = ready_ms < 0 ? INT64_MAX : start + (ready_ms + late) * MS;
            line.arrives = line.refuses_until = at,
            (count ? line.write_error : line.read_error) = error;
            line.hangs_up_at = hang_ms < 0 ? INT64_MAX : start + hang_ms * MS;
            unsigned char byte = 0x55;
            bool ok = ready_ms == took && !late,
                 done = count ? send_bytes(BYTES(std::string(count, 'A').data()), count)
                              : receive_byte(&byte, attempts, ECHO_OFF);
            EXPECT_EQ(std::make_tuple(done, now_ns - start, count ? written : std::string(1, byte),
                                      shown),
                      std::make_tuple(ok, took * MS,
                                      std::string(ok ? std::max(count, 1u) : !count, "\0A"[ok]),
                                      count && !ok ? PORT_WRITE_FAILED : ""))
                << speed << " " << count << " " << ready_ms + late << " " << error;
            close_port(), start = now_ns;
            EXPECT_FALSE(receive_byte(&byte, 5, ECHO_OFF) || send_byte('x') || now_ns != start);
        }
    }
}

// close_port lets the last bytes leave before the port's own settings come back: the driver's
// queue within 4000 ms + its bytes x the write time-out per byte, then the UART's FIFO; what
// cannot leave in time is dropped. Unread input goes. Low latency is asked for where the port
// has it and given back; a port found in low latency keeps it. DTR and RTS go up. An open that
// fails at any step, or at a speed the line has no setting for, leaves the port closed, as it
// was found, without a descriptor.
TEST(PosixPort, OpenAndClose) {
    const unsigned long OUTQ = TIOCOUTQ, SET_SERIAL = TIOCSSERIAL;
    // speed, bytes, when the UART starts sending, a call that fails after skip successes, low
    // latency found and while open, bytes lost, how long the close takes
    const std::tuple<uint32_t, unsigned, int, unsigned long, int, bool, bool, unsigned, int>
        rows[] = {{57600, 8, 0, 0, 0, 0, 1, 0, 1},          {57600, 17, 0, 0, 0, 1, 1, 0, 10},
                  {57600, 8, 0, SET_SERIAL, 0, 0, 0, 0, 1}, {9600, 26, 4019, 0, 0, 0, 1, 0, 4046},
                  {9600, 26, 4020, 0, 0, 0, 1, 17, 4030},   {57600, 26, 0, OUTQ, 0, 0, 1, 0, 4},
                  {57600, 26, 100, OUTQ, 1, 0, 1, 0, 104}};
    for (const auto &[speed, count, sends_ms, call, skip, found, open, lost, close_ms] : rows) {
        port_found port(speed);
        const int low = ASYNC_LOW_LATENCY, found_flags = found ? low : 0;
        line.serial = true, line.serial_flags = found_flags, line.failing = call, line.skip = skip;
        ASSERT_TRUE(open_port(1));
        EXPECT_EQ(line.serial_flags + line.modem_lines, (open ? low : 0) + (TIOCM_DTR | TIOCM_RTS));
        int64_t start = now_ns;
        line.sends_from = start + sends_ms * MS, line.arrives = start;
        ASSERT_TRUE(send_bytes(BYTES(std::string(count, '\x04').data()), count));
        close_port();
        EXPECT_TRUE(line.lost == lost && (now_ns - start) / MS == close_ms && line.garbled == 0 &&
                    line.serial_flags == found_flags && line.arrives == INT64_MAX)
            << count << " bytes, sent after " << sends_ms << " ms";
        port.expect_given_back(std::to_string(count));
    }
    port_found port;
    const std::pair<unsigned long, int> failing[] = {{TIOCEXCL, 0}, {TCGETATTR, 1}, {TCSETATTR, 0},
                                                     {PARTIAL, 0},  {TCGETATTR, 2}, {TIOCMBIS, 0},
                                                     {TCFLUSH, 0},  {0, 0}};
    for (const auto &[call, skip] : failing) {
        line.failing = call, line.skip = skip, line.serial = true, baud_rate = call ? 57600 : 1234;
        EXPECT_FALSE(open_port(1) || send_byte('x')) << call << " " << skip;
        port.expect_given_back(std::to_string(call));
    }
}

// purge_input drops what has arrived. Paced bytes leave 55 ms apart, the last one's 55 ms
// included; a failed write ends them and a command at once, as a failed wait for room does. Port N
// is the device KESTRELLOAD_COM<N> names, else /dev/ttyS<N-1>; two devices can be held at once, not
// one twice.
TEST(PosixPort, PacingAndNames) {
    port_found port;
    ASSERT_TRUE(open_port(1));
    unsigned char byte;
    line.arrives = now_ns, purge_input();
    EXPECT_FALSE(receive_byte(&byte, 1, ECHO_OFF));
    int64_t start = now_ns;
    EXPECT_TRUE(send_bytes_paced(BYTES("ab"), 2) && written_at.back() - start == 55 * MS &&
                now_ns - start == 110 * MS);
    line.write_error = EIO;
    EXPECT_FALSE(send_bytes_paced(BYTES("ab"), 2) || send_command("a", ECHO_OFF));
    EXPECT_EQ(shown, std::string(PORT_WRITE_FAILED) + PORT_WRITE_FAILED);
    line.write_error = 0, line.refuses_until = INT64_MAX, line.failing = POLL, start = now_ns;
    EXPECT_FALSE(send_byte('x') || now_ns != start) << "a failed wait for room ends the write";

    const std::tuple<unsigned, const char *, const char *> names[] = {
        {2, nullptr, "/dev/ttyS1"}, {9, "", "/dev/ttyS8"}, {4, "/dev/by-id/x", "/dev/by-id/x"}};
    EXPECT_EQ(open_serial_device(1), -1) << "held already";
    line.redirects = true;
    for (const auto &[number, variable, device] : names) {
        std::string name = "KESTRELLOAD_COM" + std::to_string(number);
        variable ? setenv(name.c_str(), variable, 1) : unsetenv(name.c_str());
        int fd = open_serial_device(number);
        EXPECT_TRUE(fd > 0 && std::string(line.opened) == device) << device;
        close_serial_device(fd, 1);
    }
}

// Keys come one at a time from the controlling terminal, here descriptor 0 with standard input
// closed, in key mode: no echo, no line editing, Enter as a carriage return, Ctrl-C still a
// signal, after which the terminal's modes come back. A continue puts key mode back in the
// foreground, not in the background. Without a terminal, or one without settings, a key read
// gives Enter and shows nothing.
TEST(KeyMode, OnTheControllingTerminal) {
    for (int terminal : {1, 0, 2}) { // one, none, one that gives no settings
        port_found tty;
        line.playing = false;
        pid_t child = fork();
        if (child == 0) {
            termios t{};
            setsid(), line.failing = terminal == 2 ? TCGETATTR : 0;
            if (terminal != 0)
                close(open(tty.name, O_RDWR));
            struct sigaction typist {}; // the keys typed by a signal that cuts the read short
            typist.sa_handler = [](int) { (void)!REAL(write)(played_master, "ab\r", 3); };
            sigaction(SIGALRM, &typist, nullptr), ualarm(100000, 0);
            bool typed = console_key_echo() == (terminal == 1 ? 'a' : '\r');
            if (terminal != 1)
                _exit(typed && shown.empty() && fcntl(0, F_GETFD) < 0 ? 0 : 1);
            typed = typed && console_key_echo() == 'b' && console_key_echo() == '\r';
            bool key_mode = tcgetattr(played_master, &t) == 0 &&
                            (t.c_lflag & (ICANON | ECHO | ISIG)) == ISIG && t.c_cc[VMIN] == 1 &&
                            (t.c_iflag & (ICRNL | INLCR | IGNCR)) == 0 && t.c_cc[VTIME] == 0;
            tcsetattr(tty.slave, TCSANOW, &tty.before); // the shell's modes while it was stopped
            line.failing = BACKGROUND, raise(SIGCONT), line.failing = 0;
            bool stays = tcgetattr(played_master, &t) == 0 && (t.c_lflag & ICANON);
            bool back =
                raise(SIGCONT) == 0 && tcgetattr(played_master, &t) == 0 && !(t.c_lflag & ICANON);
            if (!typed || shown != "ab\r" || !key_mode || !stays || !back)
                _exit(1);
            (void)!REAL(write)(played_master, "\x03", 1), pause();
        }
        EXPECT_EQ(finish(child), terminal == 1 ? 128 + SIGINT : 0) << terminal;
        tty.expect_given_back(std::to_string(terminal));
    }
}

} // namespace
