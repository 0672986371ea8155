#include "signals_posix.h"

#include <string.h>

void take_ending_signals(void (*handler)(int), taken_signals *taken) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (unsigned i = 0; i < ENDING_SIGNAL_COUNT; ++i) {
        struct sigaction &previous = taken->previous[i];
        taken->taken[i] = false;
        if (sigaction(ENDING_SIGNALS[i], 0, &previous) != 0)
            continue;
        if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN)
            continue;
        taken->taken[i] = sigaction(ENDING_SIGNALS[i], &action, 0) == 0;
    }
}

void pass_signal_on(int signal_number, const taken_signals *taken) {
    for (unsigned i = 0; i < ENDING_SIGNAL_COUNT; ++i) {
        if (ENDING_SIGNALS[i] == signal_number && taken->taken[i])
            sigaction(signal_number, &taken->previous[i], 0);
    }
    raise(signal_number);
}
