// Session set-up: link establishment, login and upgrade-mode entry.
#ifndef SESSION_SESSION_H
#define SESSION_SESSION_H

const unsigned TARGET_LINE_MAX = 82;

// The port the operator named (1-9); set by the program flow after the confirmation.
extern unsigned port_number;

// The last line (or prompt) read from the target, NUL-terminated.
extern char target_line[TARGET_LINE_MAX + 2];

// autobaud: true with the port open at the first speed whose echo test passed (baud_rate
// holds it); false with the port closed. Prints the speeds it tries.
bool autobaud();

// read_target_line: collects one non-blank line (to its LF, 82 characters, 2 s of silence, or
// MAX_TARGET_CHATTER characters read) into target_line. With echo on, shows it, holding back
// `word` inside `message` when both are given.
void read_target_line(bool echo, const char *message, const char *word);

// open_session: true when the target shows the download-waiting line, port open.
bool open_session();

#endif
