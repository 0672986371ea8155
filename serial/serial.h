// Serial operations: every exchange with the target goes through these. serial.cpp holds the
// rules every build shares; each back end (a host's serial port, the real-mode UART, the
// scripted test link) provides open_port, close_port, purge_input and sleep_ms here and the
// primitives of port.h, chosen at link time. Every wait is given in seconds: a host port
// counts them as read attempts of one second each, the UART as BIOS timer ticks.
#ifndef SERIAL_SERIAL_H
#define SERIAL_SERIAL_H

#include <stdint.h>

// The echo flag of receive_byte and send_command: ECHO_ON shows what is received (through
// echo_char); any other value shows nothing.
const int ECHO_OFF = 0;
const int ECHO_ON = 1;

// Line speed in bit/s; link establishment sets it before every open_port.
extern uint32_t baud_rate;

// open_port: closes any open port, then opens port 1-9 at baud_rate, 8N1, both queues
// flushed. False (port closed, nothing printed) when the device is absent, busy or refuses.
bool open_port(unsigned port_number);

// close_port: lets written output leave (bounded by the write time-out), discards unread
// input, closes. Harmless when no port is open.
void close_port();

// send_bytes: writes the run at full speed; false after the back end's transmit-failure
// message when no port is open or the write does not complete in time. A count of 0 is true.
bool send_bytes(const unsigned char *bytes, unsigned count);

// send_byte: send_bytes of one byte.
bool send_byte(unsigned char byte);

// send_bytes_paced: one byte at a time with the back end's pause after each (55 ms on a host
// port, up to the next BIOS tick on the UART), the last included; false at the first failed
// byte.
bool send_bytes_paced(const unsigned char *bytes, unsigned count);

// receive_byte: one byte within `attempts` seconds; on a host port 0 counts as 1, on the UART
// 0 waits without limit. Echoes it when echo is ECHO_ON. On failure stores 0x00; false at
// once on a closed port.
bool receive_byte(unsigned char *byte, unsigned attempts, int echo);

// echo_char: prints the byte when it is printable ASCII or white space (0x09-0x0D).
void echo_char(unsigned char byte);

// purge_input: discards everything received so far. Harmless when no port is open.
void purge_input();

// send_command: sends the text a character at a time; each printable character must come
// back unchanged within 5 seconds, any answer to a control character is accepted.
bool send_command(const char *text, int echo);

// sleep_ms: the platform's pause.
void sleep_ms(unsigned ms);

#endif
