// The window and cursor arithmetic of the real-mode screen, the same for both of its back ends:
// the current window, the cursor in absolute rows and columns counted from 1, and what each
// character of console_write does to them. The back end shows it through the screen_show_
// operations, which it defines.
#ifndef REALMODE_SCREEN_WINDOW_H
#define REALMODE_SCREEN_WINDOW_H

struct screen_area {
    unsigned top, left, bottom, right;
};

extern screen_area window;
extern unsigned cursor_row, cursor_column;

// window_whole_screen: the whole screen current, the cursor at (1, 1).
void window_whole_screen();

// window_place: the rectangle, clamped to the screen, current; the cursor at its top left.
void window_place(unsigned top, unsigned left, unsigned bottom, unsigned right);

// window_goto: the cursor moved to a position within the window (screen_cursor of screen.h,
// defined here, reads it back).
void window_goto(unsigned row, unsigned column);

// window_put: one character: carriage return, line feed, backspace, bell and tab act as on a
// PC screen, others are shown; text wraps at the window's last column and a line feed on its
// last row scrolls the window.
void window_put(unsigned char c);

// Defined by the back end. screen_show_glyph: shows c at the cursor, false for a character
// it does not show (the cursor then stays). screen_show_move: the cursor moved by a carriage
// return or backspace c. screen_show_line_feed: the cursor went down a row, or the window
// scrolls when `scrolls`; `typed` when a line feed was written rather than text wrapped.
bool screen_show_glyph(unsigned char c);
void screen_show_move(unsigned char c);
void screen_show_line_feed(bool scrolls, bool typed);

#endif
