// A command-line target played over the scripted link: echoes what it receives at its speed,
// garbles it at any other, shows prompts, takes a login and the upgrade command.
#ifndef TESTS_UNIT_SESSION_FAKE_TARGET_H
#define TESTS_UNIT_SESSION_FAKE_TARGET_H

#include <cstdint>
#include <functional>
#include <string>

namespace fake_target {

struct settings {
    uint32_t speed = 57600;         // speed its command line answers at
    uint32_t upgrade_speed = 57600; // speed after the upgrade command
    bool waiting = false;           // already shows the download-waiting line
    bool login = false;             // asks "User# > " first
    std::string user = "1234";
    std::string password = "secret";
    bool upper_case_echo = false;            // echoes letters in the other case
    bool shows_waiting_after_upgrade = true; // else back at its command prompt
    bool answers_after_upgrade = true;       // echo test works again after the upgrade command
};

// Starts the target on the test link (after test_link::reset()).
void start(const settings &s);

// Called for every line the target completes in download-waiting mode ("download_firmware").
void on_waiting_line(std::function<void(const std::string &)> handler);

// Once set, "download_firmware" typed in download-waiting mode is answered with ACK and every
// later byte goes to the handler instead of the command line.
void on_transfer_byte(std::function<void(unsigned char)> handler);

// What the target answers to "download_firmware" (ACK unless set).
void download_reply(const std::string &bytes);

// Back to the command line (the handler may call it to take "download_firmware" again).
void restart_command_phase();

// Lines the target received as commands, in order (without their line ends).
const std::vector<std::string> &commands();

// How many times the operator logged in, successfully or not.
unsigned logins();

} // namespace fake_target

#endif
