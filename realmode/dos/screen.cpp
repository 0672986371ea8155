// The DOS build's screen and keys. Until the program first places the cursor, text goes to
// standard output through DOS (so it can be redirected); from then on it goes into the
// current window through the BIOS, which scrolls the window's own rows. Keys are read
// through DOS, from a file when standard input is redirected.
#include "realmode/screen.h"

#include <stdint.h>

#include "dos.h"

namespace {

// BIOS video functions of interrupt 0x10, each as the AX that selects it: the function in AH,
// and where the function takes an argument in AL, that or'ed in.
const uint16_t VIDEO_SET_CURSOR = 0x0200;
const uint16_t VIDEO_GET_CURSOR = 0x0300;
const uint16_t VIDEO_SCROLL_UP = 0x0600;  // AL: lines, 0 blanks the window
const uint16_t VIDEO_WRITE_CHAR = 0x0900; // AL: the character, at the cursor
const uint16_t VIDEO_TELETYPE = 0x0E00;   // AL: the character, control characters obeyed

const unsigned char TEXT_ATTRIBUTE = 0x07; // light grey on black
const unsigned TAB_WIDTH = 8;
const unsigned char BELL = 0x07;
const uint16_t DEVICE_FLAG = 0x80;

struct window {
    unsigned top, left, bottom, right;
};

window current = {1, 1, SCREEN_ROWS, SCREEN_COLUMNS};
unsigned cursor_row = 1; // absolute, counted from 1
unsigned cursor_column = 1;
bool placed = false;

enum key_source { UNKNOWN, DEVICE, REDIRECTED };
key_source keys = UNKNOWN;

void bios_video(uint16_t ax, uint16_t bx, uint16_t cx, uint16_t dx) {
    dos_regs regs;
    dos_regs_init(&regs, ax);
    regs.ebx = bx;
    regs.ecx = cx;
    regs.edx = dx;
    dos_call(BIOS_VIDEO_INTERRUPT, &regs);
}

uint16_t position(unsigned row, unsigned column) {
    return (uint16_t)((row - 1) << 8 | (column - 1));
}

void set_bios_cursor() {
    bios_video(VIDEO_SET_CURSOR, 0, 0, position(cursor_row, cursor_column));
}

// The BIOS cursor, when the program takes the screen over from the stream.
void take_cursor() {
    if (placed)
        return;
    placed = true;
    dos_regs regs;
    dos_regs_init(&regs, VIDEO_GET_CURSOR);
    dos_call(BIOS_VIDEO_INTERRUPT, &regs);
    cursor_row = ((regs.edx >> 8) & 0xFF) + 1;
    cursor_column = (regs.edx & 0xFF) + 1;
    if (cursor_row > SCREEN_ROWS)
        cursor_row = SCREEN_ROWS;
}

void scroll_window() {
    bios_video((uint16_t)(VIDEO_SCROLL_UP | 1), (uint16_t)(TEXT_ATTRIBUTE << 8),
               position(current.top, current.left), position(current.bottom, current.right));
}

void line_feed() {
    if (cursor_row < current.bottom)
        ++cursor_row;
    else
        scroll_window();
}

void put_glyph(unsigned char c) {
    set_bios_cursor();
    bios_video((uint16_t)(VIDEO_WRITE_CHAR | c), TEXT_ATTRIBUTE, 1, 0);
    if (++cursor_column > current.right) {
        cursor_column = current.left;
        line_feed();
    }
}

void put_char(unsigned char c) {
    switch (c) {
    case '\r':
        cursor_column = current.left;
        break;
    case '\n':
        line_feed();
        break;
    case '\b':
        if (cursor_column > current.left)
            --cursor_column;
        break;
    case '\a':
        console_bell();
        break;
    case '\t':
        do
            put_glyph(' ');
        while ((cursor_column - current.left) % TAB_WIDTH != 0);
        break;
    default:
        put_glyph(c);
        break;
    }
}

void write_stdout(const char *text, size_t length) {
    dos_regs regs;
    dos_regs_init(&regs, DOS_WRITE_FILE);
    regs.ebx = STDOUT_HANDLE;
    regs.ecx = (uint16_t)length;
    regs.edx = (uint16_t)(uintptr_t)text;
    dos_call(DOS_INTERRUPT, &regs);
}

unsigned clamp(unsigned value, unsigned low, unsigned high) {
    return value < low ? low : (value > high ? high : value);
}

// One key: from the keyboard through DOS (Ctrl-C checked), or the next byte of a redirected
// standard input, a carriage return once that has ended.
int read_key() {
    dos_check_break();
    if (keys == UNKNOWN) {
        dos_regs regs;
        dos_regs_init(&regs, DOS_DEVICE_INFO);
        regs.ebx = STDIN_HANDLE;
        dos_call(DOS_INTERRUPT, &regs);
        keys = !(regs.flags & DOS_CARRY) && (regs.edx & DEVICE_FLAG) ? DEVICE : REDIRECTED;
    }
    dos_regs regs;
    if (keys == DEVICE) {
        dos_regs_init(&regs, DOS_READ_KEY);
        dos_call(DOS_INTERRUPT, &regs);
        int key = regs.eax & 0xFF;
        if (key == 0) { // an extended key: its scan code follows
            dos_regs_init(&regs, DOS_READ_KEY);
            dos_call(DOS_INTERRUPT, &regs);
        }
        dos_check_break();
        return key;
    }
    unsigned char byte = 0;
    dos_regs_init(&regs, DOS_READ_FILE);
    regs.ebx = STDIN_HANDLE;
    regs.ecx = 1;
    regs.edx = (uint16_t)(uintptr_t)&byte;
    dos_call(DOS_INTERRUPT, &regs);
    if ((regs.flags & DOS_CARRY) || (regs.eax & 0xFFFF) != 1)
        return CARRIAGE_RETURN;
    return byte;
}

} // namespace

