// Console back end on a terminal: output to standard output, keys from the controlling
// terminal (/dev/tty) so that redirected standard input never answers a question.
#include "terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace {

const int CARRIAGE_RETURN = 13;
const int RESTORED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Only what a signal handler may touch: the terminal being read and its saved settings.
volatile sig_atomic_t key_terminal = -1;
struct termios saved_settings;
struct sigaction previous_actions[sizeof RESTORED_SIGNALS / sizeof RESTORED_SIGNALS[0]];

void restore_and_reraise(int signal_number) {
    if (key_terminal >= 0)
        tcsetattr(key_terminal, TCSANOW, &saved_settings);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void write_all(const char *text, size_t length) {
    while (length > 0) {
        ssize_t written = write(STDOUT_FILENO, text, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        text += written;
        length -= (size_t)written;
    }
}

// One key from the controlling terminal in non-canonical mode; the settings come back on every
// path, also when a signal ends the program during the read.
int read_key(bool echo) {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return CARRIAGE_RETURN;
    if (tcgetattr(fd, &saved_settings) != 0) {
        close(fd);
        return CARRIAGE_RETURN;
    }
    struct termios raw = saved_settings;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    raw.c_iflag &= ~(tcflag_t)(ICRNL | INLCR | IGNCR); // Enter must read as a carriage return
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = restore_and_reraise;
    sigemptyset(&action.sa_mask);
    key_terminal = fd;
    for (size_t i = 0; i < sizeof RESTORED_SIGNALS / sizeof RESTORED_SIGNALS[0]; ++i)
        sigaction(RESTORED_SIGNALS[i], &action, &previous_actions[i]);

    unsigned char key = CARRIAGE_RETURN;
    if (tcsetattr(fd, TCSANOW, &raw) == 0) {
        ssize_t got;
        do
            got = read(fd, &key, 1);
        while (got < 0 && errno == EINTR);
        if (got != 1)
            key = CARRIAGE_RETURN;
    }
    tcsetattr(fd, TCSANOW, &saved_settings);
    for (size_t i = 0; i < sizeof RESTORED_SIGNALS / sizeof RESTORED_SIGNALS[0]; ++i)
        sigaction(RESTORED_SIGNALS[i], &previous_actions[i], 0);
    key_terminal = -1;
    close(fd);

    if (echo) {
        char shown = (char)key;
        write_all(&shown, 1);
    }
    return key;
}

} // namespace

void console_open() {
    // A reader that went away must cost only the text, not the run.
    signal(SIGPIPE, SIG_IGN);
}

void console_write(const char *text, size_t length) {
    write_all(text, length);
}

// A carriage return rather than cursor control keeps output redirected to a file readable.
void console_line_start() {
    write_all("\r", 1);
}

int console_key_echo() {
    return read_key(true);
}

int console_key() {
    return read_key(false);
}

void console_bell() {
    write_all("\a", 1);
}
