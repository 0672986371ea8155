// The real-mode build's console beyond app/console.h: the status window above (banner,
// download header, the boxed bar) and the message window below, where every message, echo and
// prompt appears once the screen is laid out.
#ifndef REALMODE_CONSOLE_REALMODE_H
#define REALMODE_CONSOLE_REALMODE_H

// lay_out_screen: clears the screen, shows the banner in the status window and the line that
// closes it, then makes the message window current.
void lay_out_screen(const char *banner);

// advance_spinner: counts one line sent; every baud_rate / 2400 lines (at least every line)
// shows the next of "|/-\\" at the message cursor, leaving the cursor on it.
void advance_spinner();

#endif
