// Entry of the real-mode build: the same flow as the main build, with the port chosen from
// COM1 and COM2 (asked for when not given), the PC's own UART and a full-screen layout.
#include "app/console.h"
#include "app/flow.h"
#include "app/terminal.h"
#include "console_realmode.h"
#include "serial/serial.h"
#include "transfer/crc32.h"
#include "uart.h"

namespace {

const char BANNER[] = BANNER_TITLE_LINE
    "                            16-bit Version 1.81                  \r\n" BANNER_OWNER_LINE;

const char USAGE[] = "\r\nUsage: download <filename> [1|2]\r\n"
                     "       <filename>: CPU Firmware executable file in S-Record format\r\n"
                     "            [1|2]: Optional Com port designator\r\n";

// Lets the PC's timer settle before the screen is laid out (about 0.44 s).
const uint16_t START_PAUSE_TICKS = 8;

bool is_port_char(char c) {
    return c == '1' || c == '2';
}

// The port character from the operator; 0 after an illegal answer (its message printed).
char ask_port() {
    console_print("\r\n\nSelect PC COM Port Number for download (1 or 2):  ");
    char answer = (char)console_key_echo();
    if (is_port_char(answer))
        return answer;
    console_print("\r\n\nIllegal Entry (must be 1 or 2).");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    // 1. Banner and self-test.
    console_open();
    print_banner(BANNER);
    if (!crc_self_test())
        return 1;

    // 2. Command line: the file, and the port when given.
    if (argc < 2 || argc > 3 || (argc == 3 && (!is_port_char(argv[2][0]) || argv[2][1] != '\0'))) {
        console_print(USAGE);
        return 1;
    }
    const char *file_name = argv[1];
    char port_char = argc == 3 ? argv[2][0] : 0;

    // 3. The file, checked before the operator is asked anything.
    if (!open_image(file_name))
        return 1;

    // 4. Confirmation, then the port.
    bool success = true;
    if (operator_confirms()) {
        if (port_char == 0)
            port_char = ask_port();
        if (port_char == 0) {
            print_download_aborted();
        } else {
            // 5. The download, on the laid-out screen.
            console_print("\r\n");
            calibrate_delay();
            wait_ticks(START_PAUSE_TICKS);
            lay_out_screen(BANNER);
            success = run_confirmed_download(file_name, port_char);
        }
    }

    // 6. Whatever the answer: the port (harmless when never opened) and the file.
    close_port();
    close_image();
    return success ? 0 : 1;
}
