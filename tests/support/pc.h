// The test PC behind realmode/pc.h: what a test sets and sees of it.
#ifndef TESTS_SUPPORT_PC_H
#define TESTS_SUPPORT_PC_H

#include <cstdint>
#include <string>

#include "realmode/pc.h"

// Back to these values at pc_reset.
struct test_pc {
    // The COM port whose line the wire is; counter 0's counts per input clock: 2 as the BIOS
    // leaves it, 1 in its other mode, 0 stopped.
    unsigned line_port = 1, timer_step = 2;
    uint16_t bios_table[4] = {COM1_BASE, COM2_BASE, 0x3E8, 0x2E8}; // COM1 to COM4 (0: none)
    uint64_t transmitter_free_at = 0; // the virtual ms from which the transmitter takes a byte
    uint32_t power_on_tick = 0; // the BIOS tick count at 0 ms; after 0x1800AF it restarts at 0
    std::string writes;         // " port=value" in hexadecimal for each port write but latches
    unsigned latches = 0;       // of counter 0
};
extern test_pc pc;

// Power-on: serial IRQs masked, no vectors, the line's UART holding a byte and a line status
// from before, the wire open.
void pc_reset();

uint64_t pc_now_us();

#endif
