// The real-mode build's side of the build differences: the flash-map check before the
// upgrade command, its own failure and completion messages, and the line-mode spinner.
#include "app/console.h"
#include "console_realmode.h"
#include "flash_map.h"
#include "session/build_variant.h"
#include "session/session.h"

void session_starting() {
    flash_check_active = false;
}

bool prepare_upgrade_command() {
    if (!check_flash_map())
        return false;
    read_target_line(false, 0, 0);
    return true;
}

void report_session_failure() {
    console_print(flash_check_active
                      ? "\r\n*** Contact Halvren Technical Support for assistance. ***\r\n"
                      : "\r\nERROR - Could not obtain download prompt.\r\n");
}

// The first line goes at once: nothing more is read after the target's NAK.
void line_mode_chosen() {}

void report_line_mode_complete() {
    show_progress(100);
    console_print("\r\nDownload Complete.\r\n");
}

void line_sent() {
    advance_spinner();
}
