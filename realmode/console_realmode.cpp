// The real-mode console: messages in the message window, the download header and the
// percentage bar in the status window above it.
#include "console_realmode.h"

#include <stdio.h>
#include <string.h>

#include "app/console.h"
#include "screen.h"
#include "serial/serial.h"

namespace {

const unsigned STATUS_TOP = 1;
const unsigned STATUS_BOTTOM = 15;
const unsigned MESSAGE_TOP = 16;
const unsigned MESSAGE_BOTTOM = SCREEN_ROWS;

const unsigned BANNER_ROW = 2;
const unsigned CLOSING_LINE_ROW = 14;
const unsigned CLOSING_LINE_LENGTH = 79; // one short of the width, so the window never scrolls
const unsigned HEADER_ROW = 12;
const unsigned LABEL_ROW = 6;
const unsigned LABEL_COLUMN = 29;
const unsigned FIGURE_COLUMN = 47;
const unsigned BOX_TOP = 7;
const unsigned BAR_ROW = 8;
const unsigned BOX_BOTTOM = 9;
const unsigned BOX_LEFT = 24;
const unsigned BAR_CELLS = 28;
const unsigned BOX_RIGHT = BOX_LEFT + BAR_CELLS + 1;

// Code page 437 box drawing and blocks.
const char DOUBLE_HORIZONTAL = (char)0xCD;
const char DOUBLE_VERTICAL = (char)0xBA;
const char TOP_LEFT = (char)0xC9;
const char TOP_RIGHT = (char)0xBB;
const char BOTTOM_LEFT = (char)0xC8;
const char BOTTOM_RIGHT = (char)0xBC;
const char FULL_BLOCK = (char)0xDB;
const char LEFT_HALF_BLOCK = (char)0xDD;

const char SPINNER_CHARS[] = "|/-\\";
const uint16_t SPINNER_BAUD_PER_STEP = 2400;

// The line-mode spinner: lines sent, the next of SPINNER_CHARS to show, and the lines per
// change (0 until the first line).
uint16_t spinner_count = 0;
uint16_t spinner_position = 0;
uint16_t spinner_period = 0;

void status_window() {
    screen_window(STATUS_TOP, 1, STATUS_BOTTOM, SCREEN_COLUMNS);
}

void message_window() {
    screen_window(MESSAGE_TOP, 1, MESSAGE_BOTTOM, SCREEN_COLUMNS);
}

void write_at(unsigned row, unsigned column, const char *text, size_t length) {
    screen_goto(row, column);
    console_write(text, length);
}

void repeat_at(unsigned row, unsigned column, char c, unsigned count) {
    char run[SCREEN_COLUMNS];
    memset(run, c, count);
    write_at(row, column, run, count);
}

} // namespace

void console_print(const char *text) {
    console_write(text, strlen(text));
}

void lay_out_screen(const char *banner) {
    screen_clear();
    status_window();
    write_at(BANNER_ROW, 1, banner, strlen(banner));
    repeat_at(CLOSING_LINE_ROW, 1, DOUBLE_HORIZONTAL, CLOSING_LINE_LENGTH);
    message_window();
}

void print_download_header(const char *file_name, char port_char) {
    unsigned row, column;
    screen_cursor(&row, &column);
    status_window();

    // The name is cut to 64 characters so that its line, 79 columns at most, stays on its row:
    // a wrapped line would push the second one onto the line that closes the window.
    char header[160];
    snprintf(header, sizeof header, "Downloading %.64s --\r\nCom port: %c, Baud Rate: %lu . . .",
             file_name, port_char, (unsigned long)baud_rate);
    write_at(HEADER_ROW, 1, header, strlen(header));

    repeat_at(BOX_TOP, BOX_LEFT + 1, DOUBLE_HORIZONTAL, BAR_CELLS);
    repeat_at(BOX_BOTTOM, BOX_LEFT + 1, DOUBLE_HORIZONTAL, BAR_CELLS);
    write_at(BOX_TOP, BOX_LEFT, &TOP_LEFT, 1);
    write_at(BOX_BOTTOM, BOX_LEFT, &BOTTOM_LEFT, 1);
    write_at(BOX_TOP, BOX_RIGHT, &TOP_RIGHT, 1);
    write_at(BOX_BOTTOM, BOX_RIGHT, &BOTTOM_RIGHT, 1);
    write_at(BAR_ROW, BOX_LEFT, &DOUBLE_VERTICAL, 1);
    write_at(BAR_ROW, BOX_RIGHT, &DOUBLE_VERTICAL, 1);

    const char label[] = "Percent Complete:";
    write_at(LABEL_ROW, LABEL_COLUMN, label, sizeof label - 1);

    message_window();
    screen_goto(row, column);
}

void show_progress(uint32_t percent) {
    // Callers pass 0 to 100; a larger figure must not draw the bar over the box.
    uint16_t shown = percent > 100 ? 100 : (uint16_t)percent;
    uint16_t half_cells = (uint16_t)((uint16_t)(BAR_CELLS * shown) / 50);

    unsigned row, column;
    screen_cursor(&row, &column);
    status_window();

    char figure[8];
    snprintf(figure, sizeof figure, "%3u", (unsigned)shown);
    write_at(LABEL_ROW, FIGURE_COLUMN, figure, strlen(figure));

    // Nothing is erased: after a smaller figure the longer bar stays.
    char bar[BAR_CELLS];
    unsigned cells = half_cells / 2;
    memset(bar, FULL_BLOCK, cells);
    if (half_cells % 2 != 0)
        bar[cells++] = LEFT_HALF_BLOCK;
    write_at(BAR_ROW, BOX_LEFT + 1, bar, cells);

    message_window();
    screen_goto(row, column);
}

void advance_spinner() {
    if (spinner_period == 0) {
        spinner_period = (uint16_t)(baud_rate / SPINNER_BAUD_PER_STEP);
        if (spinner_period == 0)
            spinner_period = 1;
    }
    if (spinner_count % spinner_period == 0) {
        console_write(&SPINNER_CHARS[spinner_position % 4], 1);
        ++spinner_position;
        // Back onto the character, so that the next one overwrites it.
        unsigned row, column;
        screen_cursor(&row, &column);
        if (column > 1)
            screen_goto(row, column - 1);
    }
    ++spinner_count;
}
