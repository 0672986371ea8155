// Console output: every message goes through console_print, which first ends an open
// progress line, so a message never lands on the end of a percentage.
#ifndef APP_CONSOLE_H
#define APP_CONSOLE_H

#include <stdint.h>

// console_print: writes the text (NUL-terminated) in one console write.
void console_print(const char *text);

// show_progress: shows "NNN% complete... " (or "100% complete.   ") on the progress line,
// rewriting it in place when it is the current line.
void show_progress(uint32_t percent);

// print_download_header: "Downloading <name> --" and the port and speed line.
void print_download_header(const char *file_name, char port_char);

#endif
