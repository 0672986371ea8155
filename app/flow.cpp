#include "flow.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/console.h"
#include "app/terminal.h"
#include "image/srecord.h"
#include "serial/serial.h"
#include "session/driver.h"
#include "session/session.h"

namespace {

const char WARNING[] = "\r\n\nNOTE:  This download may take up to 20 minutes (or longer\r\n"
                       "at slow baud rates) to complete.  Once a firmware download\r\n"
                       "is started, the system will be INOPERABLE until the download\r\n"
                       "has completed successfully.\r\n\n"
                       "WARNING:  This program will overwrite system firmware.\r\n"
                       "ALL SYSTEM CONFIGURATION INFORMATION WILL BE ERASED!\r\n"
                       "Please make a record of all user-programmed data BEFORE\r\n"
                       "downloading new firmware.  Press 'N' to abort download.\r\n\n"
                       "Continue? (Y, [N])  ";

// Prints a message that quotes the file name; the name may be as long as the command line
// allows, so the text is formatted into storage sized for it, or printed in pieces.
void print_with_file_name(const char *before, const char *name, const char *after) {
    size_t size = strlen(before) + strlen(name) + strlen(after) + 1;
    char *text = (char *)malloc(size);
    if (text == 0) {
        console_print(before);
        console_print(name);
        console_print(after);
        return;
    }
    snprintf(text, size, "%s%s%s", before, name, after);
    console_print(text);
    free(text);
}

} // namespace

void print_banner(const char *banner) {
    console_print("\r\n");
    console_print(banner);
}

bool open_image(const char *file_name) {
    image_file = fopen(file_name, "rb");
    if (image_file == 0) {
        print_with_file_name("\r\nCould not open file \"", file_name, "\"\r\n");
        return false;
    }
    if (!is_srecord_image(image_file)) {
        close_image();
        print_with_file_name("\r\nFile \"", file_name, "\" is not a valid code file\r\n");
        return false;
    }
    return true;
}

bool operator_confirms() {
    console_print(WARNING);
    if (toupper(console_key_echo()) == 'Y')
        return true;
    print_download_aborted();
    return false;
}

bool run_confirmed_download(const char *file_name, char port_char) {
    port_number = (unsigned)(port_char - '0');
    bool success = run_download(file_name, port_char);
    close_port();
    console_print(success ? "\r\nDownload successful.\r\n"
                          : "\r\nERROR - Download not successful.\r\n");
    return success;
}

void print_download_aborted() {
    console_print("\r\n\nFirmware download aborted.\r\n");
}

void close_image() {
    if (image_file != 0)
        fclose(image_file);
    image_file = 0;
}
