// Scripted serial link with a virtual clock, linked in place of the host serial port. Tests
// queue what the target says (at virtual times) and may react to every byte the program
// writes; waits cost virtual time only.
#ifndef TESTS_SUPPORT_TEST_LINK_H
#define TESTS_SUPPORT_TEST_LINK_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace test_link {

struct written_byte {
    uint64_t at_ms;
    unsigned char value;
};

// Back to a closed port, empty queues, clock at 0, no responder, every open succeeding.
void reset();

uint64_t now_ms();

// Bytes the target sends, readable from now + delay_ms on (queued behind earlier bytes).
void target_says(const std::string &bytes, uint64_t delay_ms = 0);

// Called with every byte the program writes, in order, at the time it is written.
void on_write(std::function<void(unsigned char)> responder);

// A port number that fails to open (0: none).
void fail_open(unsigned port_number);

// Writes fail once this many more bytes have been written (-1: never).
void fail_writes_after(long bytes);

// Everything written since reset, as a string and with times.
std::string written();
const std::vector<written_byte> &written_bytes();
void clear_written();

// Each successful open_port's speed, in order; closes and purges counted.
const std::vector<uint32_t> &open_speeds();
unsigned close_count();
unsigned purge_count();
bool is_open();

// Bytes queued but not yet read (including ones due later).
size_t pending();

} // namespace test_link

#endif
