// A host serial port over the wire, beneath the shared serial operations.
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

bool port_read_attempt(unsigned char *byte) {
    return wire::is_open() && wire::host_read(byte, wire::now_ms() + PORT_READ_TIMEOUT_MS);
}
