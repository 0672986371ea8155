// A host serial port over the wire, beneath the shared serial operations.
#include <algorithm>

#include "serial/port.h"
#include "serial/serial.h"
#include "wire.h"

// Records the speed; fails for the failing port number.
bool open_port(unsigned port_number) {
    wire::set_open(false);
    wire::opens.push_back(baud_rate);
    wire::set_open(port_number != wire::failing_port);
    return wire::line_open;
}

void close_port() {
    wire::set_open(false);
}

void purge_input() {
    wire::drop_arrived();
}

void sleep_ms(unsigned ms) {
    wire::advance_to(wire::now_ms + ms);
}

bool port_is_open() {
    return wire::line_open;
}

bool port_write(const unsigned char *bytes, unsigned count) {
    return std::all_of(bytes, bytes + count, wire::host_write);
}

bool port_read_attempt(unsigned char *byte) {
    return wire::line_open && wire::host_read(byte, wire::now_ms + PORT_READ_TIMEOUT_MS);
}
