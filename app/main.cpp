// Program entry: banner, self-test, command line, image check, confirmation, download.
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
#include "transfer/crc32.h"

namespace {

const char BANNER[] = "                Halvren Security Systems Firmware Downloader      \r\n"
                      "                            32-bit Version 1.00                  \r\n"
                      "         Kestrel loader, built and maintained by its developers \r\n";

const char USAGE[] = "\r\nUsage: kestrelload <filename> <port>\r\n"
                     "       <filename>: CPU Firmware executable file in S-Record format\r\n"
                     "           <port>: Com port number from 1 to 9\r\n";

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

bool port_argument_valid(const char *port) {
    return port[0] >= '1' && port[0] <= '9' && port[1] == '\0';
}

} // namespace

int main(int argc, char **argv) {
    console_open();
    console_print("\r\n");
    console_print(BANNER);
    if (!crc_self_test())
        return 1;
    if (argc != 3 || !port_argument_valid(argv[2])) {
        console_print(USAGE);
        return 1;
    }
    const char *file_name = argv[1];
    image_file = fopen(file_name, "rb");
    if (image_file == 0) {
        print_with_file_name("\r\nCould not open file \"", file_name, "\"\r\n");
        return 1;
    }
    if (!is_srecord_image(image_file)) {
        fclose(image_file);
        image_file = 0;
        print_with_file_name("\r\nFile \"", file_name, "\" is not a valid code file\r\n");
        return 1;
    }

    console_print(WARNING);
    bool success = true;
    if (toupper(console_key_echo()) != 'Y') {
        console_print("\r\n\nFirmware download aborted.\r\n");
    } else {
        port_number = (unsigned)(argv[2][0] - '0');
        console_print("\r\n\n");
        success = run_download(file_name, argv[2][0]);
        close_port();
        console_print(success ? "\r\nDownload successful.\r\n"
                              : "\r\nERROR - Download not successful.\r\n");
    }
    fclose(image_file);
    image_file = 0;
    return success ? 0 : 1;
}
