// What the host ports (POSIX, Win32) share beneath the serial operations: waits counted in
// read attempts, the 55 ms pacing gap, the write time-out and the transmit-failure message.
#include "port.h"
#include "serial.h"

namespace {

const unsigned PACED_BYTE_PAUSE_MS = 55;
const uint32_t MS_PER_SECOND = 1000;
const uint32_t BITS_PER_CHARACTER = 10; // start bit, 8 data bits, stop bit

} // namespace

const char PORT_WRITE_FAILED[] = "\r\nERROR - Could not transmit data.\r\n";

bool port_read(unsigned char *byte, unsigned seconds) {
    if (seconds == 0)
        seconds = 1;
    for (; seconds > 0; --seconds) {
        if (port_read_attempt(byte))
            return true;
    }
    return false;
}

void port_pause_after_paced_byte() {
    sleep_ms(PACED_BYTE_PAUSE_MS);
}

// Rounded down, then 1 more so that it is never 0.
uint32_t write_timeout_ms_per_byte(uint32_t bits_per_second) {
    return 2 * BITS_PER_CHARACTER * MS_PER_SECOND / bits_per_second + 1;
}
