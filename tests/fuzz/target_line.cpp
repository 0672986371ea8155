// read_target_line over arbitrary target output with pauses, echo on or off, with and without
// a word held back from the echo.
// Input: flags (bit 0 echo, bits 1-2 message: none, the download-waiting line and its word,
// one of the input's own, the waiting line without a word), the input's own message and word
// (a length byte before each), the number of lines to read (1-4), then the target's output
// (fuzz_support.h).
#include <cstring>

#include "fuzz_support.h"
#include "serial/serial.h"
#include "session/session.h"
#include "support/test_console.h"
#include "support/test_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::input in(data, size);
    uint8_t flags = in.byte();
    bool echo = (flags & 1) != 0;
    std::string message, word;
    const char *message_text = nullptr;
    const char *word_text = nullptr;
    switch ((flags >> 1) & 3) {
    case 1:
        message_text = FIRMWARE_CORRUPTED_LINE;
        word_text = "corrupted";
        break;
    case 2:
        message = in.bytes(in.byte() % 96);
        word = in.bytes(in.byte() % 16);
        message_text = message.c_str();
        word_text = word.c_str();
        break;
    case 3:
        message_text = FIRMWARE_CORRUPTED_LINE;
        break;
    }
    unsigned reads = 1 + in.byte() % 4;

    test_link::reset();
    test_console::reset();
    baud_rate = 57600;
    open_port(1);
    uint64_t delays = 0;
    std::string queued;
    for (const fuzz::segment &s : fuzz::parse_segments(in.rest())) {
        for (const fuzz::piece &p : s) {
            test_link::target_says(p.bytes, p.delay_ms);
            queued += p.bytes;
        }
        delays += fuzz::total_delay_ms(s);
    }

    for (unsigned i = 0; i < reads; ++i) {
        size_t before = test_link::pending();
        std::memset(target_line, 'x', sizeof target_line);
        read_target_line(echo, message_text, word_text);
        const void *end = std::memchr(target_line, '\0', TARGET_LINE_MAX + 1);
        FUZZ_CHECK(end != nullptr);
        FUZZ_CHECK(std::strlen(target_line) <= before - test_link::pending());
    }
    fuzz::show(test_console::output());
    // What is shown comes from what was read, and only with echo on.
    size_t consumed = queued.size() - test_link::pending();
    FUZZ_CHECK(test_console::output().size() <= (echo ? consumed : 0));
    if (echo) {
        // Every printable or white-space character read is shown, in order, except what is
        // held back of the word.
        std::string echoable;
        for (size_t i = 0; i < consumed; ++i) {
            unsigned char c = static_cast<unsigned char>(queued[i]);
            if ((c >= 0x20 && c <= 0x7E) || (c >= 0x09 && c <= 0x0D))
                echoable += static_cast<char>(c);
        }
        const std::string &shown = test_console::output();
        if (word_text == nullptr)
            FUZZ_CHECK(shown == echoable);
        size_t at = 0;
        for (char c : shown) {
            at = echoable.find(c, at);
            FUZZ_CHECK(at != std::string::npos);
            ++at;
        }
    }
    FUZZ_CHECK(test_link::now_ms() <= delays + 1000 * (5 * reads + 2 * consumed + 2));
    close_port();
    return 0;
}
