// The download driver and both transfer modes, from "download_firmware" to the outcome: against
// the simulated target with its faults, and against a transfer phase scripted byte for byte.
#include <gtest/gtest.h>

#include <unistd.h>

#include "image/srecord.h"
#include "serial/serial.h"
#include "session/driver.h"
#include "support/unit.h"

namespace {

const char ACK[] = "\x06", NAK[] = "\x15", SYN[] = "\x16", EOT[] = "\x04";
const std::string SIZE_32768("\x00\x80\x00\x00", 4);

struct span {
    uint32_t start, length;
};

// Pattern data in S2 records, then an S8 terminator unless told otherwise.
std::string image_of(const std::vector<span> &data, bool terminator = true) {
    std::string text;
    for (const span &s : data)
        text += pattern_records('2', s.start, s.length);
    return terminator ? text + srec('8', 0, "") : text;
}

// What the target must hold of [from, to] after a download of the data.
std::string expected(const std::vector<span> &data, uint32_t from, uint32_t to) {
    std::string bytes(to - from + 1, '\xFF');
    for (const span &s : data)
        bytes.replace(s.start - from, s.length, pattern(s.start, s.length));
    return bytes;
}

struct download_case {
    const char *name;
    std::vector<std::string> target; // kestrel-target options besides --waiting
    std::vector<span> data;
    bool ok;
    std::vector<std::string> shown; // in this order
    int target_status = -1;         // -1: not looked at
    unsigned sectors = 0;           // sectors the target programmed (0: not looked at)
    uint32_t from = 0, to = 0;      // the target's image compared over [from, to] (to 0: not)
};

const std::vector<span> TWO_SECTORS = {{0x8000, 0x1000}, {0x10000, 0x100}};
const std::vector<span> LINES = {{0x8000, 0x400}};
const std::string DONE = "100% complete.   \r100% complete.   \r\n\r\n";
const std::string LINES_DONE = "\r100% complete.   \r\n\r\n\nDownload Complete.\r\n\r\n";
const std::string RESEND = "Resending Record 2\r\n";

void run_row(const download_case &row) {
    fresh_start();
    std::vector<std::string> options = row.target;
    options.push_back("--waiting");
    if (row.to != 0)
        options.insert(options.end(),
                       {"--range", std::to_string(row.from) + ":" + std::to_string(row.to)});
    wire::attach_target(options);
    use_image(image_of(row.data));
    bool ok = run_download("image.s19", '1');
    wire::advance_to(wire::now_ms() + 1000); // the target takes a lone byte as the end byte
    std::string missing;
    EXPECT_EQ(ok, row.ok) << row.name << "\n" << test_console::output() << wire::target_log();
    EXPECT_TRUE(shown_in_order(row.shown, &missing))
        << row.name << ": \"" << missing << "\" not shown in order in\n"
        << test_console::output();
    if (row.target_status >= 0) {
        EXPECT_EQ(wire::target_status(), row.target_status) << row.name << wire::target_log();
    }
    if (row.sectors != 0) {
        EXPECT_EQ(count_of(wire::target_log(), "programmed: ACK"), row.sectors) << row.name;
    }
    if (row.to != 0) {
        EXPECT_TRUE(wire::target_received() == expected(row.data, row.from, row.to))
            << row.name << ": the target holds another image\n"
            << wire::target_log();
    }
}

TEST(Download, SectorMode) {
    const download_case rows[] = {
        {"two sectors and an empty one",
         {},
         TWO_SECTORS,
         true,
         {"\r\n\nDownloading image.s19 --\r\nCom port: 1, Baud Rate: 57600 . . .\r\n\n",
          "  0% complete... ", " 50% complete... ", DONE},
         0,
         3,
         0x8000,
         0x1FFFF},
        {"sectors of 131072",
         {"--sector-size", "131072"},
         {{0x20000, 0x300}},
         true,
         {DONE},
         0,
         2,
         0x20000,
         0x5FFFF},
        {"resends after NAKs",
         {"--nak-header", "1", "--nak-block", "1:3:2", "--nak-block", "2:256"},
         TWO_SECTORS,
         true,
         {DONE},
         0,
         3,
         0x8000,
         0x1FFFF},
        {"answers late but in time",
         {"--delay-at", "header:2:4900", "--delay-at", "block:1:2:4900", "--program-ms", "14900"},
         TWO_SECTORS,
         true,
         {DONE},
         0,
         3},
        {"header answer too late", {"--delay-at", "header:2:5100"}, TWO_SECTORS, false, {}},
        {"block answer too late", {"--delay-at", "block:1:2:5100"}, TWO_SECTORS, false, {}},
        {"programming too long", {"--program-ms", "15100"}, TWO_SECTORS, false, {}},
        {"FS answered with NAK", {"--bad-fs-answer", "2"}, TWO_SECTORS, false, {}, 2, 1},
        {"block cancelled",
         {"--cancel-block", "1:2"},
         TWO_SECTORS,
         false,
         {"ERROR - Receiver timeout."},
         2},
        {"size answers unusable twice",
         {"--size-fail", "2"},
         TWO_SECTORS,
         true,
         {"\r\n\nCould not obtain sector size response - will try again\r\n",
          "\r\n\nCould not obtain sector size response - will try again\r\n", DONE},
         0},
        // Nothing at or above sector 1: refused before any header, not sent as 0xFF.
        {"data only below sector 1",
         {},
         {{0x100, 0x10}},
         false,
         {"\r\nERROR - Image holds no data to download.\r\n"},
         2},
        {"size answers unusable three times",
         {"--size-fail", "3"},
         TWO_SECTORS,
         false,
         {"will try again", "will try again",
          "\r\nERROR - Could not obtain sector size response\r\n"}},
    };
    for (const download_case &row : rows)
        run_row(row);
}

TEST(Download, LineMode) {
    const download_case rows[] = {
        // At most one update per control byte, raised to the real figure.
        {"lines",
         {"--mode", "line"},
         LINES,
         true,
         {"  0% complete... ", "\r  3% complete... \r  6% complete... ", LINES_DONE},
         0,
         0,
         0x8000,
         0x83FF},
        {"three NAKs",
         {"--mode", "line", "--nak-line", "2:3"},
         LINES,
         true,
         {RESEND, RESEND, RESEND, LINES_DONE},
         0},
        {"four NAKs",
         {"--mode", "line", "--nak-line", "2:4"},
         LINES,
         false,
         {RESEND, RESEND, RESEND,
          "\r\nERROR - Exceeded maximum download attempts for record.\r\n"}},
        {"answer late but in time",
         {"--mode", "line", "--delay-at", "line:2:4900"},
         LINES,
         true,
         {LINES_DONE}},
        {"answer too late",
         {"--mode", "line", "--delay-at", "line:2:5100"},
         LINES,
         false,
         {"\r\nERROR - Receiver timeout.\r\n"}},
        {"SYN, then the answer late but in time",
         {"--mode", "line", "--syn-before", "line:2", "--syn-delay-ms", "14900"},
         LINES,
         true,
         {LINES_DONE}},
        {"SYN, then the answer too late",
         {"--mode", "line", "--syn-before", "line:2", "--syn-delay-ms", "15100"},
         LINES,
         false,
         {"\r\nERROR - Receiver timeout.\r\n"}},
    };
    for (const download_case &row : rows)
        run_row(row);

    // A file whose length cannot be read (a pipe here): no percentages until the end.
    fresh_start();
    wire::attach_target({"--waiting", "--mode", "line"});
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::string text = image_of(LINES);
    ASSERT_EQ(write(ends[1], text.data(), text.size()), (ssize_t)text.size());
    close(ends[1]);
    image_file = fdopen(ends[0], "rb");
    EXPECT_TRUE(run_download("image.s19", '1')) << test_console::output();
    std::string missing;
    EXPECT_TRUE(shown_in_order({"  0% complete... \r100% complete.   \r\n"}, &missing))
        << test_console::output();
}

// The answers, with n block ACKs in the middle.
std::vector<std::string> with_blocks(std::vector<std::string> before, size_t n,
                                     const std::vector<std::string> &after) {
    before.insert(before.end(), n, ACK);
    before.insert(before.end(), after.begin(), after.end());
    return before;
}

TEST(Download, ScriptedTransfers) {
    // One sector: the image's highest address is the first sector's start.
    const std::vector<std::string> ONE_SECTOR = with_blocks({ACK, SIZE_32768, ACK}, 256, {ACK});
    struct {
        const char *name;
        std::vector<std::string> answers;
        bool ok;
        uint32_t data_bytes = 0x40; // at 0x8000: two lines and the terminator
        bool terminator = true;
    } rows[] = {
        // A SYN starts the NAK count again: three NAKs, SYN, a fourth.
        {"SYN between NAKs",
         {ACK, NAK, ACK, "\x15\x06", "\x15\x06", "\x15\x06", "\x16\x15\x06", ACK, EOT},
         true},
        {"four NAKs without SYN",
         {ACK, NAK, ACK, "\x15\x06", "\x15\x06", "\x15\x06", "\x15\x06"},
         false},
        // An EOT counts only once the whole file has gone.
        {"EOT too early", {ACK, NAK, EOT}, false},
        {"EOT after the last line, no terminator", {ACK, NAK, ACK, EOT}, true, 0x40, false},
        {"EOT before the last line, no terminator", {ACK, NAK, EOT}, false, 0x40, false},
        // Chatter between two ACKs is cut off after 4096 bytes, as a silent target would be.
        {"chatter of 4095", {ACK, NAK, std::string(4095, 'x') + ACK, ACK, EOT}, true},
        {"chatter of 4096", {ACK, NAK, std::string(4096, 'x') + ACK, ACK, EOT}, false},
        // A failed sector transfer: the next ACK starts another.
        {"sector transfer again", {ACK, SIZE_32768, "\x18no\r\n", ACK, SIZE_32768}, true},
        {"one sector", ONE_SECTOR, true, 1},
        // Only an ACK after the FS tells that the sector is programmed.
        {"FS answered with NAK", with_blocks({ACK, SIZE_32768, ACK}, 256, {NAK, "", ""}), false, 1},
        {"FS unanswered", with_blocks({ACK, SIZE_32768, ACK}, 256, {"", "", ""}), false, 1},
    };
    size_t one_sector_bytes = 0;
    for (const auto &row : rows) {
        fresh_start();
        scripted_transfer(row.answers);
        use_image(image_of({{0x8000, row.data_bytes}}, row.terminator));
        EXPECT_EQ(run_download("image.s19", '1'), row.ok) << row.name << test_console::output();
        if (row.answers == ONE_SECTOR)
            one_sector_bytes = wire::written().size();
    }
    // An EOT that cannot be written is no success.
    fresh_start();
    scripted_transfer(ONE_SECTOR);
    use_image(image_of({{0x8000, 1}}));
    wire::fail_writes_after((long)one_sector_bytes - 1);
    EXPECT_FALSE(run_download("image.s19", '1'));
    EXPECT_EQ(wire::written().back(), '\x1C'); // the FS went, the EOT did not

    // The NAK that chooses line mode is the whole size answer once 2 s pass without another
    // byte; one more byte may then come within 2 s, and is dropped: the first line waits for it.
    fresh_start();
    uint64_t nak_ms = 0;
    scripted_transfer({ACK, NAK, EOT}, [&nak_ms](size_t n) {
        if (n == 1) {
            nak_ms = wire::now_ms();
            wire::says("?", 3500);
        }
    });
    use_image(image_of({}));
    EXPECT_TRUE(run_download("image.s19", '1'));
    size_t first_line = wire::written().rfind("S8");
    EXPECT_EQ(wire::written_at(first_line), nak_ms + 3500);
}

} // namespace
