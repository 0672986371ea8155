// Login and upgrade-mode entry: bring the target to its download-waiting line.
#include <string.h>

#include "app/console.h"
#include "app/terminal.h"
#include "build_variant.h"
#include "control_bytes.h"
#include "serial/serial.h"
#include "session.h"

char target_line[TARGET_LINE_MAX + 2];

namespace {

const char UPGRADE_COMMAND[] =
    "_UPGRADE_SYSTEM_CODE_ 0x5A3C1E07 0x6B2F4D19 0x3E7A0C55 0x1D6E4B28\r";
const char FIRMWARE_CORRUPTED_LINE[] = "==> Firmware corrupted: download system software\r\n";
const char LOGIN_PROMPT[] = "User# > ";
const char COMMAND_PROMPT[] = " > ";
const char HELD_BACK_WORD[] = "corrupted";
const unsigned MAX_SESSION_ATTEMPTS = 4;
const unsigned FIRST_CHAR_ATTEMPTS = 5;
const unsigned NEXT_CHAR_ATTEMPTS = 2;
const unsigned PROMPT_CHECKS = 3;
const unsigned PROMPT_CHECKS_AFTER_LOGIN = 5;

// Follows the received characters through `message` so that `word` inside it is held back
// from the echo while the line matches the message up to and through the word.
struct held_back_word {
    const char *message;
    const char *word;
    const char *word_position;  // where word starts in message
    const char *message_cursor; // next character of message to match; 0: no message
    const char *word_cursor;    // next character of word to match; 0: not inside the word
};

void start_held_back_word(held_back_word *held, const char *message, const char *word) {
    held->message = message;
    held->word = word;
    held->word_position = 0;
    held->message_cursor = 0;
    held->word_cursor = 0;
    if (message != 0 && word != 0) {
        held->word_position = strstr(message, word);
        if (held->word_position != 0)
            held->message_cursor = message;
    }
}

// True when c is held back. A character that matched the start of the word stays unshown even
// when the match then fails; the character that breaks a match is not compared again.
bool hold_back(held_back_word *held, unsigned char c) {
    if (held->message_cursor != 0 && held->message_cursor == held->word_position)
        held->word_cursor = held->word;
    if (held->word_cursor != 0) {
        if (*held->word_cursor != '\0' && (unsigned char)*held->word_cursor == c) {
            ++held->word_cursor;
            ++held->message_cursor;
            return true;
        }
        held->word_cursor = 0;
        held->message_cursor = held->message;
    }
    if (held->message_cursor != 0) {
        if (*held->message_cursor != '\0' && (unsigned char)*held->message_cursor == c)
            ++held->message_cursor;
        else
            held->message_cursor = held->message;
    }
    return false;
}

bool line_has_text(unsigned length) {
    for (unsigned i = 0; i < length; ++i) {
        if (target_line[i] != '\r' && target_line[i] != '\n')
            return true;
    }
    return false;
}

bool target_shows(const char *text) {
    return strstr(target_line, text) != 0;
}

// The target's line, echoed, with the word held back; true when it is the download-waiting
// line.
bool target_waits_for_download() {
    read_target_line(true, FIRMWARE_CORRUPTED_LINE, HELD_BACK_WORD);
    return target_shows(FIRMWARE_CORRUPTED_LINE);
}

// Rings the bell, shows the prompt and passes each key to the target up to and including the
// carriage return; masked entries show "*".
void forward_operator_entry(const char *prompt, bool masked) {
    console_bell();
    console_print(prompt);
    // Each key goes to the target as typed: the target echoes and checks it, not us.
    for (;;) {
        int key = console_key();
        if (key != CARRIAGE_RETURN) {
            char shown[2] = {masked ? '*' : (char)key, '\0'};
            console_print(shown);
        }
        send_byte((unsigned char)key);
        if (key == CARRIAGE_RETURN)
            break;
    }
    console_print("\r\n");
}

// Lets the operator log in when the target asks; false after a failed login. Leaves the
// target's latest line in target_line.
bool reach_command_prompt() {
    bool login_done = false;
    unsigned checks = 0;
    for (;;) {
        if (target_shows(LOGIN_PROMPT)) {
            if (!login_done) {
                forward_operator_entry("\r\n\nMUST LOGIN - ENTER USER NUMBER:  ", false);
                read_target_line(false, 0, 0);
                read_target_line(false, 0, 0);
                forward_operator_entry("ENTER PASSWORD:  ", true);
                read_target_line(true, 0, 0);
                login_done = true;
            }
            if (target_shows(LOGIN_PROMPT)) {
                console_print("\r\n\nLogin failed.\r\n");
                return false;
            }
        }
        if (target_shows(COMMAND_PROMPT))
            return true;
        ++checks;
        if (checks >= (login_done ? PROMPT_CHECKS_AFTER_LOGIN : PROMPT_CHECKS))
            return true;
        read_target_line(true, 0, 0);
    }
}

} // namespace

void read_target_line(bool echo, const char *message, const char *word) {
    held_back_word held;
    start_held_back_word(&held, echo ? message : 0, word);
    unsigned kept = 0;
    unsigned read = 0;
    unsigned char c;
    bool received = receive_byte(&c, FIRST_CHAR_ATTEMPTS, ECHO_OFF);
    while (received) {
        ++read;
        if (echo && !hold_back(&held, c))
            echo_char(c);
        target_line[kept++] = (char)c;
        if (c == '\n') {
            if (line_has_text(kept))
                break;
            kept = 0; // a blank line is dropped
        }
        if (kept == TARGET_LINE_MAX)
            break; // the rest of a longer line is left for the next read
        if (read == MAX_TARGET_CHATTER)
            break; // blank lines without end
        received = receive_byte(&c, NEXT_CHAR_ATTEMPTS, ECHO_OFF);
    }
    target_line[kept] = '\0';
}

bool open_session() {
    session_starting();
    if (!autobaud()) {
        console_print("\r\nCould not establish communications.\r\n");
        return false;
    }
    for (unsigned attempt = 0; attempt < MAX_SESSION_ATTEMPTS; ++attempt) {
        // 1. Ask for a fresh line; a target already waiting needs nothing more.
        purge_input();
        send_command("\n", ECHO_OFF);
        if (target_waits_for_download())
            return true;
        // 2. Log in if asked, and find the command prompt.
        if (!reach_command_prompt())
            return false;
        if (!target_shows(COMMAND_PROMPT))
            continue;
        // 3. Upgrade mode restarts the target's line: find its speed again.
        if (!prepare_upgrade_command())
            return false;
        send_command(UPGRADE_COMMAND, ECHO_ON);
        read_target_line(false, 0, 0);
        close_port();
        if (!autobaud()) {
            console_print("\r\nCould not re-establish communications.\r\n");
            return false;
        }
        read_target_line(false, 0, 0);
        send_byte('\n');
        console_print("\r\n");
        if (target_waits_for_download())
            return true;
    }
    return false;
}
