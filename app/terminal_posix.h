// The controlling terminal for the terminal console back ends: key mode and key reads (the key
// operations of app/terminal.h are defined here) and whole writes to standard output.
#ifndef APP_TERMINAL_POSIX_H
#define APP_TERMINAL_POSIX_H

#include <stddef.h>

// terminal_write_all: writes the whole text to standard output, retrying what a signal cut
// short; a failed write loses the text and nothing else.
void terminal_write_all(const char *text, size_t length);

#endif
