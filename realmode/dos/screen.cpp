// The DOS build's screen and keys. Until the program first places the cursor, text goes to
// standard output through DOS (so it can be redirected); from then on it goes into the
// current window through the BIOS, which scrolls the window's own rows. Keys are read
// through DOS, from a file when standard input is redirected.
#include "realmode/screen.h"

#include <stdint.h>

#include "dos.h"
#include "realmode/screen_window.h"

namespace {

// BIOS video functions of interrupt 0x10, each as the AX that selects it: the function in AH,
// and where the function takes an argument in AL, that or'ed in.
const uint16_t VIDEO_SET_CURSOR = 0x0200;
const uint16_t VIDEO_GET_CURSOR = 0x0300;
const uint16_t VIDEO_SCROLL_UP = 0x0600;  // AL: lines, 0 blanks the window
const uint16_t VIDEO_WRITE_CHAR = 0x0900; // AL: the character, at the cursor
const uint16_t VIDEO_TELETYPE = 0x0E00;   // AL: the character, control characters obeyed

const unsigned char TEXT_ATTRIBUTE = 0x07; // light grey on black
const unsigned char BELL = 0x07;
const uint16_t DEVICE_FLAG = 0x80;

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

void write_stdout(const char *text, size_t length) {
    dos_regs regs;
    dos_regs_init(&regs, DOS_WRITE_FILE);
    regs.ebx = STDOUT_HANDLE;
    regs.ecx = (uint16_t)length;
    regs.edx = (uint16_t)(uintptr_t)text;
    dos_call(DOS_INTERRUPT, &regs);
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

bool screen_show_glyph(unsigned char c) {
    set_bios_cursor();
    bios_video((uint16_t)(VIDEO_WRITE_CHAR | c), TEXT_ATTRIBUTE, 1, 0);
    return true;
}

void screen_show_move(unsigned char) {}

void screen_show_line_feed(bool scrolls, bool) {
    if (scrolls)
        bios_video((uint16_t)(VIDEO_SCROLL_UP | 1), (uint16_t)(TEXT_ATTRIBUTE << 8),
                   position(window.top, window.left), position(window.bottom, window.right));
}

void console_open() {}

void console_write(const char *text, size_t length) {
    if (!placed) {
        write_stdout(text, length);
        return;
    }
    for (size_t i = 0; i < length; ++i)
        window_put((unsigned char)text[i]);
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
    window_whole_screen();
    set_bios_cursor();
}

void screen_window(unsigned top, unsigned left, unsigned bottom, unsigned right) {
    take_cursor();
    window_place(top, left, bottom, right);
    set_bios_cursor();
}

void screen_goto(unsigned row, unsigned column) {
    take_cursor();
    window_goto(row, column);
    set_bios_cursor();
}
