// The sector image builder over arbitrary file contents and windows.
// Input: window start (4 bytes, big-endian), window size (4 bytes, taken modulo 131072, plus 1),
// how far a wider window reaches below and above it (a byte each, up to 127), then the file.
#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "image/sector_buffer.h"
#include "image/sector_image.h"
#include "image/srecord.h"
#include "support/test_console.h"

namespace {

const uint32_t MAX_WINDOW = 131072;
const uint32_t GUARD = 256; // buffer bytes past the largest window, and room to widen it
// One buffer for every input: a fresh one per input would cost most of the time in the
// allocator. Bytes past the window, up to its end, must stay 0xFF.
const uint32_t BUFFER_SIZE = MAX_WINDOW + GUARD;

struct pass_result {
    bool ok;
    uint32_t highest;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(BUFFER_SIZE);
};

void pass(uint32_t start, uint32_t end, pass_result *r) {
    sector_buffer_fill();
    r->highest = 0;
    r->ok = build_sector_image(start, end, &r->highest);
    for (uint32_t offset = 0; offset < BUFFER_SIZE; offset += BLOCK_SIZE)
        std::memcpy(&r->buffer[offset], sector_buffer_block(offset), BLOCK_SIZE);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static fuzz::temp_file file;
    fuzz::input in(data, size);
    uint32_t start = in.u32();
    uint32_t window = in.u32() % MAX_WINDOW + 1;
    uint32_t end = start + (window - 1);
    if (end < start) { // the window stops at the top of the address space
        end = 0xFFFFFFFFUL;
        window = end - start + 1;
    }
    uint32_t below = in.byte() % 128;
    uint32_t above = in.byte() % 128;
    if (below > start)
        below = start;
    if (above > 0xFFFFFFFFUL - end)
        above = 0xFFFFFFFFUL - end;
    test_console::reset();
    image_file = file.open(in.rest());
    long file_size = 0;
    fseek(image_file, 0, SEEK_END);
    file_size = ftell(image_file);
    rewind_image_file();

    static bool allocated = sector_buffer_allocate(BUFFER_SIZE);
    FUZZ_CHECK(allocated);
    static pass_result first, second;
    pass(start, end, &first);
    fuzz::show(test_console::output());

    // A complete pass leaves the file at its start, indicators clear; a failed one somewhere
    // inside it.
    long position = ftell(image_file);
    if (first.ok)
        FUZZ_CHECK(position == 0 && !feof(image_file) && !ferror(image_file));
    else
        FUZZ_CHECK(position >= 0 && position <= file_size);
    // Nothing lands beyond the window.
    for (uint32_t i = window; i < BUFFER_SIZE; ++i)
        FUZZ_CHECK(first.buffer[i] == 0xFF);

    // The sender rewinds after a failure; either way the next pass is the same.
    FUZZ_CHECK(rewind_image_file());
    pass(start, end, &second);
    FUZZ_CHECK(second.ok == first.ok);
    FUZZ_CHECK(second.highest == first.highest);
    FUZZ_CHECK(second.buffer == first.buffer);

    // A wider window holds the same bytes at the same addresses.
    FUZZ_CHECK(rewind_image_file());
    pass(start - below, end + above, &second);
    FUZZ_CHECK(second.ok == first.ok);
    FUZZ_CHECK(second.highest == first.highest);
    FUZZ_CHECK(std::equal(first.buffer.begin(), first.buffer.begin() + window,
                          second.buffer.begin() + below));

    fclose(image_file);
    image_file = nullptr;
    return 0;
}
