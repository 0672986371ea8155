// A POSIX serial device taken for exclusive use, as both Linux back ends take theirs (the
// host serial port and the emulated PC's UARTs), and given back as it was found: at close,
// and when a signal ends the run.
#ifndef SERIAL_DEVICE_POSIX_H
#define SERIAL_DEVICE_POSIX_H

#include <stdint.h>
#include <termios.h>

// monotonic_ms: a clock for time-outs, in milliseconds, that no change of the date moves.
int64_t monotonic_ms();

// open_serial_device: opens port N's device, the one named by KESTRELLOAD_COM<N> or else
// /dev/ttyS<N-1>, read-write and non-blocking, without making it the controlling terminal,
// takes it exclusively and notes its settings. The descriptor, or -1 when the device is
// absent, busy or refused.
int open_serial_device(unsigned port_number);

// termios_speed: the termios constant of a line speed in bit/s; false for a speed it has none
// for.
bool termios_speed(uint32_t bits_per_second, speed_t *speed);

// request_low_latency: asks the driver not to hold back received bytes; a device without the
// setting is used as it is. Given back with the device.
void request_low_latency(int fd);

// close_serial_device: lets written output leave the device, at most WRITE_TIMEOUT_BASE_MS +
// queued bytes x ms_per_byte (what cannot leave in that time is dropped), discards unread
// input, puts the settings found back once the output has gone, gives up the exclusive use
// and closes.
void close_serial_device(int fd, uint32_t ms_per_byte);

#endif
