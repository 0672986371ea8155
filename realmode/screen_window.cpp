#include "screen_window.h"

#include "app/terminal.h"
#include "screen.h"

namespace {

const unsigned TAB_WIDTH = 8;

unsigned clamp(unsigned value, unsigned low, unsigned high) {
    return value < low ? low : (value > high ? high : value);
}

void line_feed(bool typed) {
    bool scrolls = cursor_row >= window.bottom;
    if (!scrolls)
        ++cursor_row;
    screen_show_line_feed(scrolls, typed);
}

// The wrap happens at once, as on a PC screen.
void put_glyph(unsigned char c) {
    if (!screen_show_glyph(c))
        return;
    if (++cursor_column > window.right) {
        cursor_column = window.left;
        line_feed(false);
    }
}

} // namespace

screen_area window = {1, 1, SCREEN_ROWS, SCREEN_COLUMNS};
unsigned cursor_row = 1;
unsigned cursor_column = 1;

void window_whole_screen() {
    window = {1, 1, SCREEN_ROWS, SCREEN_COLUMNS};
    cursor_row = 1;
    cursor_column = 1;
}

void window_place(unsigned top, unsigned left, unsigned bottom, unsigned right) {
    window.top = clamp(top, 1, SCREEN_ROWS);
    window.bottom = clamp(bottom, window.top, SCREEN_ROWS);
    window.left = clamp(left, 1, SCREEN_COLUMNS);
    window.right = clamp(right, window.left, SCREEN_COLUMNS);
    cursor_row = window.top;
    cursor_column = window.left;
}

void screen_cursor(unsigned *row, unsigned *column) {
    *row = cursor_row - window.top + 1;
    *column = cursor_column - window.left + 1;
}

void window_goto(unsigned row, unsigned column) {
    cursor_row = clamp(window.top + row - 1, window.top, window.bottom);
    cursor_column = clamp(window.left + column - 1, window.left, window.right);
}

void window_put(unsigned char c) {
    switch (c) {
    case '\r':
        cursor_column = window.left;
        screen_show_move(c);
        break;
    case '\n':
        line_feed(true);
        break;
    case '\b':
        if (cursor_column > window.left) {
            --cursor_column;
            screen_show_move(c);
        }
        break;
    case '\a':
        console_bell();
        break;
    case '\t':
        do
            put_glyph(' ');
        while ((cursor_column - window.left) % TAB_WIDTH != 0);
        break;
    default:
        put_glyph(c);
        break;
    }
}
