// Console back end, one per platform, chosen at link time. It only writes, moves the cursor
// and reads keys; what to write belongs to the console layer above it.
#ifndef APP_TERMINAL_H
#define APP_TERMINAL_H

#include <stddef.h>

// The Enter key as a key read gives it, and what a key read gives when there is no console to
// read from: a question then takes its default answer, an entry ends.
const int CARRIAGE_RETURN = 13;

// console_open: obtains the console output; first thing at start-up.
void console_open();

// console_write: writes length characters in one write; failures are not reported.
// The image reader's spinner uses it directly, outside the progress-line bookkeeping.
void console_write(const char *text, size_t length);

// console_line_start: moves the cursor to the first column of its row.
void console_line_start();

// console_key_echo: waits for one key, echoes it, returns its character code.
// With no console to read from it returns CARRIAGE_RETURN.
int console_key_echo();

// console_key: as console_key_echo, without the echo.
int console_key();

// console_bell: rings the bell (character 7).
void console_bell();

#endif
