// Console back end for unit tests: captures output, plays scripted keys.
#include "console.h"

#include <utility>

#include "app/console.h"
#include "app/terminal.h"

static std::string captured, queued_keys;

namespace test_console {
void reset() {
    console_print(""); // ends an open progress line
    captured.clear(), queued_keys.clear();
}
const std::string &output() {
    return captured;
}
std::string take_output() {
    return std::exchange(captured, std::string());
}
void keys(const std::string &keys) {
    queued_keys += keys;
}
} // namespace test_console

void console_open() {}
void console_write(const char *text, size_t length) {
    captured.append(text, length);
}
void console_line_start() {
    captured += '\r';
}
int console_key() {
    int key = queued_keys.empty() ? CARRIAGE_RETURN : (unsigned char)queued_keys[0];
    queued_keys.erase(0, 1);
    return key;
}
int console_key_echo() {
    int key = console_key();
    return captured += (char)key, key;
}
void console_bell() {
    captured += '\a';
}