void console_open() {}

void console_write(const char *text, size_t length) {
    if (!placed) {
        write_stdout(text, length);
        return;
    }
    for (size_t i = 0; i < length; ++i)
        put_char((unsigned char)text[i]);
    set_bios_cursor();
}

void console_line_start() {
    console_write("\r", 1);
}

int console_key_echo() {
    int key = read_key();
    char shown = (char)key;
    console_write(&shown, 1);
    return key;
}

int console_key() {
    return read_key();
}

void console_bell() {
    bios_video(VIDEO_TELETYPE | BELL, 0, 0, 0);
}

void screen_clear() {
    placed = true;
    bios_video(VIDEO_SCROLL_UP, (uint16_t)(TEXT_ATTRIBUTE << 8), 0,
               position(SCREEN_ROWS + 1, SCREEN_COLUMNS));
    current = {1, 1, SCREEN_ROWS, SCREEN_COLUMNS};
    cursor_row = 1;
    cursor_column = 1;
    set_bios_cursor();
}

void screen_window(unsigned top, unsigned left, unsigned bottom, unsigned right) {
    take_cursor();
    current.top = clamp(top, 1, SCREEN_ROWS);
    current.bottom = clamp(bottom, current.top, SCREEN_ROWS);
    current.left = clamp(left, 1, SCREEN_COLUMNS);
    current.right = clamp(right, current.left, SCREEN_COLUMNS);
    cursor_row = current.top;
    cursor_column = current.left;
    set_bios_cursor();
}

void screen_cursor(unsigned *row, unsigned *column) {
    *row = cursor_row - current.top + 1;
    *column = cursor_column - current.left + 1;
}

void screen_goto(unsigned row, unsigned column) {
    take_cursor();
    cursor_row = clamp(current.top + row - 1, current.top, current.bottom);
    cursor_column = clamp(current.left + column - 1, current.left, current.right);
    set_bios_cursor();
}
