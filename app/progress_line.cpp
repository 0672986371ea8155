#include "console.h"

#include <stdio.h>
#include <string.h>

#include "serial/serial.h"
#include "terminal.h"

// True while the last thing written is a progress line without its line end.
static bool progress_line_open = false;

void console_print(const char *text) {
    if (progress_line_open) {
        console_write("\r\n", 2);
        progress_line_open = false;
    }
    console_write(text, strlen(text));
}

void show_progress(uint32_t percent) {
    char text[40];
    // Both forms are 17 characters, so each one covers the previous one completely.
    if (percent < 100)
        snprintf(text, sizeof text, "%3u%% complete... ", (unsigned)percent);
    else
        snprintf(text, sizeof text, "100%% complete.   ");
    if (progress_line_open) {
        console_line_start();
        progress_line_open = false;
    } else {
        // A new progress line always starts on a fresh line.
        progress_line_open = true;
    }
    console_print(text);
    progress_line_open = true;
}

void print_download_header(const char *file_name, char port_char) {
    char header[160];
    console_print("\r\n\n");
    snprintf(header, sizeof header, "Downloading %.80s --\r\nCom port: %c, Baud Rate: %lu . . .",
             file_name, port_char, (unsigned long)baud_rate);
    console_print(header);
    console_print("\r\n\n");
}
