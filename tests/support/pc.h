// The test PC behind realmode/pc.h: what a test sets and sees of it.
#ifndef TESTS_SUPPORT_PC_H
#define TESTS_SUPPORT_PC_H

#include <cstdint>
#include <utility>
#include <vector>

// The COM port (1 or 2) whose line the wire is.
extern unsigned pc_line_port;
// While set, the line status never shows the transmitter empty.
extern bool pc_transmitter_stuck;
// Every port write, in order.
extern std::vector<std::pair<uint16_t, unsigned char>> pc_writes;

// Power-on: serial IRQs masked, no vectors, the wire open as COM1's line.
void pc_reset();

#endif
