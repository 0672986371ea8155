// The real-mode build's text screen, one back end per platform chosen at link time (the PC's
// BIOS screen, a terminal). Positions count from 1. Text goes into the current window at its
// cursor through console_write (app/terminal.h): a carriage return goes to the window's first
// column, a line feed one row down, a backspace one column left (never past the first); text
// wraps at the window's last column and the window scrolls within its own rows. Characters
// above 0x7F are those of code page 437. Until the screen is first cleared, the whole screen
// is the current window.
#ifndef REALMODE_SCREEN_H
#define REALMODE_SCREEN_H

#include "app/terminal.h"

const unsigned SCREEN_ROWS = 24;
const unsigned SCREEN_COLUMNS = 80;

// screen_clear: blanks the whole screen and makes it the current window, cursor at (1, 1).
void screen_clear();

// screen_window: makes rows top..bottom, columns left..right of the screen the current
// window, its cursor at the window's (1, 1).
void screen_window(unsigned top, unsigned left, unsigned bottom, unsigned right);

// screen_cursor: the cursor's position inside the current window.
void screen_cursor(unsigned *row, unsigned *column);

// screen_goto: moves the cursor to a position inside the current window.
void screen_goto(unsigned row, unsigned column);

#endif
