#include "scripted_target.h"

#include "session/session.h"
#include "support/test_link.h"

namespace scripted_target {
namespace {

enum class mode { command, waiting, transfer, silent };

const char PROMPT[] = "kestrel > ";
const char ACK = 0x06, NAK = 0x15, EOT = 0x04, SOH = 0x01;
const size_t SIZE_REQUEST_LENGTH = 9;

settings config;
mode state;
std::string line;
std::vector<std::string> received;

std::string upgrade_command() {
    std::string command = UPGRADE_COMMAND;
    return command.substr(0, command.size() - 1); // without its carriage return
}

void command_line(const std::string &text) {
    if (!text.empty())
        received.push_back(text);
    if (state == mode::waiting) {
        if (text == "download_firmware") {
            state = mode::transfer;
            test_link::target_says(std::string(1, ACK));
        } else if (text.empty()) {
            test_link::target_says(FIRMWARE_CORRUPTED_LINE);
        }
    } else if (text == "_DUMP_FLASH_MAP") {
        if (!config.silent_map)
            test_link::target_says(config.flash_map + "\r\n" + PROMPT);
    } else if (text == upgrade_command()) {
        test_link::target_says("\r\nRestarting in upgrade mode\r\n");
        state = config.answers_after_upgrade ? mode::waiting : mode::silent;
    } else if (text.empty()) {
        test_link::target_says(PROMPT);
    } else if (text != "1234abcd") {
        test_link::target_says(std::string("unknown command\r\n") + PROMPT);
    }
}

void transfer_byte(unsigned char c) {
    line += static_cast<char>(c);
    if (line.size() == SIZE_REQUEST_LENGTH && line[0] == SOH) {
        line.clear();
        test_link::target_says(std::string(1, NAK));
    } else if (c == '\n') {
        bool last = line.compare(0, 2, "S8") == 0;
        line.clear();
        test_link::target_says(std::string(1, last ? EOT : ACK));
    }
}

void receive(unsigned char c) {
    if (state == mode::silent)
        return;
    if (state == mode::transfer) {
        transfer_byte(c);
        return;
    }
    test_link::target_says(std::string(1, static_cast<char>(c)));
    if (c == '\r' || c == '\n') {
        std::string text = line;
        line.clear();
        command_line(text);
    } else if (c != 0x03) {
        line += static_cast<char>(c);
    }
}

} // namespace

void start(const settings &s) {
    config = s;
    state = s.answers ? mode::command : mode::silent;
    line.clear();
    received.clear();
    test_link::on_write(receive);
}

const std::vector<std::string> &commands() {
    return received;
}

} // namespace scripted_target
