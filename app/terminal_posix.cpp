#include "terminal_posix.h"

#include "signals_posix.h"
#include "terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Only what a signal handler may touch: the terminal in key mode and its two settings.
volatile sig_atomic_t key_terminal = -1;
struct termios saved_settings;
struct termios key_settings;
taken_signals taken;

void restore_terminal() {
    if (key_terminal >= 0)
        tcsetattr(key_terminal, TCSANOW, &saved_settings);
}

void restore_and_pass_on(int signal_number) {
    int saved_errno = errno;
    restore_terminal();
    pass_signal_on(signal_number, &taken);
    errno = saved_errno;
}

// After a stop the shell has put back its own modes: key mode again, or typed-ahead keys
// would echo. In the background that waits for the next continue in the foreground.
void resume_key_mode(int) {
    int saved_errno = errno;
    if (key_terminal >= 0 && tcgetpgrp(key_terminal) == getpgrp())
        tcsetattr(key_terminal, TCSANOW, &key_settings);
    errno = saved_errno;
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
    key_settings = saved_settings;
    key_settings.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    key_settings.c_iflag &= ~(tcflag_t)(ICRNL | INLCR | IGNCR);
    key_settings.c_cc[VMIN] = 1;
    key_settings.c_cc[VTIME] = 0;

    key_terminal = fd;
    take_ending_signals(restore_and_pass_on, &taken);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = resume_key_mode;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCONT, &action, 0);
    atexit(restore_terminal);
    tcsetattr(fd, TCSANOW, &key_settings);
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
