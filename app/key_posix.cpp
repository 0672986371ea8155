#include "key_posix.h"

#include "terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace {

const int RESTORED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
const size_t RESTORED_SIGNAL_COUNT = sizeof RESTORED_SIGNALS / sizeof RESTORED_SIGNALS[0];

// Only what a signal handler may touch: the terminal in key mode and its saved settings.
volatile sig_atomic_t key_terminal = -1;
struct termios saved_settings;
struct sigaction previous_actions[RESTORED_SIGNAL_COUNT];

void restore_terminal() {
    if (key_terminal >= 0)
        tcsetattr(key_terminal, TCSANOW, &saved_settings);
}

// Puts the terminal back, then lets the signal take the course it had before key mode (which
// may be another back end's own clean-up); one that was ignored ends the program, as the run
// cannot go on with the settings restored.
void restore_and_reraise(int signal_number) {
    restore_terminal();
    for (size_t i = 0; i < RESTORED_SIGNAL_COUNT; ++i) {
        if (RESTORED_SIGNALS[i] != signal_number)
            continue;
        const struct sigaction &previous = previous_actions[i];
        if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN)
            signal(signal_number, SIG_DFL);
        else
            sigaction(signal_number, &previous, 0);
    }
    raise(signal_number);
}

// From the first key read to the end of the run the terminal stays in key mode: keys typed
// ahead, a password among them, are never echoed by the terminal itself, and Enter arrives as
// a carriage return. Ctrl-C still signals. The settings come back at exit or on a signal.
bool enter_key_mode() {
    if (key_terminal >= 0)
        return true;
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (tcgetattr(fd, &saved_settings) != 0) {
        close(fd);
        return false;
    }
    struct termios raw = saved_settings;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    raw.c_iflag &= ~(tcflag_t)(ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = restore_and_reraise;
    sigemptyset(&action.sa_mask);
    key_terminal = fd;
    for (size_t i = 0; i < RESTORED_SIGNAL_COUNT; ++i)
        sigaction(RESTORED_SIGNALS[i], &action, &previous_actions[i]);
    atexit(restore_terminal);
    tcsetattr(fd, TCSANOW, &raw);
    return true;
}

// Waits for one key from /dev/tty. The first read puts the terminal into key mode for the
// rest of the run. False with CARRIAGE_RETURN when there is no terminal to read; a read that
// fails on the terminal also gives CARRIAGE_RETURN, with true.
bool terminal_read_key(int *key) {
    *key = CARRIAGE_RETURN;
    if (!enter_key_mode())
        return false;
    unsigned char got_key = CARRIAGE_RETURN;
    ssize_t got;
    do
        got = read(key_terminal, &got_key, 1);
    while (got < 0 && errno == EINTR);
    if (got == 1)
        *key = got_key;
    return true;
}

} // namespace

void terminal_write_all(const char *text, size_t length) {
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

// Both terminal back ends read keys alike; only their writes differ.
int console_key_echo() {
    int key;
    if (terminal_read_key(&key)) {
        char shown = (char)key;
        console_write(&shown, 1);
    }
    return key;
}

int console_key() {
    int key;
    terminal_read_key(&key);
    return key;
}
