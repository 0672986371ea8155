// Scripted PC for the real-mode serial driver's tests, linked in place of the PC operations
// of realmode/pc.h. Time is virtual, counted in timer-chip input clocks (65536 to a BIOS tick):
// every tick read advances it a little, so long waits cost nothing. The UARTs of the BIOS
// table receive bytes the test queues at virtual times and raise their interrupt at every PC
// operation of the driver where a PC would take it; every port access is recorded.
#ifndef TESTS_SUPPORT_TEST_PC_H
#define TESTS_SUPPORT_TEST_PC_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace test_pc {

const uint64_t CLOCKS_PER_TICK = 65536;

struct port_access {
    bool write;
    uint16_t port;
    unsigned char value;
};

// Back to power-on: clock 0 at BIOS tick 0, table COM1 0x3F8 and COM2 0x2F8, serial IRQs
// masked, no vectors, empty UARTs, counter 0 in mode 3, tick reads advancing 1/16 tick.
void reset();

// Word `index` of the BIOS serial port table.
void set_bios_port(unsigned index, uint16_t base);

// The BIOS tick count now (it restarts at 0 after 0x1800AF, at midnight).
void set_ticks(uint32_t ticks);
uint32_t ticks();
uint64_t clocks();
// How far every pc_bios_ticks() call moves the clock.
void set_tick_step(uint64_t clocks);

// Time passes outside the driver: due bytes are received and interrupts taken.
void advance_ticks(uint32_t ticks);

// Bytes that arrive on COM port_number's line delay_ticks from now, behind earlier ones.
void receive(const std::string &bytes, uint32_t delay_ticks = 0, unsigned port_number = 1);
// Bytes queued that have not reached a UART's receive register yet.
size_t pending();

// Called with every byte written to a transmit register; it may queue an answer.
void on_transmit(std::function<void(unsigned char)> responder);
// Everything written to the transmit registers, in order.
std::string transmitted();
// While held, the line status shows the transmit register full.
void hold_transmitter(bool held);

// Counter 0 counting down by 1 (mode 2) or by 2 (mode 3); each latch command moves the clock
// by clocks_per_read (0: the counter never moves).
void set_timer(int mode, uint64_t clocks_per_read);

// Every port access so far, reads and writes; and the writes alone.
const std::vector<port_access> &accesses();
std::vector<port_access> writes();
void clear_accesses();

// The interrupt controller's mask register (vectors: pc_get_vector and pc_set_vector).
unsigned char pic_mask();

// Times a receive handler ran, and times the driver's ring indexes changed between PC
// operations while that port's interrupt could have been taken.
unsigned handler_calls();
unsigned unguarded_index_changes();

} // namespace test_pc

#endif
