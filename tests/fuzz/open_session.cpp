// open_session against a target driven by the input: every byte the program writes takes one
// input byte, which decides what the target says back.
// Input: flags (bit 0: the port fails to open; bit 1: writes fail after 4 * the next byte),
// the operator's keys (a length byte, then the keys), then the target's script:
//   00-7F  echo the byte written            80-8F  echo it, then phrase (b & 15)
//   90-9F  phrase (b & 15) alone            A0-BF  say nothing
//   C0-DF  say the next (b & 31) input bytes E0-FF  echo it after (b & 31) * 250 ms
// Once the script runs out the target is silent.
#include <cstring>

#include "fuzz_support.h"
#include "serial/serial.h"
#include "session/session.h"
#include "support/test_console.h"
#include "support/test_link.h"

namespace {

const std::string PHRASES[16] = {
    "\r\n",
    "User# > ",
    "kestrel > ",
    FIRMWARE_CORRUPTED_LINE,
    "Password: ",
    "Restarting in upgrade mode\r\n",
    "unknown command\r\n",
    " > ",
    "\r\nkestrel > ",
    "\r\nUser# > ",
    std::string(1, '\0'),
    "\r",
    "\n",
    "==> Firmware ",
    "corrupted: download system software\r\n",
    "1234abcd\n",
};

// Every wait of a session is bounded by a fixed number of attempts, and all but a bounded
// number of them end with a byte; an hour of virtual time is far beyond any session.
const uint64_t SESSION_TIME_LIMIT_MS = 3600 * 1000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::input in(data, size);
    uint8_t flags = in.byte();
    long write_limit = (flags & 2) != 0 ? 4L * in.byte() : -1;
    std::string keys = in.bytes(in.byte() % 32);

    test_link::reset();
    test_console::reset();
    test_console::keys(keys);
    port_number = 1;
    if ((flags & 1) != 0)
        test_link::fail_open(1);
    test_link::fail_writes_after(write_limit);
    uint64_t delays = 0;
    test_link::on_write([&](unsigned char c) {
        if (in.empty())
            return;
        uint8_t b = in.byte();
        std::string echo(1, static_cast<char>(c));
        if (b < 0x80)
            test_link::target_says(echo);
        else if (b < 0x90)
            test_link::target_says(echo + PHRASES[b & 15]);
        else if (b < 0xA0)
            test_link::target_says(PHRASES[b & 15]);
        else if (b < 0xC0)
            return;
        else if (b < 0xE0)
            test_link::target_says(in.bytes(b & 31));
        else {
            delays += 250u * (b & 31);
            test_link::target_says(echo, 250u * (b & 31));
        }
    });

    bool ok = open_session();
    fuzz::show(test_console::output());
    FUZZ_CHECK(std::memchr(target_line, '\0', TARGET_LINE_MAX + 1) != nullptr);
    if (ok)
        FUZZ_CHECK(test_link::is_open() && std::strstr(target_line, FIRMWARE_CORRUPTED_LINE));
    FUZZ_CHECK(test_link::now_ms() <= delays + SESSION_TIME_LIMIT_MS);
    test_link::on_write(nullptr);
    close_port();
    return 0;
}
