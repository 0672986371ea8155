#include "console.h"

#include "app/console.h"
#include "app/terminal.h"

namespace {
std::string captured;
std::string queued_keys;

int next_key() {
    if (queued_keys.empty())
        return CARRIAGE_RETURN;
    int key = static_cast<unsigned char>(queued_keys[0]);
    queued_keys.erase(0, 1);
    return key;
}
} // namespace

namespace test_console {
void reset() {
    console_print(""); // ends an open progress line
    captured.clear();
    queued_keys.clear();
}
const std::string &output() {
    return captured;
}
std::string take_output() {
    std::string out;
    out.swap(captured);
    return out;
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
int console_key_echo() {
    int key = next_key();
    captured += static_cast<char>(key);
    return key;
}
int console_key() {
    return next_key();
}
void console_bell() {
    captured += '\a';
}
