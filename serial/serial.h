// Serial operations: every exchange with the target goes through these. Each back end (the
// host's serial port, the real-mode UART, the scripted test link) provides them, chosen at
// link time. Every wait is counted in read attempts of at most PORT_READ_TIMEOUT_MS each.
#ifndef SERIAL_SERIAL_H
#define SERIAL_SERIAL_H

#include <stdint.h>

const unsigned PORT_READ_TIMEOUT_MS = 1000;
const unsigned PACED_BYTE_PAUSE_MS = 55;

// Line speed in bit/s; link establishment sets it before every open_port.
extern uint32_t baud_rate;

// open_port: closes any open port, then opens port 1-9 at baud_rate, 8N1, both queues
// flushed. False (port closed, nothing printed) when the device is absent, busy or refuses.
bool open_port(unsigned port_number);

// close_port: lets written output leave (bounded by the write time-out), discards unread
// input, closes. Harmless when no port is open.
void close_port();

// send_bytes: writes the run at full speed; false after "Could not transmit data." when no
// port is open or the write does not complete within its time-out. A count of 0 is true.
bool send_bytes(const unsigned char *bytes, unsigned count);

// send_byte: send_bytes of one byte.
bool send_byte(unsigned char byte);

// send_bytes_paced: one byte at a time with a PACED_BYTE_PAUSE_MS pause after each, the last
// included; false at the first failed byte.
bool send_bytes_paced(const unsigned char *bytes, unsigned count);

// receive_byte: one byte within `attempts` read attempts (0 counts as 1); echoes it when echo
// is exactly 1. On failure stores 0x00 and returns false at once on a closed port.
bool receive_byte(unsigned char *byte, unsigned attempts, int echo);

// echo_char: prints the byte when it is printable ASCII or white space (0x09-0x0D).
void echo_char(unsigned char byte);

// purge_input: discards everything received so far. Harmless when no port is open.
void purge_input();

// send_command: sends the text a character at a time; each printable character must come
// back unchanged within 5 attempts, any answer to a control character is accepted.
bool send_command(const char *text, int echo);

// sleep_ms: the platform's pause.
void sleep_ms(unsigned ms);

#endif
