// The real-mode flash-map check over an arbitrary answer line.
#include <string>

#include "realmode/flash_map.h"
#include "realmode/screen.h"
#include "serial/serial.h"
#include "support/unit.h"

void screen_clear() {}
void screen_window(unsigned, unsigned, unsigned, unsigned) {}
void screen_cursor(unsigned *row, unsigned *column) {
    *row = *column = 1;
}
void screen_goto(unsigned, unsigned) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string answer((const char *)data, size);
    fresh_start();
    wire::on_write = [answer](unsigned char c) {
        wire::says(std::string(1, (char)c) + (c == '\r' ? "\n" + answer + "\r\n" : ""));
    };
    open_port(1);
    bool passed = check_flash_map();
    if (passed == flash_check_active)
        __builtin_trap(); // the flag must tell a refused map from a passed one
    fresh_start();
    return 0;
}
