// Login and upgrade-mode entry: bring the target to its download-waiting line.
#include <string.h>

#include "app/console.h"
#include "app/terminal.h"
#include "build_variant.h"
#include "serial/serial.h"
#include "session.h"

const char UPGRADE_COMMAND[] =
    "_UPGRADE_SYSTEM_CODE_ 0x5A3C1E07 0x6B2F4D19 0x3E7A0C55 0x1D6E4B28\r";
const char FIRMWARE_CORRUPTED_LINE[] = "==> Firmware corrupted: download system software\r\n";

char target_line[TARGET_LINE_MAX + 2];

namespace {

const char LOGIN_PROMPT[] = "User# > ";
const char COMMAND_PROMPT[] = " > ";
const char HELD_BACK_WORD[] = "corrupted";
const unsigned FIRST_CHAR_ATTEMPTS = 5;
const unsigned NEXT_CHAR_ATTEMPTS = 2;
const unsigned PROMPT_CHECKS = 3;
const unsigned PROMPT_CHECKS_AFTER_LOGIN = 5;

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
    // The word is held back from the echo while the line matches the message up to it.
    const char *word_position = 0;
    const char *message_cursor = 0;
    const char *word_cursor = 0;
    if (echo && message != 0 && word != 0) {
        word_position = strstr(message, word);
        if (word_position != 0)
            message_cursor = message;
    }

    unsigned kept = 0;
    unsigned char c;
    if (!receive_byte(&c, FIRST_CHAR_ATTEMPTS, 0)) {
        target_line[0] = '\0';
        return;
    }
    for (;;) {
        if (echo) {
            bool held = false;
            if (message_cursor != 0 && message_cursor == word_position)
                word_cursor = word;
            if (word_cursor != 0) {
                if (*word_cursor != '\0' && (unsigned char)*word_cursor == c) {
                    ++word_cursor;
                    ++message_cursor;
                    held = true;
                } else {
                    word_cursor = 0;
                    message_cursor = message;
                }
            }
            if (!held) {
                if (message_cursor != 0) {
                    if (*message_cursor != '\0' && (unsigned char)*message_cursor == c)
                        ++message_cursor;
                    else
                        message_cursor = message;
                }
                echo_char(c);
            }
        }
        target_line[kept++] = (char)c;
        if (c == '\n') {
            if (line_has_text(kept))
                break;
            kept = 0; // a blank line is dropped
        }
        if (kept == TARGET_LINE_MAX)
            break; // the rest of a longer line is left for the next read
        if (!receive_byte(&c, NEXT_CHAR_ATTEMPTS, 0))
            break;
    }
    target_line[kept] = '\0';
}

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

bool open_session() {
    session_starting();
    if (!autobaud()) {
        console_print("\r\nCould not establish communications.\r\n");
        return false;
    }
    for (unsigned attempt = 0; attempt < MAX_SESSION_ATTEMPTS; ++attempt) {
        // 1. Ask for a fresh line; a target already waiting needs nothing more.
        purge_input();
        send_command("\n", 0);
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
        send_command(UPGRADE_COMMAND, 1);
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
