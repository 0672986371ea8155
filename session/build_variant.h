// The few places where the main build and the real-mode build differ inside the shared
// session and transfer logic. Each build links its own definitions.
#ifndef SESSION_BUILD_VARIANT_H
#define SESSION_BUILD_VARIANT_H

// session_starting: open_session has begun.
void session_starting();

// prepare_upgrade_command: the target shows its command prompt and the upgrade command is
// next; false ends the session at once (its reason printed).
bool prepare_upgrade_command();

// report_session_failure: open_session failed; prints the driver's message for it.
void report_session_failure();

// line_mode_chosen: the target asked for line mode; the first line goes right after.
void line_mode_chosen();

// report_line_mode_complete: the target's EOT ended a line-mode download.
void report_line_mode_complete();

// line_sent: a new line of the image has gone to the target.
void line_sent();

#endif
