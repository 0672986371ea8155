// request_sector_size over arbitrary answers with pauses.
// Input: the target's output after the request (fuzz_support.h).
#include "fuzz_support.h"
#include "serial/serial.h"
#include "support/test_console.h"
#include "support/test_link.h"
#include "transfer/transfer.h"

namespace {
const std::string REQUEST = "\x01SIZE\xC1\x55\xC9\xDE";
const uint32_t UNTOUCHED = 0xDEADBEEF;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::input in(data, size);
    test_link::reset();
    test_console::reset();
    baud_rate = 57600;
    open_port(1);
    uint64_t delays = 0;
    size_t queued = 0;
    for (const fuzz::segment &s : fuzz::parse_segments(in.rest())) {
        for (const fuzz::piece &p : s) {
            test_link::target_says(p.bytes, p.delay_ms);
            queued += p.bytes.size();
        }
        delays += fuzz::total_delay_ms(s);
    }

    uint32_t sector_size = UNTOUCHED;
    bool ok = request_sector_size(&sector_size);
    fuzz::show(test_console::output());
    if (ok)
        FUZZ_CHECK(sector_size == 0 || sector_size == SMALL_SECTOR_SIZE ||
                   sector_size == LARGE_SECTOR_SIZE);
    else
        FUZZ_CHECK(sector_size == UNTOUCHED);
    // The request, and at most the line feed that nudges a silent target.
    std::string written = test_link::written();
    FUZZ_CHECK(written == REQUEST || written == REQUEST + "\n");
    size_t consumed = queued - test_link::pending();
    FUZZ_CHECK(test_link::now_ms() <= delays + 1000 * (11 + 2 * consumed + 4));
    close_port();
    return 0;
}
