// The serial operations as every build has them, on the primitives of port.h that each back
// end supplies.
#include "serial.h"

#include "app/console.h"
#include "port.h"

uint32_t baud_rate = 0;

static const unsigned COMMAND_ECHO_ATTEMPTS = 5;

static bool is_printable(unsigned char byte) {
    return byte >= 0x20 && byte <= 0x7E;
}

static bool is_white_space(unsigned char byte) {
    return byte >= 0x09 && byte <= 0x0D;
}

bool send_bytes(const unsigned char *bytes, unsigned count) {
    if (port_is_open() && (count == 0 || port_write(bytes, count)))
        return true;
    console_print(PORT_WRITE_FAILED);
    return false;
}

bool send_byte(unsigned char byte) {
    return send_bytes(&byte, 1);
}

bool send_bytes_paced(const unsigned char *bytes, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        if (!send_byte(bytes[i]))
            return false;
        // The receiver needs the gap after the last byte too: the caller's next write
        // follows at once.
        port_pause_after_paced_byte();
    }
    return true;
}

bool receive_byte(unsigned char *byte, unsigned attempts, int echo) {
    if (!port_read(byte, attempts)) {
        *byte = 0x00;
        return false;
    }
    if (echo == ECHO_ON)
        echo_char(*byte);
    return true;
}

void echo_char(unsigned char byte) {
    if (!is_printable(byte) && !is_white_space(byte))
        return;
    char text[2] = {(char)byte, '\0'};
    console_print(text);
}

bool send_command(const char *text, int echo) {
    for (const char *p = text; *p != '\0'; ++p) {
        unsigned char sent = (unsigned char)*p;
        unsigned char answer;
        if (!send_byte(sent))
            return false;
        if (!receive_byte(&answer, COMMAND_ECHO_ATTEMPTS, echo))
            return false;
        // A control character may come back translated (a line feed as a carriage return or
        // as "\r\n"), so only printable characters must echo unchanged.
        if (answer != sent && is_printable(sent))
            return false;
    }
    return true;
}
