// run_download over arbitrary control-byte streams, the target already waiting, with a small
// S-record image. The target echoes its command line; each "download_firmware" it takes is
// answered with the next segment of the stream, whatever the program writes after it.
// Input: a byte choosing the image (bits 0-6, modulo the images below) and whether writes fail
// (bit 7: after as many bytes as the next three give, big-endian), then the segments
// (fuzz_support.h).
#include <cstring>

#include "fuzz_support.h"
#include "image/srecord.h"
#include "serial/serial.h"
#include "session/control_bytes.h"
#include "session/driver.h"
#include "session/session.h"
#include "support/test_console.h"
#include "support/test_link.h"
#include "transfer/transfer.h"

namespace {

const std::string SIZE_REQUEST = "\x01SIZE\xC1\x55\xC9\xDE";
const std::string HEADER_RECORD = "S00600004844521B\r\n";
const std::string END_RECORD = "S9030000FC\r\n";

struct image {
    std::string text;
    uint32_t highest; // highest data address, 0 for none
};

std::vector<image> make_images() {
    using fuzz::data_record;
    std::string lines;
    for (uint32_t i = 0; i < 6; ++i)
        lines += data_record('1', 0x8000 + 16 * i, std::string(16, static_cast<char>('A' + i)));
    return {
        {HEADER_RECORD + data_record('1', 0x8000, "0123456789abcdef") +
             data_record('1', 0x8010, "sector 1") + END_RECORD,
         0x8017},
        {HEADER_RECORD + lines + END_RECORD, 0x805F},
        {data_record('2', 0x100, "boot") + END_RECORD, 0x103},
        {HEADER_RECORD + END_RECORD, 0},
        {data_record('3', 0x1000000, "far") + END_RECORD, 0x1000002},
        {HEADER_RECORD + "S1060010AABBCCB9\r\n" + END_RECORD, 0}, // its checksum is wrong
    };
}

uint32_t sectors_for(uint32_t highest, uint32_t sector_size) {
    return (highest + sector_size - 1) / sector_size;
}

// One byte the program wrote: how many bytes the target had said and the program had taken
// by then, and when. Bytes with the same stamp went without a read between them.
struct write_event {
    unsigned char value;
    size_t taken;
    uint64_t at_ms;
    bool transfer;
};

std::string said;
std::vector<write_event> events;
std::vector<fuzz::segment> segments;
size_t next_segment;
bool transferring;
std::string line;
std::string tail; // the last bytes written in the transfer

size_t taken() {
    return said.size() - test_link::pending();
}

void say(const std::string &bytes, uint64_t delay_ms = 0) {
    said += bytes;
    test_link::target_says(bytes, delay_ms);
}

void command_byte(unsigned char c) {
    if (c == 0x03)
        return;
    if (c != '\r' && c != '\n') {
        say(std::string(1, static_cast<char>(c)));
        line += static_cast<char>(c);
        return;
    }
    say("\r\n");
    std::string text = line;
    line.clear();
    if (text == "download_firmware") {
        transferring = true;
        tail.clear();
        if (next_segment < segments.size())
            for (const fuzz::piece &p : segments[next_segment++])
                say(p.bytes, p.delay_ms);
    } else if (text.empty() || text == "1234abcd") {
        say(FIRMWARE_CORRUPTED_LINE);
    }
}

void receive(unsigned char c) {
    events.push_back({c, taken(), test_link::now_ms(), transferring});
    if (!transferring) {
        command_byte(c);
        return;
    }
    // Only a failed size exchange is followed by the download command again.
    if (c == 'd' && (tail == SIZE_REQUEST || tail == SIZE_REQUEST + "\n")) {
        transferring = false;
        events.back().transfer = false;
        command_byte(c);
        return;
    }
    tail += static_cast<char>(c);
    if (tail.size() > SIZE_REQUEST.size() + 1)
        tail.erase(0, tail.size() - SIZE_REQUEST.size() - 1);
}

uint32_t be32(const std::string &bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = at; i < at + 4; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    return value;
}

// Splits the transfer's writes into runs written without a read between them and checks that
// each sector-mode EOT follows an acknowledged FS for every sector of that transfer.
void check_end_bytes(const image &img) {
    std::vector<bool> acknowledged;
    uint32_t sector = 0;
    size_t i = 0;
    while (i < events.size()) {
        size_t j = i + 1;
        while (j < events.size() && events[j].taken == events[i].taken &&
               events[j].at_ms == events[i].at_ms)
            ++j;
        if (!events[i].transfer) {
            i = j;
            continue;
        }
        std::string run;
        for (size_t k = i; k < j; ++k)
            run += static_cast<char>(events[k].value);
        size_t taken_after = j < events.size() ? events[j].taken : taken();
        if (run == SIZE_REQUEST) {
            acknowledged.clear();
            sector = 0;
        } else if (run.size() == 9 && run[0] == SOH) {
            sector = be32(run, 1);
            FUZZ_CHECK(sector >= 1 && sector <= 255);
            if (acknowledged.size() <= sector)
                acknowledged.resize(sector + 1, false);
        } else if (run == std::string(1, FS)) {
            size_t answer = events[i].taken;
            FUZZ_CHECK(sector >= 1);
            acknowledged[sector] = taken_after == answer + 1 && said[answer] == ACK;
        } else if (run == std::string(1, EOT)) {
            uint32_t count = static_cast<uint32_t>(acknowledged.size()) - 1;
            FUZZ_CHECK(acknowledged.size() >= 2);
            FUZZ_CHECK(count == sectors_for(img.highest, SMALL_SECTOR_SIZE) ||
                       count == sectors_for(img.highest, LARGE_SECTOR_SIZE));
            for (uint32_t n = 1; n <= count; ++n)
                FUZZ_CHECK(acknowledged[n]);
        }
        i = j;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static fuzz::temp_file file;
    static const std::vector<image> images = make_images();
    fuzz::input in(data, size);
    uint8_t choice = in.byte();
    const image &img = images[(choice & 0x7F) % images.size()];
    long write_limit = -1;
    if ((choice & 0x80) != 0) {
        write_limit = 0;
        for (int i = 0; i < 3; ++i)
            write_limit = write_limit << 8 | in.byte();
    }
    segments = fuzz::parse_segments(in.rest());
    uint64_t delays = 0;
    for (const fuzz::segment &s : segments)
        delays += fuzz::total_delay_ms(s);

    test_link::reset();
    test_console::reset();
    port_number = 1;
    line_bytes_sent = 0;
    record_number = 0;
    end_of_file = false;
    sector_bytes_sent = 0;
    sector_next_percent = 1;
    sector_next_threshold = 0;
    said.clear();
    events.clear();
    next_segment = 0;
    transferring = false;
    line.clear();
    tail.clear();
    image_file = file.open(img.text);
    rewind_image_file();
    test_link::on_write(receive);
    test_link::fail_writes_after(write_limit);

    bool ok = run_download("image.s19", '1');
    fuzz::show(test_console::output());

    check_end_bytes(img);
    if (ok && record_number == 0) {
        // Sector mode ends with the EOT that the checks above vouched for.
        FUZZ_CHECK(!events.empty() && events.back().value == EOT && events.back().transfer);
    } else if (ok) {
        // Line mode ends at the target's EOT.
        FUZZ_CHECK(taken() > 0 && said[taken() - 1] == EOT);
    }
    FUZZ_CHECK(test_link::now_ms() <= delays + 1000 * (600 + 20 * taken()));

    test_link::on_write(nullptr);
    close_port();
    fclose(image_file);
    image_file = nullptr;
    return 0;
}
