// A POSIX serial device taken for exclusive use, as both Linux back ends take theirs (the
// host serial port and the emulated PC's UARTs).
#ifndef SERIAL_DEVICE_POSIX_H
#define SERIAL_DEVICE_POSIX_H

// open_serial_device: opens port N's device, the one named by KESTRELLOAD_COM<N> or else
// /dev/ttyS<N-1>, read-write and non-blocking, without making it the controlling terminal,
// and takes it exclusively. The descriptor, or -1 when the device is absent, busy or refused.
int open_serial_device(unsigned port_number);

// close_serial_device: gives up the exclusive use and closes.
void close_serial_device(int fd);

#endif
