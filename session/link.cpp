// Link establishment: find the speed at which the target's command line echoes a test pattern.
#include <stdio.h>

#include "app/console.h"
#include "serial/serial.h"
#include "session.h"

unsigned port_number = 0;

namespace {

const unsigned AUTOBAUD_RATE_COUNT = 7;
const uint32_t AUTOBAUD_RATES[AUTOBAUD_RATE_COUNT] = {57600, 38400, 19200, 9600, 4800, 2400, 1200};
const unsigned char WAKE_UP_BYTES[3] = {0x03, 0x03, 0x03};
const unsigned char WAKE_UP_RETURNS[2] = {'\r', '\r'};
const char LINK_TEST_PATTERN[] = "1234abcd\n";
const unsigned DISCARD_BEFORE_TEST_BYTES = 600;
const unsigned DISCARD_AFTER_TEST_BYTES = 300;
const unsigned SILENCE_ATTEMPTS = 2;

// Reads and throws away what the target says until it has been silent for SILENCE_ATTEMPTS
// seconds; a chattering target is cut off after max_bytes.
void discard_until_silence(unsigned max_bytes) {
    unsigned char discarded;
    for (unsigned i = 0; i < max_bytes; ++i) {
        if (!receive_byte(&discarded, SILENCE_ATTEMPTS, ECHO_OFF))
            return;
    }
}

} // namespace

bool autobaud() {
    console_print("\r\n\nAttempting Autobaud . . . ");
    for (unsigned i = 0; i < AUTOBAUD_RATE_COUNT; ++i) {
        // 1. Open at the next speed; a port that cannot be opened ends the search.
        baud_rate = AUTOBAUD_RATES[i];
        if (!open_port(port_number))
            return false;
        // 2. Wake the command line, then forget whatever it said before.
        send_bytes_paced(WAKE_UP_BYTES, sizeof WAKE_UP_BYTES);
        purge_input();
        send_bytes(WAKE_UP_RETURNS, sizeof WAKE_UP_RETURNS);
        char speed[16];
        snprintf(speed, sizeof speed, "%lu ", (unsigned long)baud_rate);
        console_print(speed);
        discard_until_silence(DISCARD_BEFORE_TEST_BYTES);
        // 3. The echo test decides; open_port at the next speed closes this one.
        if (send_command(LINK_TEST_PATTERN, ECHO_OFF)) {
            console_print("\r\nCommunication established.\r\n\n");
            discard_until_silence(DISCARD_AFTER_TEST_BYTES);
            return true;
        }
    }
    close_port();
    return false;
}
