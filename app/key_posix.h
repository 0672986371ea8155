// Key reads from the controlling terminal, shared by the terminal console back ends; the
// key operations of app/terminal.h are defined here over it.
#ifndef APP_KEY_POSIX_H
#define APP_KEY_POSIX_H

#include <stddef.h>

// terminal_read_key: waits for one key from /dev/tty. The first read puts the terminal into
// key mode (non-canonical, no echo, a carriage return kept as such, signals on) for the rest
// of the run; its settings come back at exit and on a signal (whose previous action then runs).
// False with 13 (carriage return) when there is no terminal to read; a read that fails on the
// terminal also gives 13, with true.
bool terminal_read_key(int *key);

// terminal_write_all: writes the whole text to standard output, retrying what a signal cut
// short; a failed write loses the text and nothing else.
void terminal_write_all(const char *text, size_t length);

#endif
