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
const unsigned MAX_RECORD_ATTEMPTS = 4;
const unsigned MAX_SIZE_ATTEMPTS = 3;

// Everything the driver keeps during one download.
struct driver_state {
    const char *file_name;     // for the header only
    char port_char;            // for the header only
    unsigned size_attempts;    // failed sector-size exchanges
    bool line_mode;            // the target chose line mode
    bool finished;             // the transfer went through
    unsigned control_wait;     // read attempts for the next control byte
    bool resend_pending;       // a NAK came: the next ACK sends the same line again
    uint8_t nak_count;         // NAKs for the current line
    unsigned since_ack;        // bytes received since the last ACK
    progress_counter progress; // line mode's, over the file's length
};

// The file's length without moving it from where it stands.
uint32_t image_file_length() {
    long position = ftell(image_file);
    if (position < 0 || fseek(image_file, 0, SEEK_END) != 0)
        return 0;
    long length = ftell(image_file);
    fseek(image_file, position, SEEK_SET);
    return length < 0 ? 0 : (uint32_t)length;
}

// Sends the download command, and the header with the first one only.
bool start_transfer(driver_state *state) {
    state->control_wait = CONTROL_WAIT_ATTEMPTS;
    state->resend_pending = false;
    state->nak_count = 0;
    if (!send_command(DOWNLOAD_COMMAND, ECHO_OFF)) {
        console_print("\r\nERROR - Could not begin download.\r\n");
        return false;
    }
    if (state->size_attempts == 0)
        print_download_header(state->file_name, state->port_char);
    return true;
}

// EOT ends a line-mode download, but only once the whole file has gone.
void answer_eot(driver_state *state) {
    if (state->line_mode && whole_file_sent()) {
        report_line_mode_complete();
        state->finished = true;
    }
}

// An ACK in line mode asks for a line: the next one, or after a NAK the same one again. Once
// the file has run out nothing goes, and the target is expected to end with EOT.
bool send_line(driver_state *state) {
    if (!state->resend_pending)
        state->nak_count = 0;
    if (end_of_file) {
        console_print("\r\nERROR - Not enough data in file.\r\n");
        return false;
    }
    if (state->resend_pending) {
        if (!resend_line())
            return false;
    } else if (send_next_line()) {
        line_sent();
    } else if (!end_of_file) {
        return false;
    }
    sleep_ms(LINE_PAUSE_MS);
    return true;
}

// Sector mode sends the whole image at once. After a failure the driver goes on reading
// control bytes: a further ACK starts a new exchange and a new transfer.
bool send_in_sectors(driver_state *state, uint32_t sector_size) {
    if (!sector_buffer_allocate(sector_size)) {
        console_print("\r\nERROR:  OUT OF MEMORY\r\n");
        return false;
    }
    show_progress(0);
    state->finished = send_sectors(sector_size);
    sector_buffer_release();
    return true;
}

// The first ACK (and the first after a failed sector transfer) asks the target for its
// sector size, which chooses the mode. An exchange that fails starts the download again.
bool choose_mode(driver_state *state) {
    uint32_t sector_size = 0;
    if (!request_sector_size(&sector_size)) {
        ++state->size_attempts;
        if (state->size_attempts >= MAX_SIZE_ATTEMPTS) {
            console_print("\r\nERROR - Could not obtain sector size response\r\n");
            return false;
        }
        console_print("\r\n\nCould not obtain sector size response - will try again\r\n");
        return start_transfer(state);
    }
    if (sector_size != 0)
        return send_in_sectors(state, sector_size);
    show_progress(0);
    state->line_mode = true;
    state->resend_pending = false;
    start_line_mode();
    line_mode_chosen();
    // The first line goes without waiting for another ACK.
    return send_line(state);
}

bool answer_ack(driver_state *state) {
    if (!(state->line_mode ? send_line(state) : choose_mode(state)))
        return false;
    state->resend_pending = false;
    state->control_wait = CONTROL_WAIT_ATTEMPTS;
    return true;
}

// NAK: the next ACK resends the line; the fourth NAK for one line ends the download.
bool answer_nak(driver_state *state) {
    ++state->nak_count;
    if (state->nak_count >= MAX_RECORD_ATTEMPTS) {
        console_print("\r\nERROR - Exceeded maximum download attempts for record.\r\n");
        return false;
    }
    state->resend_pending = true;
    return true;
}

// SYN: the target needs longer until the next ACK, and the NAK count starts again.
void answer_syn(driver_state *state) {
    state->nak_count = 0;
    state->control_wait = SYN_WAIT_ATTEMPTS;
}

// Any other byte is ignored; the echo has shown it if it is printable.
bool answer_control_byte(driver_state *state, unsigned char control) {
    switch (control) {
    case EOT:
        answer_eot(state);
        return true;
    case ACK:
        return answer_ack(state);
    case NAK:
        return answer_nak(state);
    case SYN:
        answer_syn(state);
        return true;
    default:
        return true;
    }
}

} // namespace

bool run_download(const char *file_name, char port_char) {
    if (!open_session()) {
        report_session_failure();
        return false;
    }

    // 1. A download starts with nothing sent, and in no mode yet.
    driver_state state = {};
    state.file_name = file_name;
    state.port_char = port_char;
    start_progress(&state.progress, image_file_length());
    start_sector_progress();
    if (!start_transfer(&state))
        return false;

    // 2. The target leads, one control byte at a time.
    while (!state.finished) {
        unsigned char control;
        bool received = receive_byte(&control, state.control_wait, ECHO_ON);
        state.since_ack = received && control == ACK ? 0 : state.since_ack + 1;
        // A target that chatters without end has stopped answering as much as a silent one.
        if (!received || state.since_ack >= MAX_TARGET_CHATTER) {
            console_print(state.line_mode && end_of_file
                              ? "\r\nERROR - Receiver timeout OR not enough data in file.\r\n"
                              : "\r\nERROR - Receiver timeout.\r\n");
            return false;
        }
        if (!answer_control_byte(&state, control))
            return false;
        // A file whose length could not be read (0) shows only its completion.
        if (state.line_mode && !state.finished)
            update_progress(&state.progress, line_bytes_sent);
    }

    // 3. Sector mode's last figure is the driver's; line mode showed its own at the EOT.
    if (!state.line_mode)
        show_progress(100);
    console_print("\r\n");
    return true;
}
