// What a serial back end provides beneath the shared serial operations (serial.cpp), besides
// open_port, close_port, purge_input and sleep_ms of serial.h.
#ifndef SERIAL_PORT_H
#define SERIAL_PORT_H

#include <stdint.h>

// PORT_WRITE_FAILED: printed when a write fails or finds no port open.
extern const char PORT_WRITE_FAILED[];

// port_is_open: true between a successful open_port and close_port.
bool port_is_open();

// port_write: writes the whole run; false when it does not complete in time, or on any error.
// Prints nothing.
bool port_write(const unsigned char *bytes, unsigned count);

// port_read: one byte within `seconds`, returning as soon as one is there; false on a closed
// port (at once) or when none came. A host port makes `seconds` read attempts (0 counts as 1),
// the UART waits seconds x 91 / 5 BIOS ticks (0: without limit).
bool port_read(unsigned char *byte, unsigned seconds);

// port_pause_after_paced_byte: the gap send_bytes_paced leaves after each byte.
void port_pause_after_paced_byte();

// The host ports (POSIX, Win32) get the message, port_read and the pause from host_port.cpp,
// which counts their waits in port_read_attempt calls; a write of n bytes may take
// WRITE_TIMEOUT_BASE_MS + n x write_timeout_ms_per_byte(baud_rate).

const unsigned PORT_READ_TIMEOUT_MS = 1000;
const uint32_t WRITE_TIMEOUT_BASE_MS = 4000;
// How often close_port looks whether written output has left.
const unsigned OUTPUT_DRAIN_POLL_MS = 10;

// write_timeout_ms_per_byte: twice a character's time on the line, in whole ms, plus 1.
uint32_t write_timeout_ms_per_byte(uint32_t bits_per_second);

// port_read_attempt: one byte, waiting at most PORT_READ_TIMEOUT_MS; returns as soon as one is
// there. False on a closed port (at once), on a time-out, or when the device has gone.
bool port_read_attempt(unsigned char *byte);

#endif
