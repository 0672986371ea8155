// Console back end on the Win32 console: output to the standard-output handle, keys from the
// console itself so that redirected standard input never answers a question.
#include "terminal.h"

#include <conio.h>
#include <stdio.h>
#include <windows.h>

namespace {

HANDLE console_output = INVALID_HANDLE_VALUE;
// Console calls fail on redirected output (a file or a pipe): that gets plain bytes instead.
bool output_is_console = false;

void write_file_all(const char *text, size_t length) {
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(console_output, text, (DWORD)length, &written, NULL) || written == 0)
            return;
        text += written;
        length -= written;
    }
}

// The console's own input, opened only to learn whether there is one: a process started
// without a console would otherwise wait on a key read that can never be answered.
bool have_console_input() {
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (input == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(input);
    return true;
}

} // namespace

void console_open() {
    console_output = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    output_is_console = GetConsoleScreenBufferInfo(console_output, &info) != 0;
}

void console_write(const char *text, size_t length) {
    DWORD written;
    if (output_is_console)
        WriteConsoleA(console_output, text, (DWORD)length, &written, NULL);
    else
        write_file_all(text, length);
}

void console_line_start() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (output_is_console && GetConsoleScreenBufferInfo(console_output, &info)) {
        COORD line_start = {0, info.dwCursorPosition.Y};
        SetConsoleCursorPosition(console_output, line_start);
    } else {
        write_file_all("\r", 1);
    }
}

int console_key_echo() {
    if (!have_console_input())
        return CARRIAGE_RETURN;
    // The echo goes where the key was typed: to the console, also when output is redirected.
    int key = _getche();
    return key == EOF ? CARRIAGE_RETURN : key;
}

int console_key() {
    if (!have_console_input())
        return CARRIAGE_RETURN;
    int key = _getch();
    return key == EOF ? CARRIAGE_RETURN : key;
}

void console_bell() {
    _putch(7);
}
