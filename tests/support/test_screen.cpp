#include "test_screen.h"

#include "realmode/screen.h"

namespace {

struct window {
    unsigned top, left, bottom, right;
};

unsigned char grid[SCREEN_ROWS][SCREEN_COLUMNS];
window current;
unsigned cursor_row, cursor_column; // absolute
std::string captured;
std::string queued_keys;

void line_feed() {
    if (cursor_row < current.bottom) {
        ++cursor_row;
        return;
    }
    for (unsigned row = current.top; row < current.bottom; ++row)
        for (unsigned column = current.left; column <= current.right; ++column)
            grid[row - 1][column - 1] = grid[row][column - 1];
    for (unsigned column = current.left; column <= current.right; ++column)
        grid[current.bottom - 1][column - 1] = ' ';
}

void put_char(unsigned char c) {
    captured += static_cast<char>(c);
    if (c == '\r') {
        cursor_column = current.left;
    } else if (c == '\n') {
        line_feed();
    } else if (c == '\b') {
        if (cursor_column > current.left)
            --cursor_column;
    } else if (c >= 0x20 && c != 0x7F) {
        grid[cursor_row - 1][cursor_column - 1] = c;
        if (++cursor_column > current.right) {
            cursor_column = current.left;
            line_feed();
        }
    }
}

int next_key() {
    if (queued_keys.empty())
        return '\r';
    int key = static_cast<unsigned char>(queued_keys[0]);
    queued_keys.erase(0, 1);
    return key;
}

} // namespace

namespace test_screen {

void reset() {
    screen_clear();
    captured.clear();
    queued_keys.clear();
}

unsigned char at(unsigned row, unsigned column) {
    return grid[row - 1][column - 1];
}

std::string text(unsigned row, unsigned column, unsigned length) {
    return std::string(reinterpret_cast<const char *>(&grid[row - 1][column - 1]), length);
}

const std::string &output() {
    return captured;
}

std::string take_output() {
    std::string out;
    out.swap(captured);
    return out;
}

void keys(const std::string &keys) {
    queued_keys += keys;
}

} // namespace test_screen

void console_open() {}

void console_write(const char *text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        put_char(static_cast<unsigned char>(text[i]));
}

void console_line_start() {
    put_char('\r');
}

int console_key_echo() {
    int key = next_key();
    put_char(static_cast<unsigned char>(key));
    return key;
}

int console_key() {
    return next_key();
}

void console_bell() {
    captured += '\a';
}

void screen_clear() {
    for (auto &row : grid)
        for (auto &cell : row)
            cell = ' ';
    current = {1, 1, SCREEN_ROWS, SCREEN_COLUMNS};
    cursor_row = 1;
    cursor_column = 1;
}

void screen_window(unsigned top, unsigned left, unsigned bottom, unsigned right) {
    current = {top, left, bottom, right};
    cursor_row = top;
    cursor_column = left;
}

void screen_cursor(unsigned *row, unsigned *column) {
    *row = cursor_row - current.top + 1;
    *column = cursor_column - current.left + 1;
}

void screen_goto(unsigned row, unsigned column) {
    cursor_row = current.top + row - 1;
    cursor_column = current.left + column - 1;
}
