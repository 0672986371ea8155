// What a host serial back end provides beneath the portable serial operations (serial.cpp):
// besides open_port, close_port, purge_input and sleep_ms of serial.h, these three.
#ifndef SERIAL_PORT_H
#define SERIAL_PORT_H

// port_is_open: true between a successful open_port and close_port.
bool port_is_open();

// port_write: writes the whole run; false when it is not all written within
// 4000 + count * (20000 / baud_rate + 1) ms, or on any error. Prints nothing.
bool port_write(const unsigned char *bytes, unsigned count);

// read_byte: one byte, waiting at most PORT_READ_TIMEOUT_MS; returns as soon as one is there.
// False on a closed port (at once), on a time-out, or when the device has gone.
bool read_byte(unsigned char *byte);

#endif
