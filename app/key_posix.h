// Key reads from the controlling terminal, shared by the terminal console back ends: the key
// operations of app/terminal.h are defined with them.
#ifndef APP_KEY_POSIX_H
#define APP_KEY_POSIX_H

#include <stddef.h>

// terminal_write_all: writes the whole text to standard output, retrying what a signal cut
// short; a failed write loses the text and nothing else.
void terminal_write_all(const char *text, size_t length);

#endif
