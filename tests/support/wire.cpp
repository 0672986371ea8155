#include "wire.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <fstream>
#include <getopt.h>
#include <memory>
#include <sstream>

#include "serial/serial.h"
#include "tools/kestrel-target/log.h"
#include "tools/kestrel-target/target.h"

namespace {

struct due_byte {
    uint64_t due_ms;
    unsigned char value;
};

const uint64_t NEVER = UINT64_MAX;

bool line_open = false;
uint64_t clock_ms = 0;
std::deque<due_byte> incoming;
std::function<void(unsigned char)> responder;
std::function<void()> waiter;
bool wrote_since_wait = true;
long writes_left = -1;
unsigned failing_port = 0;
std::vector<uint32_t> speeds;
std::string output;
std::vector<uint64_t> output_ms;

// The target's engine keeps references to its options and line: they live here.
Options target_options;
Line target_line;
std::unique_ptr<Target> target;
std::string target_events;
std::string received_path;
TimePoint epoch;

TimePoint virtual_time(uint64_t ms) {
    return epoch + std::chrono::milliseconds(ms);
}

uint64_t ms_of(TimePoint t) {
    if (t == TimePoint::max())
        return NEVER;
    return t <= epoch ? 0
                      : std::chrono::duration_cast<std::chrono::milliseconds>(t - epoch).count();
}

// The target sees what has reached it and answers what has fallen due.
void pump() {
    if (!target)
        return;
    TimePoint now = virtual_time(clock_ms);
    target->tick(now);
    while (!target->busy() && !target->ended() && !target_line.rx.empty()) {
        RxByte rx = target_line.rx.front();
        target_line.rx.pop_front();
        target->on_byte(rx, now);
    }
}

// A byte arriving at due_ms, or behind what is queued before it when that comes later.
void arrive(unsigned char value, uint64_t due_ms) {
    if (!incoming.empty() && incoming.back().due_ms > due_ms)
        due_ms = incoming.back().due_ms;
    incoming.push_back({due_ms, value});
}

uint64_t next_target_deadline() {
    if (!target)
        return NEVER;
    uint64_t due = ms_of(target->next_deadline());
    // A deadline the engine has already handled must not hold the clock.
    return due == NEVER || due > clock_ms ? due : clock_ms + 1;
}

} // namespace

// The engine's line and log, in place of the real ones.
void line_send(Line &, const uint8_t *bytes, size_t count, unsigned, TimePoint now) {
    if (!line_open) // a closed port loses what arrives meanwhile
        return;
    for (size_t i = 0; i < count; ++i)
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
    char stamp[32];
    snprintf(stamp, sizeof stamp, "[%7.3f] ", clock_ms / 1000.0);
    target_events += stamp + std::string(text) + "\n";
}

std::string hex_bytes(const unsigned char *bytes, size_t count, size_t limit) {
    std::string text;
    char two[4];
    for (size_t i = 0; i < count && i < limit; ++i) {
        snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += two;
    }
    return count > limit ? text + " ..." : text;
}

namespace wire {

void reset() {
    line_open = false;
    clock_ms = 0;
    incoming.clear();
    responder = nullptr;
    waiter = nullptr;
    wrote_since_wait = true;
    writes_left = -1;
    failing_port = 0;
    speeds.clear();
    output.clear();
    output_ms.clear();
    target.reset();
    target_line = Line();
    target_events.clear();
    if (!received_path.empty())
        unlink(received_path.c_str());
    received_path.clear();
    epoch = Clock::now();
}

uint64_t now_ms() {
    return clock_ms;
}

void advance_to(uint64_t ms) {
    for (uint64_t due = next_target_deadline(); due <= ms; due = next_target_deadline()) {
        clock_ms = due;
        pump();
    }
    if (ms > clock_ms)
        clock_ms = ms;
    pump();
}

void says(const std::string &bytes, uint64_t delay_ms) {
    for (unsigned char c : bytes)
        arrive(c, clock_ms + delay_ms);
}

void on_write(std::function<void(unsigned char)> f) {
    responder = std::move(f);
}

void on_wait(std::function<void()> f) {
    waiter = std::move(f);
}

void attach_target(std::vector<std::string> options) {
    for (const std::string &option : options) {
        if (option == "--range") {
            char name[] = "/tmp/wire-received-XXXXXX";
            close(mkstemp(name));
            received_path = name;
            options.insert(options.end(), {"--output", received_path});
            break;
        }
    }
    options.insert(options.begin(), "kestrel-target");
    std::vector<char *> argv;
    for (std::string &option : options)
        argv.push_back(&option[0]);
    target_options = Options();
    bool exit_now = false;
    optind = 0; // a fresh scan for every target
    if (!parse_options((int)argv.size(), argv.data(), target_options, exit_now))
        throw std::invalid_argument("bad target options");
    target.reset(new Target(target_options, target_line));
}

std::string target_log() {
    return target_events;
}

int target_status() {
    return target && target->ended() ? target->exit_status() : -1;
}

std::string target_received() {
    std::ifstream in(received_path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void fail_open(unsigned port) {
    failing_port = port;
}

const std::vector<uint32_t> &opens() {
    return speeds;
}

bool open_line(unsigned port_number) {
    set_open(false);
    speeds.push_back(baud_rate);
    if (port_number == failing_port)
        return false;
    set_open(true);
    return true;
}

void fail_writes_after(long bytes) {
    writes_left = bytes;
}

const std::string &written() {
    return output;
}

uint64_t written_at(size_t index) {
    return index < output_ms.size() ? output_ms[index] : NEVER;
}

bool is_open() {
    return line_open;
}

void set_open(bool open) {
    line_open = open;
    if (!open)
        incoming.clear(); // bytes in flight are lost with the port
}

bool host_write(unsigned char byte) {
    if (!line_open || writes_left == 0)
        return false;
    if (writes_left > 0)
        --writes_left;
    wrote_since_wait = true;
    output += (char)byte;
    output_ms.push_back(clock_ms);
    if (responder)
        responder(byte);
    if (target) {
        target_line.rx.push_back({byte, baud_rate, virtual_time(clock_ms), virtual_time(clock_ms)});
        pump();
    }
    return true;
}

bool host_read(unsigned char *byte, uint64_t limit_ms) {
    if (waiter && wrote_since_wait && incoming.empty()) {
        wrote_since_wait = false;
        waiter();
    }
    for (;;) {
        pump();
        uint64_t arrival = incoming.empty() ? NEVER : incoming.front().due_ms;
        uint64_t deadline = next_target_deadline();
        if (arrival <= limit_ms && arrival <= deadline) {
            if (arrival > clock_ms)
                clock_ms = arrival;
            *byte = incoming.front().value;
            incoming.pop_front();
            return true;
        }
        if (deadline > limit_ms) {
            advance_to(limit_ms);
            if (!incoming.empty() && incoming.front().due_ms <= limit_ms)
                continue;
            return false;
        }
        clock_ms = deadline;
    }
}

void drop_arrived() {
    pump();
    while (!incoming.empty() && incoming.front().due_ms <= clock_ms)
        incoming.pop_front();
}

} // namespace wire
