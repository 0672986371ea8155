// kestrel-target: a simulated target system for demos, end-to-end tests and benchmarks.
#include "tools/kestrel-target/line.h"
#include "tools/kestrel-target/log.h"
#include "tools/kestrel-target/options.h"
#include "tools/kestrel-target/target.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop_signal = 0;

void on_signal(int sig) {
    stop_signal = sig;
}

// After the end, our last bytes (an EOT, a refusal text) must reach the downloader before the
// pseudo-terminal goes away. The kernel moves written bytes to the slave's input a little
// later, so its count is trusted only after LINGER_MIN; LINGER bounds the wait when nobody
// reads them.
const auto LINGER_MIN = std::chrono::milliseconds(100);
const auto LINGER = std::chrono::seconds(3);
const auto LINGER_POLL = std::chrono::milliseconds(20);

const char *mode_name(Mode mode) {
    return mode == Mode::SECTOR ? "sector" : mode == Mode::LINE ? "line" : "cancel";
}

bool make_link(const std::string &link, const std::string &target, std::string &error) {
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = link + " exists and is not a symlink";
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        error = link + ": " + strerror(errno);
        return false;
    }
    return true;
}

// remove_link: only when the link still points to our line (another run may own it now).
void remove_link(const std::string &link, const std::string &target) {
    char buf[4096];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return;
    buf[n] = '\0';
    if (target == buf)
        unlink(link.c_str());
}

struct timespec until(TimePoint now, TimePoint wake) {
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now);
    wait = std::max(wait, std::chrono::nanoseconds(0));
    wait = std::min(wait, std::chrono::nanoseconds(std::chrono::seconds(1)));
    struct timespec ts;
    ts.tv_sec = wait.count() / 1000000000;
    ts.tv_nsec = wait.count() % 1000000000;
    return ts;
}

// run: the event loop; returns the exit status.
int run(const Options &opts, Line &line, Target &target, const sigset_t &wait_mask) {
    std::string error;
    const auto idle = std::chrono::seconds(opts.idle_timeout_s);
    line.last_arrival = Clock::now();
    for (;;) {
        TimePoint now = Clock::now();
        if (stop_signal != 0) {
            target.abort_run("stopped by signal " + std::to_string((int)stop_signal), now);
            return 128 + stop_signal;
        }
        // --vanish-at closed the line: nothing is left to linger for.
        if (target.ended() && line.fd < 0)
            return target.exit_status();
        if (!line_read(line, now, error)) {
            target.abort_run("line failed: " + error, now);
            return 1;
        }
        target.tick(now);
        RxByte rx;
        while (!target.busy() && !target.ended() && line_next_rx(line, now, rx))
            target.on_byte(rx, now);
        if (!line_flush(line, now, error)) {
            target.abort_run("line failed: " + error, now);
            return 1;
        }
        if (line.device && target.speed() != line.device_speed && !line_tx_pending(line) &&
            !line_set_device_speed(line, target.speed(), error)) {
            target.abort_run(error, now);
            return 1;
        }
        if (target.ended() && !line_tx_pending(line)) {
            auto since = now - std::max(target.ended_at(), line.last_write);
            if ((since >= LINGER_MIN && !line_peer_unread(line)) || since >= LINGER)
                return target.exit_status();
        }
        if (opts.idle_timeout_s != 0 && now - line.last_arrival >= idle) {
            target.abort_run("idle: no byte from the downloader for " +
                                 std::to_string(opts.idle_timeout_s) + " s",
                             now);
            return 3;
        }

        TimePoint wake = std::min(target.next_deadline(),
                                  line_next_due(line, !target.busy() && !target.ended()));
        if (opts.idle_timeout_s != 0)
            wake = std::min(wake, line.last_arrival + idle);
        if (target.ended())
            wake = std::min(wake, now + LINGER_POLL);
        struct pollfd pfd = {line.fd, POLLIN, 0};
        if (line_wants_write(line, now))
            pfd.events |= POLLOUT;
        struct timespec ts = until(now, wake);
        if (ppoll(&pfd, 1, &ts, &wait_mask) < 0 && errno != EINTR) {
            target.abort_run(std::string("poll: ") + strerror(errno), now);
            return 1;
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    Options opts;
    bool exit_now = false;
    if (!parse_options(argc, argv, opts, exit_now))
        return 1;
    if (exit_now)
        return 0;

    std::string error;
    if (!log_open(opts.log_file, error)) {
        fprintf(stderr, "kestrel-target: %s\n", error.c_str());
        return 1;
    }

    // 1. The line, the optional link, the line's name on stdout.
    Line line;
    line.pace = opts.pace;
    bool opened = opts.tcp_port >= 0 ? line_open_tcp(line, (unsigned)opts.tcp_port, error)
                  : opts.device.empty()
                      ? line_open_pty(line, opts.upgrade_baud, error)
                      : line_open_device(line, opts.device,
                                         opts.waiting ? opts.upgrade_baud : opts.baud, error);
    if (!opened) {
        fprintf(stderr, "kestrel-target: %s\n", error.c_str());
        line_close(line);
        return 1;
    }
    if (!opts.link.empty() && !make_link(opts.link, line.path, error)) {
        fprintf(stderr, "kestrel-target: %s\n", error.c_str());
        line_close(line);
        return 1;
    }
    // The first line tells a caller that the line (and the link) is ready.
    printf("%s\n", line.path.c_str());
    fflush(stdout);
    if (line.tcp && !line_accept_tcp(line, opts.idle_timeout_s, error)) {
        fprintf(stderr, "kestrel-target: %s\n", error.c_str());
        line_close(line);
        return 3;
    }

    // 2. Signals are held back except while waiting, so none slips between check and wait.
    sigset_t blocked, wait_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGHUP);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    // 3. The conversation.
    std::string sectors;
    if (opts.mode == Mode::SECTOR)
        sectors = ", " + std::to_string(opts.sector_size) + "-byte sectors";
    log_event("kestrel-target on %s: %u bit/s, upgrade mode %u bit/s, %s mode%s%s",
              line.path.c_str(), opts.baud, opts.upgrade_baud, mode_name(opts.mode),
              sectors.c_str(), opts.pace ? ", paced" : "");
    Target target(opts, line);
    int status = run(opts, line, target, wait_mask);
    log_event("exit status %d", status);

    if (!opts.link.empty())
        remove_link(opts.link, line.path);
    line_close(line);
    return status;
}
