// The main build's side of the build differences: it checks no flash map and shows no spinner.
#include "app/console.h"
#include "serial/serial.h"
#include "session/build_variant.h"

namespace {
const unsigned LINE_MODE_EXTRA_BYTE_ATTEMPTS = 2;
const unsigned COMPLETION_PAUSE_MS = 15;
} // namespace

void session_starting() {}

bool prepare_upgrade_command() {
    return true;
}

void report_session_failure() {
    console_print("\r\nERROR - Could not obtain download prompt.\r\n");
}

void line_mode_chosen() {
    // The target may follow its NAK with one more byte; it is read (shown if printable) and
    // dropped before the first line goes.
    unsigned char discarded;
    receive_byte(&discarded, LINE_MODE_EXTRA_BYTE_ATTEMPTS, ECHO_ON);
}

void report_line_mode_complete() {
    sleep_ms(COMPLETION_PAUSE_MS);
    show_progress(100);
    console_print("\r\n\nDownload Complete.\r\n");
}

void line_sent() {}
