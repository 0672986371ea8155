// The real-mode build's screen on an 80x24 terminal with ANSI sequences. Each window is a
// scroll region; the cursor is tracked here rather than asked of the terminal. Until the
// program first places the cursor, text goes out as a plain stream.
#include "realmode/screen.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "app/terminal_posix.h"
#include "app/signals_posix.h"
#include "realmode/screen_window.h"

namespace {

// Code page 437 from 0x80 on, in UTF-8.
const char *const CP437_HIGH[128] = {
    "Ç", "ü", "é", "â", "ä", "à", "å", "ç", "ê", "ë", "è", "ï", "î", "ì", "Ä", "Å", "É", "æ", "Æ",
    "ô", "ö", "ò", "û", "ù", "ÿ", "Ö", "Ü", "¢", "£", "¥", "₧", "ƒ", "á", "í", "ó", "ú", "ñ", "Ñ",
    "ª", "º", "¿", "⌐", "¬", "½", "¼", "¡", "«", "»", "░", "▒", "▓", "│", "┤", "╡", "╢", "╖", "╕",
    "╣", "║", "╗", "╝", "╜", "╛", "┐", "└", "┴", "┬", "├", "─", "┼", "╞", "╟", "╚", "╔", "╩", "╦",
    "╠", "═", "╬", "╧", "╨", "╤", "╥", "╙", "╘", "╒", "╓", "╫", "╪", "┘", "┌", "█", "▄", "▌", "▐",
    "▀", "α", "ß", "Γ", "π", "Σ", "σ", "µ", "τ", "Φ", "Θ", "Ω", "δ", "∞", "φ", "ε", "∩", "≡", "±",
    "≥", "≤", "⌠", "⌡", "÷", "≈", "°", "∙", "·", "√", "ⁿ", "²", "■", " ",
};

// Set once the cursor has been placed: from then on the scroll region and the cursor are
// ours and must be given back at the end.
volatile sig_atomic_t placed = 0;
taken_signals taken;

char pending[512];
size_t pending_length = 0;

void flush() {
    terminal_write_all(pending, pending_length);
    pending_length = 0;
}

void emit(const char *text, size_t length) {
    if (pending_length + length > sizeof pending)
        flush();
    for (size_t i = 0; i < length; ++i)
        pending[pending_length++] = text[i];
}

void emit_text(const char *text) {
    emit(text, strlen(text));
}

void emit_cursor() {
    char sequence[16];
    snprintf(sequence, sizeof sequence, "\x1b[%u;%uH", cursor_row, cursor_column);
    emit_text(sequence);
}

void emit_scroll_region(unsigned top, unsigned bottom) {
    char sequence[16];
    snprintf(sequence, sizeof sequence, "\x1b[%u;%ur", top, bottom);
    emit_text(sequence);
}

void take_cursor() {
    placed = 1;
}

// At the end: the whole screen scrolls again, and the cursor stands below what was written.
void give_back_screen() {
    flush();
    if (!placed)
        return;
    bool mid_line = cursor_column != window.left;
    emit_text("\x1b[r");
    cursor_column = 1;
    emit_cursor();
    if (mid_line)
        emit_text("\r\n");
    flush();
}

// Only what a signal handler may do: fixed texts written straight out.
void give_back_on_signal(int signal_number) {
    if (placed) {
        const char reset[] = "\x1b[r\x1b[24;1H\r\n";
        terminal_write_all(reset, sizeof reset - 1);
    }
    pass_signal_on(signal_number, &taken);
}

} // namespace

bool screen_show_glyph(unsigned char c) {
    if (c < 0x20 || c == 0x7F)
        return false;
    if (c < 0x80)
        emit((const char *)&c, 1);
    else
        emit_text(CP437_HIGH[c - 0x80]);
    return true;
}

// Until the cursor is placed the text is a plain stream, which the terminal wraps itself.
void screen_show_move(unsigned char c) {
    if (placed)
        emit_cursor();
    else
        emit(c == '\r' ? "\r" : "\b", 1);
}

// A line feed on the window's last row scrolls the region, which is the window.
void screen_show_line_feed(bool scrolls, bool typed) {
    if (!placed) {
        if (typed)
            emit_text("\n");
        return;
    }
    emit_cursor();
    if (scrolls) {
        emit_text("\n");
        emit_cursor();
    }
}

void console_open() {
    cursor_row = SCREEN_ROWS; // a guess until the cursor is first placed
    // A reader that went away must cost only the text, not the run.
    signal(SIGPIPE, SIG_IGN);
    take_ending_signals(give_back_on_signal, &taken);
    atexit(give_back_screen);
}

void console_write(const char *text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        window_put((unsigned char)text[i]);
    flush();
}

void console_line_start() {
    console_write("\r", 1);
}

void console_bell() {
    emit_text("\a");
    flush();
}

void screen_clear() {
    take_cursor();
    window_whole_screen();
    emit_text("\x1b[r\x1b[2J");
    emit_cursor();
    flush();
}

void screen_window(unsigned top, unsigned left, unsigned bottom, unsigned right) {
    take_cursor();
    window_place(top, left, bottom, right);
    // A terminal scrolls whole rows: windows narrower than the screen scroll with their rows.
    emit_scroll_region(window.top, window.bottom);
    emit_cursor();
    flush();
}

void screen_goto(unsigned row, unsigned column) {
    take_cursor();
    window_goto(row, column);
    emit_cursor();
    flush();
}
