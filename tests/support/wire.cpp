#include "wire.h"

#include <unistd.h>

#include <cstdarg>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>
#include <getopt.h>
#include <memory>
#include <iterator>

#include "serial/serial.h"
#include "tools/kestrel-target/log.h"
#include "tools/kestrel-target/target.h"

namespace wire {
uint64_t now_ms;
bool line_open;
std::string written, target_log;
std::vector<uint64_t> written_at;
std::vector<uint32_t> opens;
unsigned failing_port;
long writes_left;
std::function<void(unsigned char)> on_write;
std::function<void()> on_wait;
} // namespace wire

namespace {

using wire::now_ms;
const uint64_t NEVER = UINT64_MAX;

std::deque<std::pair<uint64_t, unsigned char>> incoming; // due time, byte
bool wrote_since_wait;

// The target's engine keeps references to its options and line: they live here.
Options target_options;
Line target_line;
std::unique_ptr<Target> target;
std::string received_path;
TimePoint epoch;

TimePoint virtual_time(uint64_t ms) {
    return epoch + std::chrono::milliseconds(ms);
}

uint64_t ms_of(TimePoint t) {
    using std::chrono::milliseconds;
    return t == TimePoint::max() ? NEVER
           : t <= epoch          ? 0
                                 : std::chrono::duration_cast<milliseconds>(t - epoch).count();
}

// The target sees what has reached it and answers what has fallen due.
void pump() {
    if (!target)
        return;
    TimePoint now = virtual_time(now_ms);
    target->tick(now);
    while (!target->busy() && !target->ended() && !target_line.rx.empty()) {
        RxByte rx = target_line.rx.front();
        target_line.rx.pop_front();
        target->on_byte(rx, now);
    }
}

// A byte arriving at due_ms, or behind what is queued before it when that comes later.
void arrive(unsigned char value, uint64_t due_ms) {
    incoming.push_back(
        {incoming.empty() ? due_ms : std::max(incoming.back().first, due_ms), value});
}

uint64_t next_target_deadline() {
    uint64_t due = target ? ms_of(target->next_deadline()) : NEVER;
    // A deadline the engine has already handled must not hold the clock.
    return due == NEVER || due > now_ms ? due : now_ms + 1;
}

} // namespace

// The engine's line and log, in place of the real ones.
void line_send(Line &, const uint8_t *bytes, size_t count, unsigned, TimePoint now) {
    for (size_t i = 0; i < count && wire::line_open; ++i) // a closed port loses what arrives
        arrive(bytes[i], ms_of(now));
}

void line_close(Line &line) {
    line.fd = -1;
}

void log_event(const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    wire::target_log += "[" + std::to_string(now_ms) + " ms] " + text + "\n";
}

std::string hex_bytes(const unsigned char *bytes, size_t count, size_t limit) {
    std::string text;
    char two[4];
    for (size_t i = 0; i < count && i < limit; ++i)
        snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", bytes[i]), text += two;
    return count > limit ? text + " ..." : text;
}

namespace wire {

void reset() {
    set_open(false);
    now_ms = 0, writes_left = -1, failing_port = 0, wrote_since_wait = true;
    on_write = nullptr, on_wait = nullptr, target = nullptr, target_line = Line();
    opens.clear(), written.clear(), written_at.clear(), target_log.clear();
    if (!received_path.empty())
        unlink(received_path.c_str()), received_path.clear();
    epoch = Clock::now();
}

void advance_to(uint64_t ms) {
    for (uint64_t due = next_target_deadline(); due <= ms; due = next_target_deadline()) {
        now_ms = due;
        pump();
    }
    now_ms = std::max(now_ms, ms);
    pump();
}

void says(const std::string &bytes, uint64_t delay_ms) {
    for (unsigned char c : bytes)
        arrive(c, now_ms + delay_ms);
}

void attach_target(std::vector<std::string> options) {
    if (std::find(options.begin(), options.end(), "--range") != options.end()) {
        char name[] = "/tmp/wire-received-XXXXXX";
        close(mkstemp(name));
        received_path = name;
        options.insert(options.end(), {"--output", received_path});
    }
    options.insert(options.begin(), "kestrel-target");
    std::vector<char *> argv;
    for (std::string &option : options)
        argv.push_back(&option[0]);
    target_options = Options();
    bool exit_now;
    optind = 0; // a fresh scan for every target
    if (!parse_options((int)argv.size(), argv.data(), target_options, exit_now))
        throw std::invalid_argument("bad target options");
    target.reset(new Target(target_options, target_line));
}

int target_status() {
    return target && target->ended() ? target->exit_status() : -1;
}

std::string target_received() {
    std::ifstream in(received_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void set_open(bool open) {
    line_open = open;
    if (!open)
        incoming.clear(); // bytes in flight are lost with the port
}

bool host_write(unsigned char byte) {
    if (!line_open || writes_left == 0)
        return false;
    writes_left -= writes_left > 0;
    wrote_since_wait = true;
    written += (char)byte;
    written_at.push_back(now_ms);
    if (on_write)
        on_write(byte);
    if (target) {
        target_line.rx.push_back({byte, baud_rate, virtual_time(now_ms), virtual_time(now_ms)});
        pump();
    }
    return true;
}

bool host_read(unsigned char *byte, uint64_t limit_ms) {
    if (on_wait && wrote_since_wait && incoming.empty()) {
        wrote_since_wait = false;
        on_wait();
    }
    for (;;) {
        pump();
        uint64_t arrival = incoming.empty() ? NEVER : incoming.front().first,
                 deadline = next_target_deadline();
        if (arrival <= limit_ms && arrival <= deadline) {
            now_ms = std::max(now_ms, arrival);
            *byte = incoming.front().second;
            incoming.pop_front();
            return true;
        }
        if (deadline > limit_ms) {
            advance_to(limit_ms);
            if (incoming.empty() || incoming.front().first > limit_ms)
                return false;
        } else {
            now_ms = deadline;
        }
    }
}

void drop_arrived() {
    pump();
    while (!incoming.empty() && incoming.front().first <= now_ms)
        incoming.pop_front();
}

} // namespace wire
