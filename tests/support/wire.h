// The far end of the serial line in unit tests, on a virtual clock: either bytes the test
// queues at virtual times, or the simulated target's own engine (the one kestrel-target runs),
// driven in virtual time. Waits cost no real time. wire_port.cpp puts the host serial port's
// primitives over it, pc.cpp the PC's UART.
#ifndef TESTS_SUPPORT_WIRE_H
#define TESTS_SUPPORT_WIRE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace wire {

// Back to a closed line, clock 0, nothing queued, no target, every open succeeding.
void reset();

extern uint64_t now_ms;
extern bool line_open;
// Everything the program wrote, and the virtual time of each byte; the speed of every open, in
// order, failed ones included; the simulated target's log.
extern std::string written;
extern std::vector<uint64_t> written_at;
extern std::vector<uint32_t> opens;
extern std::string target_log;
// A port number whose open fails (0: none); writes failing after this many more bytes (-1:
// never).
extern unsigned failing_port;
extern long writes_left;
// Called with every byte the program writes, when it writes it; and when the program starts
// waiting for a byte, with nothing queued, after writing since the last call: a scripted far
// end answers there, with says().
extern std::function<void(unsigned char)> on_write;
extern std::function<void()> on_wait;

// Time passes; the target's due answers happen on the way.
void advance_to(uint64_t ms);

// Bytes from the far end, arriving delay_ms from now (behind anything queued before).
void says(const std::string &bytes, uint64_t delay_ms = 0);

// The simulated target with these kestrel-target options. With "--range" among them, what it
// received is written where target_received() reads it.
void attach_target(std::vector<std::string> options);
// Its exit status once its transfer has ended, else -1.
int target_status();
std::string target_received();

// The host side, for the port back ends; closing loses the bytes in flight.
void set_open(bool open);
bool host_write(unsigned char byte);
// The next byte, waiting until limit_ms at most.
bool host_read(unsigned char *byte, uint64_t limit_ms);
// Drops what has arrived by now.
void drop_arrived();

} // namespace wire

#endif
