// The real-mode build's flash-map check over arbitrary answer lines.
// Input: flags (bit 0: the target echoes the command), then the answer that follows the
// command's carriage return (fuzz_support.h).
#include <cstring>

#include "fuzz_support.h"
#include "realmode/flash_map.h"
#include "serial/serial.h"
#include "session/session.h"
#include "support/test_link.h"
#include "support/test_screen.h"

namespace {

const char *const VERDICTS[] = {
    "\r\nCould not verify sector protection status.\r\n",
    "\r\nFlash memory devices are not contiguous.\r\n",
    "\r\nBoot sector is not write protected.\r\n",
    "\r\nAn application or data sector is not erasable.\r\n",
    "\r\nSpurious characters follow the sector protection data.\r\n",
};

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::input in(data, size);
    bool echoes = (in.byte() & 1) != 0;
    std::vector<fuzz::segment> answer = fuzz::parse_segments(in.rest());

    test_link::reset();
    test_screen::reset();
    baud_rate = 57600;
    open_port(1);
    size_t queued = 0;
    uint64_t delays = 0;
    test_link::on_write([&](unsigned char c) {
        if (echoes) {
            test_link::target_says(std::string(1, static_cast<char>(c)));
            ++queued;
        }
        if (c != '\r')
            return;
        for (const fuzz::segment &s : answer) {
            for (const fuzz::piece &p : s) {
                test_link::target_says(p.bytes, p.delay_ms);
                queued += p.bytes.size();
            }
            delays += fuzz::total_delay_ms(s);
        }
    });

    flash_check_active = false;
    bool ok = check_flash_map();
    fuzz::show(test_screen::output());
    FUZZ_CHECK(std::memchr(target_line, '\0', TARGET_LINE_MAX + 1) != nullptr);
    FUZZ_CHECK(flash_check_active == !ok);
    const std::string &shown = test_screen::output();
    bool has_verdict = false;
    for (const char *v : VERDICTS)
        has_verdict = has_verdict || ends_with(shown, v);
    FUZZ_CHECK(has_verdict == !ok);
    if (ok) // a passing answer starts with its device mask
        FUZZ_CHECK(std::strchr(target_line, ':') != nullptr);
    size_t consumed = queued - test_link::pending();
    FUZZ_CHECK(test_link::now_ms() <= delays + 1000 * (5 * 16 + 5 + 2 * consumed + 2));
    test_link::on_write(nullptr);
    close_port();
    return 0;
}
