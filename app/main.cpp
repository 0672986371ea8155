// Program entry: banner, self-test, command line, image check, confirmation, download.
#include "app/console.h"
#include "app/flow.h"
#include "app/terminal.h"
#include "transfer/crc32.h"

namespace {

const char BANNER[] = BANNER_TITLE_LINE
    "                            32-bit Version 1.00                  \r\n" BANNER_OWNER_LINE;

const char USAGE[] = "\r\nUsage: kestrelload <filename> <port>\r\n"
                     "       <filename>: CPU Firmware executable file in S-Record format\r\n"
                     "           <port>: Com port number from 1 to 9\r\n";

bool port_argument_valid(const char *port) {
    return port[0] >= '1' && port[0] <= '9' && port[1] == '\0';
}

} // namespace

int main(int argc, char **argv) {
    // 1. Banner and self-test, before the command line is looked at.
    console_open();
    print_banner(BANNER);
    if (!crc_self_test())
        return 1;
    // 2. Command line, then the file, checked before the operator is asked anything.
    if (argc != 3 || !port_argument_valid(argv[2])) {
        console_print(USAGE);
        return 1;
    }
    const char *file_name = argv[1];
    if (!open_image(file_name))
        return 1;
    // 3. Only now, after the operator's yes, is the port touched.
    bool success = true;
    if (operator_confirms()) {
        console_print("\r\n\n");
        success = run_confirmed_download(file_name, argv[2][0]);
    }
    close_image();
    return success ? 0 : 1;
}
