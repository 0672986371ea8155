// Console back end on a terminal: output to standard output, keys from the controlling
// terminal (/dev/tty) so that redirected standard input never answers a question.
#include "terminal.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include "terminal_posix.h"

void console_open() {
    // A reader that went away must cost only the text, not the run.
    signal(SIGPIPE, SIG_IGN);
}

void console_write(const char *text, size_t length) {
    terminal_write_all(text, length);
}

// A carriage return rather than cursor control keeps output redirected to a file readable.
void console_line_start() {
    terminal_write_all("\r", 1);
}

void console_bell() {
    terminal_write_all("\a", 1);
}
