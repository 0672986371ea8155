#include "fake_target.h"

#include <cctype>
#include <vector>

#include "serial/serial.h"
#include "session/session.h"
#include "support/test_link.h"

namespace fake_target {
namespace {

enum class mode { user, password, command, waiting };

settings config;
mode state;
uint32_t current_speed;
std::string line;
std::vector<std::string> received_commands;
unsigned login_count;
std::string entered_user;
std::function<void(const std::string &)> waiting_handler;
std::function<void(unsigned char)> transfer_handler;
bool transferring;
std::string start_reply;

const char COMMAND_PROMPT[] = "kestrel > ";
const char LOGIN_PROMPT[] = "User# > ";

std::string prompt() {
    switch (state) {
    case mode::user:
        return LOGIN_PROMPT;
    case mode::password:
        return "Password: ";
    case mode::command:
        return COMMAND_PROMPT;
    case mode::waiting:
        return FIRMWARE_CORRUPTED_LINE;
    }
    return "";
}

void complete_line() {
    std::string text = line;
    line.clear();
    if (state == mode::user) {
        if (!text.empty() && text != "1234abcd") { // the link test is no user number
            entered_user = text;
            state = mode::password;
        }
        test_link::target_says("\r\n" + prompt());
        return;
    }
    if (state == mode::password) {
        ++login_count;
        state =
            (entered_user == config.user && text == config.password) ? mode::command : mode::user;
        test_link::target_says("\r\n" + prompt());
        return;
    }
    if (state == mode::waiting) {
        if (transfer_handler && text == "download_firmware") {
            transferring = true;
            test_link::target_says(start_reply);
        } else if (waiting_handler && !text.empty())
            waiting_handler(text);
        else if (text.empty() || text == "1234abcd")
            test_link::target_says(prompt());
        return;
    }
    if (!text.empty())
        received_commands.push_back(text);
    if (text == std::string(UPGRADE_COMMAND).substr(0, std::string(UPGRADE_COMMAND).size() - 1)) {
        test_link::target_says("Restarting in upgrade mode\r\n");
        state = config.shows_waiting_after_upgrade ? mode::waiting : mode::command;
        current_speed = config.answers_after_upgrade ? config.upgrade_speed : 0;
        return;
    }
    if (text.empty())
        test_link::target_says(prompt());
    else
        test_link::target_says("unknown command\r\n" + std::string(COMMAND_PROMPT));
}

void receive(unsigned char c) {
    if (transferring) {
        transfer_handler(c);
        return;
    }
    if (baud_rate != current_speed) {
        test_link::target_says(std::string(1, '\0')); // framing errors read as NUL
        return;
    }
    if (c == 0x03)
        return;
    if (c == '\r' || c == '\n') {
        if (state != mode::password)
            test_link::target_says("\r\n");
        complete_line();
        return;
    }
    line += static_cast<char>(c);
    if (state == mode::password)
        test_link::target_says("*");
    else if (config.upper_case_echo && std::isalpha(c))
        test_link::target_says(std::string(
            1, static_cast<char>(std::toupper(c) == c ? std::tolower(c) : std::toupper(c))));
    else
        test_link::target_says(std::string(1, static_cast<char>(c)));
}

} // namespace

void start(const settings &s) {
    config = s;
    state = s.waiting ? mode::waiting : (s.login ? mode::user : mode::command);
    current_speed = s.waiting ? s.upgrade_speed : s.speed;
    line.clear();
    received_commands.clear();
    login_count = 0;
    waiting_handler = nullptr;
    transfer_handler = nullptr;
    transferring = false;
    start_reply = "\x06";
    test_link::on_write(receive);
}

void on_waiting_line(std::function<void(const std::string &)> handler) {
    waiting_handler = std::move(handler);
}
void on_transfer_byte(std::function<void(unsigned char)> handler) {
    transfer_handler = std::move(handler);
}
void download_reply(const std::string &bytes) {
    start_reply = bytes;
}
void restart_command_phase() {
    transferring = false;
}
const std::vector<std::string> &commands() {
    return received_commands;
}
unsigned logins() {
    return login_count;
}

} // namespace fake_target
