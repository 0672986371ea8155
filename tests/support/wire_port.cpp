// The host serial port's primitives over the wire, for the portable serial operations.
#include "serial/port.h"
#include "serial/serial.h"
#include "wire.h"

bool open_port(unsigned port_number) {
    return wire::open_line(port_number);
}

void close_port() {
    wire::set_open(false);
}

void purge_input() {
    wire::drop_arrived();
}

void sleep_ms(unsigned ms) {
    wire::advance_to(wire::now_ms() + ms);
}

bool port_is_open() {
    return wire::is_open();
}

bool port_write(const unsigned char *bytes, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        if (!wire::host_write(bytes[i]))
            return false;
    }
    return true;
}

bool read_byte(unsigned char *byte) {
    return wire::is_open() && wire::host_read(byte, wire::now_ms() + PORT_READ_TIMEOUT_MS);
}
