// The download driver: starts the transfer and answers the target's control bytes.
#include <stdio.h>

#include "app/console.h"
#include "build_variant.h"
#include "control_bytes.h"
#include "driver.h"
#include "image/sector_buffer.h"
#include "image/srecord.h"
#include "serial/serial.h"
#include "session.h"
#include "transfer/progress.h"
#include "transfer/transfer.h"

namespace {

const char DOWNLOAD_COMMAND[] = "download_firmware\n";
const unsigned CONTROL_WAIT_ATTEMPTS = 5;
const unsigned SYN_WAIT_ATTEMPTS = 15;
const unsigned LINE_PAUSE_MS = 1;

// The file's length without moving it from where it stands.
uint32_t image_file_length() {
    long position = ftell(image_file);
    if (position < 0 || fseek(image_file, 0, SEEK_END) != 0)
        return 0;
    long length = ftell(image_file);
    fseek(image_file, position, SEEK_SET);
    return length < 0 ? 0 : (uint32_t)length;
}

// The target's EOT says the image is complete, which it can be only once the file has run
// out or its terminator record (sent as S8) has gone. One flipped bit turns an ACK (0x06)
// into an EOT (0x04): taken earlier, it would report a partial image as downloaded.
bool whole_file_sent() {
    return end_of_file || (record_number > 0 && line_buffer[0] == 'S' && line_buffer[1] == '8');
}

} // namespace

bool run_download(const char *file_name, char port_char) {
    if (!open_session()) {
        report_session_failure();
        return false;
    }

    unsigned size_attempts = 0;
    bool line_mode = false;
    bool finished = false;
    progress_counter progress;
    start_progress(&progress, image_file_length());
    start_sector_progress();

    for (;;) {
        // Start (again, after a failed sector-size exchange).
        unsigned control_wait = CONTROL_WAIT_ATTEMPTS;
        bool resend_pending = false;
        uint8_t nak_count = 0;
        if (!send_command(DOWNLOAD_COMMAND, 0)) {
            console_print("\r\nERROR - Could not begin download.\r\n");
            return false;
        }
        if (size_attempts == 0)
            print_download_header(file_name, port_char);

        bool restart = false;
        while (!finished && !restart) {
            unsigned char control;
            if (!receive_byte(&control, control_wait, 1)) {
                console_print(line_mode && end_of_file
                                  ? "\r\nERROR - Receiver timeout OR not enough data in file.\r\n"
                                  : "\r\nERROR - Receiver timeout.\r\n");
                return false;
            }
            if (control == EOT) {
                if (line_mode && whole_file_sent()) {
                    report_line_mode_complete();
                    finished = true;
                }
            } else if (control == ACK) {
                if (!line_mode) {
                    // The first ACK chooses the transfer mode.
                    uint32_t sector_size = 0;
                    if (!request_sector_size(&sector_size)) {
                        ++size_attempts;
                        if (size_attempts >= MAX_SIZE_ATTEMPTS) {
                            console_print("\r\nERROR - Could not obtain sector size response\r\n");
                            return false;
                        }
                        console_print(
                            "\r\n\nCould not obtain sector size response - will try again\r\n");
                        restart = true;
                        continue;
                    }
                    if (sector_size != 0) {
                        if (!sector_buffer_allocate(sector_size)) {
                            console_print("\r\nERROR:  OUT OF MEMORY\r\n");
                            return false;
                        }
                        show_progress(0);
                        // On failure a further ACK starts a new exchange and a new transfer.
                        finished = send_sectors(sector_size);
                        sector_buffer_release();
                    } else {
                        show_progress(0);
                        line_mode = true;
                        resend_pending = false;
                        line_mode_chosen();
                    }
                }
                if (line_mode) {
                    // The first line goes without waiting for another ACK.
                    if (!resend_pending)
                        nak_count = 0;
                    if (end_of_file) {
                        console_print("\r\nERROR - Not enough data in file.\r\n");
                        return false;
                    }
                    if (resend_pending) {
                        if (!resend_line())
                            return false;
                    } else if (!send_next_line() && !end_of_file) {
                        return false;
                    }
                    sleep_ms(LINE_PAUSE_MS);
                }
                resend_pending = false;
                control_wait = CONTROL_WAIT_ATTEMPTS;
            } else if (control == NAK) {
                ++nak_count;
                if (nak_count >= MAX_RECORD_ATTEMPTS) {
                    console_print("\r\nERROR - Exceeded maximum download attempts for record.\r\n");
                    return false;
                }
                resend_pending = true;
            } else if (control == SYN) {
                nak_count = 0;
                control_wait = SYN_WAIT_ATTEMPTS;
            }

            // A file whose length could not be read (0) shows only its completion.
            if (line_mode && !finished)
                update_progress(&progress, line_bytes_sent);
        }
        if (finished)
            break;
    }

    if (!line_mode)
        show_progress(100);
    console_print("\r\n");
    return true;
}
