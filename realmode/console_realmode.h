// The real-mode build's console beyond app/console.h: the status window above (banner,
// download header, the boxed bar) and the message window below, where every message, echo and
// prompt appears once the screen is laid out.
#ifndef REALMODE_CONSOLE_REALMODE_H
#define REALMODE_CONSOLE_REALMODE_H

#include <stdint.h>

// lay_out_screen: clears the screen, shows the banner in the status window and the line that
// closes it, then makes the message window current.
void lay_out_screen(const char *banner);

// The line-mode spinner: lines sent, the next of "|/-\\" to show, and the lines per change
// (0 until the first line, then baud_rate / 2400, at least 1).
extern uint16_t spinner_count;
extern uint16_t spinner_position;
extern uint16_t spinner_period;

// advance_spinner: counts one line sent; every spinner_period lines shows the next spinner
// character at the message cursor, leaving the cursor on it.
void advance_spinner();

#endif
