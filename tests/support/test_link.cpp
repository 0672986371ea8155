#include "test_link.h"

#include <deque>

#include "serial/port.h"
#include "serial/serial.h"

namespace {

struct queued_byte {
    uint64_t due_ms;
    unsigned char value;
};

bool open_now = false;
uint64_t clock_ms = 0;
std::deque<queued_byte> incoming;
std::function<void(unsigned char)> responder;
unsigned failing_port = 0;
long writes_left = -1;
std::vector<test_link::written_byte> output;
std::vector<uint32_t> speeds;
unsigned closes = 0;
unsigned purges = 0;

} // namespace

namespace test_link {

void reset() {
    open_now = false;
    clock_ms = 0;
    incoming.clear();
    responder = nullptr;
    failing_port = 0;
    writes_left = -1;
    output.clear();
    speeds.clear();
    closes = 0;
    purges = 0;
}

uint64_t now_ms() {
    return clock_ms;
}

void target_says(const std::string &bytes, uint64_t delay_ms) {
    uint64_t due = clock_ms + delay_ms;
    if (!incoming.empty() && incoming.back().due_ms > due)
        due = incoming.back().due_ms;
    for (unsigned char c : bytes)
        incoming.push_back({due, c});
}

void on_write(std::function<void(unsigned char)> f) {
    responder = std::move(f);
}
void fail_open(unsigned port) {
    failing_port = port;
}
void fail_writes_after(long bytes) {
    writes_left = bytes;
}

std::string written() {
    std::string s;
    for (const auto &b : output)
        s += static_cast<char>(b.value);
    return s;
}
const std::vector<written_byte> &written_bytes() {
    return output;
}
void clear_written() {
    output.clear();
}
const std::vector<uint32_t> &open_speeds() {
    return speeds;
}
unsigned close_count() {
    return closes;
}
unsigned purge_count() {
    return purges;
}
bool is_open() {
    return open_now;
}
size_t pending() {
    return incoming.size();
}

} // namespace test_link

bool open_port(unsigned port_number) {
    close_port();
    if (port_number == failing_port)
        return false;
    open_now = true;
    speeds.push_back(baud_rate);
    return true;
}

void close_port() {
    if (!open_now)
        return;
    open_now = false;
    ++closes;
    incoming.clear();
}

void purge_input() {
    if (!open_now)
        return;
    ++purges;
    while (!incoming.empty() && incoming.front().due_ms <= clock_ms)
        incoming.pop_front();
}

void sleep_ms(unsigned ms) {
    clock_ms += ms;
}

bool port_is_open() {
    return open_now;
}

bool port_write(const unsigned char *bytes, unsigned count) {
    if (!open_now)
        return false;
    for (unsigned i = 0; i < count; ++i) {
        if (writes_left == 0)
            return false;
        if (writes_left > 0)
            --writes_left;
        output.push_back({clock_ms, bytes[i]});
        if (responder)
            responder(bytes[i]);
    }
    return true;
}

bool read_byte(unsigned char *byte) {
    if (!open_now)
        return false;
    if (incoming.empty() || incoming.front().due_ms > clock_ms + PORT_READ_TIMEOUT_MS) {
        clock_ms += PORT_READ_TIMEOUT_MS;
        return false;
    }
    if (incoming.front().due_ms > clock_ms)
        clock_ms = incoming.front().due_ms;
    *byte = incoming.front().value;
    incoming.pop_front();
    return true;
}
