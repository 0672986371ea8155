// The signals that end a run on a POSIX host, for the back ends that must give something back
// first (the terminal's modes, the screen, a serial port's settings). Each such back end has
// its handler, which gives back what it holds and then passes the signal on.
#ifndef APP_SIGNALS_POSIX_H
#define APP_SIGNALS_POSIX_H

#include <signal.h>

const int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
const unsigned ENDING_SIGNAL_COUNT = sizeof ENDING_SIGNALS / sizeof ENDING_SIGNALS[0];

// The actions a handler took over, to pass each signal on to.
struct taken_signals {
    struct sigaction previous[ENDING_SIGNAL_COUNT];
    bool taken[ENDING_SIGNAL_COUNT];
};

// take_ending_signals: installs handler on each ending signal, except those ignored: a signal
// the operator had ignored (nohup) stays ignored.
void take_ending_signals(void (*handler)(int), taken_signals *taken);

// pass_signal_on: from a handler, puts back the action it took over and raises the signal
// again, which takes its course once the handler returns.
void pass_signal_on(int signal_number, const taken_signals *taken);

#endif
