// The download driver and both transfer modes, from "download_firmware" to the outcome: against
// a transfer phase scripted byte for byte, and against the simulated target with its faults.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>

#include "image/srecord.h"
#include "session/driver.h"
#include "support/unit.h"
#include "transfer/crc32.h"

extern int failing_mallocs; // transfer_test.cpp
extern long held_blocks;

namespace {

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

const std::string TIMEOUT = "\r\nERROR - Receiver timeout.\r\n";
const std::string NOT_SENT = "\r\nERROR - Could not transmit data.\r\n";
const std::string DONE = "100% complete.   \r100% complete.   \r\n\r\n";
const std::string LINES_DONE = "\r100% complete.   \r\n\r\n\nDownload Complete.\r\n\r\n";
const std::string AT_0 = "  0% complete... ", RETRY = " - will try again\r\n";

// The host's side from the download command on, in tokens: D the command, S the size request,
// H<n> sector n's header, B a block frame followed by RS, b one without, F FS, E EOT, N NAK,
// L<i> line i of the image as the target takes it, ? any other byte; a run of k equal tokens as
// token*k.
std::string shape(const std::string &w, const std::string &image) {
    const std::string COMMAND = "download_firmware\n", REQUEST("\x01SIZE\xC1\x55\xC9\xDE", 9);
    std::vector<std::string> lines = words(image, '\n'), tokens;
    auto crc_follows = [&w](size_t p, uint32_t n) {
        unsigned char crc[4];
        if (p + n + 4 > w.size())
            return false;
        put_u32_be(crc, block_crc((const unsigned char *)&w[p], n));
        return w.compare(p + n, 4, (const char *)crc, 4) == 0;
    };
    for (size_t p = w.find(COMMAND), n = 1; p < w.size(); p += n, n = 1) {
        auto at_p = [&](const std::string &s) { return w.compare(p, s.size(), s) == 0; };
        std::string t = w[p] == 0x1C ? "F" : w[p] == 4 ? "E" : w[p] == 0x15 ? "N" : "?";
        for (size_t i = 0; i < lines.size() && t == "?"; ++i)
            if (at_p(lines[i] + "\n"))
                t = "L" + std::to_string(i + 1), n = lines[i].size() + 1;
        if (at_p(COMMAND))
            t = "D", n = COMMAND.size();
        else if (at_p(REQUEST))
            t = "S", n = 9;
        else if (w[p] == 1 && crc_follows(p + 1, 4))
            t = "H" + std::to_string((uint8_t)w[p + 3] << 8 | (uint8_t)w[p + 4]), n = 9;
        else if (crc_follows(p, 128))
            t = w[p + 132] == 0x1E ? "B" : "b", n = t == "B" ? 133 : 132;
        tokens.push_back(t);
    }
    std::string text;
    for (size_t i = 0, k; i < tokens.size(); i += k) {
        for (k = 1; i + k < tokens.size() && tokens[i + k] == tokens[i];)
            ++k;
        text += (text.empty() ? "" : " ") + tokens[i] + (k > 1 ? "*" + std::to_string(k) : "");
    }
    return text;
}

// Images of the scripted rows; with sectors of 32768 bytes the highest address sets the count.
const std::map<char, std::string> IMAGES = {
    {'l', image_of({{0x8000, 0x40}})},        // two lines and S8; highest 0x803F: two sectors
    {'1', image_of({{0x8000, 1}})},           // highest 0x8000: one sector
    {'r', image_of({{0x8000, 2}})},           // highest 0x8001: two sectors
    {'-', image_of({{0x8000, 0x40}}, false)}, // no terminator
    {'t', image_of({{0x8000, 0x20}}) + pattern_records('2', 0x8020, 0x20)}, // a line after S8
    {'b', image_of({{0x8000, 0x20}}, false) + "S2050080200100\n" + srec('8', 0, "")}, // bad sum
    {'m', image_of({{0x7F8000, 1}})},                                                 // 255 sectors
    {'M', image_of({{0x7F8001, 1}})},                                                 // 256
    {'0', image_of({{0x100, 0x10}})},            // nothing at or above sector 1
    {'q', pattern_records('2', 0x8000, 72, 18)}, // four lines of 49 characters, no terminator
};

struct scripted_case {
    const char *answers; // what the target says at each wait after a write (then ACKs)
    char image;
    bool ok;
    const char *shape;
    uint64_t end_ms;  // from the command's first byte
    std::string tail; // of the console output
};

// The session before the transfer phase: bytes written, and when the command starts.
const long SESSION_BYTES = 15;
const uint64_t COMMAND_MS = 4165;

// Answers are tokens of far_says, a token*k for k of them; a first token !r has writes fail r
// bytes into the command. Each row runs twice, the second time without a fresh start: another
// download in the same process goes the same way. Whatever a download takes it gives back.
void run_scripted(const scripted_case &row) {
    std::vector<std::string> tokens;
    for (const std::string &token : words(row.answers)) {
        size_t star = token.find('*');
        tokens.insert(tokens.end(), star == std::string::npos ? 1 : std::stoul(&token[star + 1]),
                      token.substr(0, star));
    }
    const std::string &image = IMAGES.at(row.image == 'p' ? 'l' : row.image); // p: from a pipe
    fresh_start();
    for (int run = 1; run <= 2; ++run) {
        wire::reset();
        test_console::reset();
        scripted_transfer(tokens, true);
        if (tokens.size() > 0 && tokens[0][0] == '!')
            wire::writes_left = SESSION_BYTES + std::stol(&tokens[0][1]);
        use_image(image);
        int ends[2];
        if (row.image == 'p' && pipe(ends) == 0 && write(ends[1], image.data(), image.size()) > 0)
            close(ends[1]), fclose(image_file), image_file = fdopen(ends[0], "rb");
        long held = held_blocks;
        bool ok = run_download("image.s19", '1');
        const std::string &out = test_console::output();
        SCOPED_TRACE(std::string(row.answers) + " (run " + std::to_string(run) + ")\n" + out);
        EXPECT_EQ(held_blocks, held) << "memory kept after the download";
        EXPECT_EQ(ok, row.ok);
        EXPECT_EQ(shape(wire::written, image), row.shape);
        EXPECT_EQ(wire::now_ms - COMMAND_MS, row.end_ms);
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), row.tail.size())), row.tail);
        EXPECT_LE(count_of(out, "Downloading image.s19"), 1u);
    }
}

TEST(Download, ScriptedStartAndLineMode) {
    const std::string QUARTERS = AT_0 + "\r 25% complete... \r 50% complete... \r 75% complete... ";
    const std::string DONE_AGAIN = "\r100% complete.   " + LINES_DONE;
    const std::string NO_DATA = "\r\nERROR - Not enough data in file.\r\n";
    const std::string NO_RECORD = "\r\nERROR - Could not download record to system.\r\n";
    const std::string TOO_MANY = "\r\nERROR - Exceeded maximum download attempts for record.\r\n";
    const std::string NO_SIZE = "\r\nERROR - Could not obtain sector size response\r\n";
    const std::string NOT_BEGUN = NOT_SENT + "\r\nERROR - Could not begin download.\r\n";
    const scripted_case rows[] = {
        // Each line a control byte, the percentages of the file's length; 1 ms after each line,
        // 15 ms before the end. The size answer and the byte after it take 2 s each.
        {"A N A A A E", 'q', true, "D S L1 L2 L3 L4", 4019, QUARTERS + DONE_AGAIN},
        // A resend goes at 55 ms a character and adds nothing to the percentage.
        {"A N NA A A A E", 'q', true, "D S L1*2 L2 L3 L4", 6715,
         "\r\nResending Record 1\r\n\r\n 50% complete... \r 75% complete... " + DONE_AGAIN},
        {"A N A A AE", 'p', true, "D S L1 L2 L3", 4019, AT_0 + LINES_DONE}, // length unknown
        // Three NAKs for a line, counted afresh for each new line and after a SYN.
        {"A N NA NA NA A A E", 'l', true, "D S L1*4 L2 L3", 16726, LINES_DONE},
        {"A N NA NA NA NA", 'l', false, "D S L1*4", 16709, "Resending Record 1\r\n" + TOO_MANY},
        {"A N NA NA NA YNA NA NA A A E", 'l', true, "D S L1*7 L2 L3", 29434, LINES_DONE},
        {"A N NA NA NA A NA NA NA A E", 'l', true, "D S L1*4 L2*4 L3", 29434, LINES_DONE},
        // Before the mode is chosen, EOT is ignored and NAKs count from the download's start.
        {"ENNNA N A A E", 'l', true, "D S L1 L2 L3", 4018, LINES_DONE},
        // EOT counts once the terminator has gone or nothing of the file is left unread.
        {"A N EA A E", 'l', true, "D S L1 L2 L3", 4018, LINES_DONE},
        {"A N A E", 't', true, "D S L1 L2", 4017, LINES_DONE},
        {"A N A E", '-', true, "D S L1 L2", 4017, LINES_DONE},
        {"A N E", '-', false, "D S L1", 9001, "\r 50% complete... \r\n" + TIMEOUT},
        // The ACK after the last line sends nothing (as in the pipe's row).
        {"A N A A AA", 'l', false, "D S L1 L2 L3", 4004, NO_DATA},
        {"A N A A A", 'l', false, "D S L1 L2 L3", 9004,
         "\r\nERROR - Receiver timeout OR not enough data in file.\r\n"},
        // Control bytes within 5 s; after a SYN within 15 s until the next ACK.
        {"A N A@4900 A E", 'l', true, "D S L1 L2 L3", 8918, LINES_DONE},
        {"A N A@5100", 'l', false, "D S L1", 9001, TIMEOUT},
        {"A N Y+A@14900 A E", 'l', true, "D S L1 L2 L3", 18918, LINES_DONE},
        {"A N Y+A@15100", 'l', false, "D S L1", 19001, TIMEOUT},
        {"A N Y+x@9000+A@18000 A E", 'l', true, "D S L1 L2 L3", 22018, LINES_DONE},
        {"A N Y+A A@5100", 'l', false, "D S L1 L2", 9002, TIMEOUT},
        // Chatter between two ACKs is cut off after 4096 bytes, as a silent target would be.
        {"A N x4095A A E", 'l', true, "D S L1 L2 L3", 4018, LINES_DONE},
        {"A N x4096A", 'l', false, "D S L1", 4001, "xxx" + TIMEOUT},
        {"A N!0", 'l', false, "D S", 4000, AT_0 + "\r\n" + NOT_SENT + NO_RECORD},
        {"A N NA!0", 'l', false, "D S L1", 4001, "Resending Record 1\r\n" + NOT_SENT + NO_RECORD},
        // A failed size exchange starts again, twice; one header.
        {"A x D A z", '1', true, "D S D S H1 B*255 b F E", 2000, DONE},
        {"A x D A x D A x", '1', false, "D S D S D S", 6000, RETRY + NO_SIZE},
        {"A x!0", '1', false, "D S", 2000, RETRY + NOT_BEGUN},
        {"!0", '1', false, "", 0, "software\r\n" + NOT_BEGUN},
    };
    for (const scripted_case &row : rows)
        run_scripted(row);
}

TEST(Download, ScriptedSectors) {
    const std::string AT_100 = "\r100% complete.   ";
    const scripted_case rows[] = {
        // The sector count: the highest address rounded up, at most 255.
        {"A z", '1', true, "D S H1 B*255 b F E", 0, DONE},
        {"A z", 'r', true, "D S H1 B*255 b F H2 B*255 b F E", 0, DONE},
        {"A z C -", 'm', false, "D S H1 N", 7000, AT_0 + "\r\n" + TIMEOUT},
        {"A z -", 'M', false, "D S N", 5000,
         "Image does not fit the target's sectors.\r\n" + TIMEOUT},
        {"A z -", '0', false, "D S N", 5000, "Image holds no data to download.\r\n" + TIMEOUT},
        // Header answers: NAKs are not counted, four others over the whole transfer are.
        {"A z N x N x x x", '1', true, "D S H1*7 B*255 b F E", 0, DONE},
        {"A z x*5 -", '1', false, "D S H1*5 N", 5000, AT_0 + "\r\n" + TIMEOUT},
        {"A z x x A A*256 A x x x -", 'r', false, "D S H1*3 B*255 b F H2*3 N", 5000,
         " 50% complete... \r\n" + TIMEOUT},
        // CAN to a header drains the target's reason (2 s); none to a block.
        {"A z Cno -", '1', false, "D S H1 N", 7000, AT_0 + "\r\nno" + TIMEOUT},
        {"A z A C -", '1', false, "D S H1 b N", 5000, AT_0 + "\r\n" + TIMEOUT},
        {"A z A N N", '1', true, "D S H1 b*2 B*255 b F E", 0, DONE},
        // Header and block answers within 5 s, the FS's within 15 s.
        {"A z A@4900", '1', true, "D S H1 B*255 b F E", 4900, DONE},
        {"A z x@5100 -", '1', false, "D S H1 N", 10100, AT_0 + "\r\nx" + TIMEOUT},
        {"A z A A@4900", '1', true, "D S H1 B*255 b F E", 4900, DONE},
        {"A z A x@5100 -", '1', false, "D S H1 b N", 10100, AT_0 + "\r\nx" + TIMEOUT},
        {"A z A A*256 A@14900", '1', true, "D S H1 B*255 b F E", 14900, DONE},
        {"A z A A*256 x@15100 -", '1', false, "D S H1 B*255 b F N", 20100,
         AT_100 + "\r" + AT_0 + "\r\nx" + TIMEOUT},
        // A sector not programmed sets the progress back to its start.
        {"A z A A*256 N -", '1', false, "D S H1 B*255 b F N", 5000,
         AT_100 + "\r" + AT_0 + "\r\n" + TIMEOUT},
        {"A z A A!0", '1', false, "D S H1 b", 5000,
         AT_0 + "\r\n" + NOT_SENT + "\r\n" + AT_0 + "\r\n" + NOT_SENT + TIMEOUT},
        // Failed writes end the transfer, the EOT's too.
        {"A z A!0", 'r', false, "D S H1", 5000, AT_0 + "\r\n" + NOT_SENT + NOT_SENT + TIMEOUT},
        {"A z!0", 'r', false, "D S", 5000, AT_0 + "\r\n" + NOT_SENT + NOT_SENT + TIMEOUT},
        {"A z A A*256 A!0", '1', false, "D S H1 B*255 b F", 5000,
         "100% complete.   \r\n" + NOT_SENT + TIMEOUT},
        // After a failed transfer an ACK starts another (EOT ignored), with the progress going
        // on; after a failed build, from the file's start.
        {"A z A A*256 N EA z", '1', true, "D S H1 B*255 b F N S H1 B*255 b F E", 0,
         AT_100 + "\r" + AT_0 + "\r" + AT_0 + AT_100 + "\r\n\r\n"},
        {"A z A N A A E", 'b', true, "D S N S L1 L2 L3", 4018, LINES_DONE},
    };
    for (const scripted_case &row : rows)
        run_scripted(row);
    failing_mallocs = 2; // the sector buffer, in each run
    run_scripted({"A z", '1', false, "D S", 0,
                  "\r\n\nDownloading image.s19 --\r\nCom port: 1, Baud Rate: 57600 . . .\r\n\n"
                  "\r\nERROR:  OUT OF MEMORY\r\n"});
}

// Whole downloads against the simulated target, which must then hold the image.
TEST(Download, SimulatedTarget) {
    // Data on both sides of a sector boundary; the highest address makes a third sector.
    const std::vector<span> SECTORS = {{0x8000, 0x100}, {0xFF80, 0x180}}, LINES = {{0x8000, 0x400}};
    // kestrel-target's options besides --waiting, the data, the range compared.
    const std::tuple<const char *, std::vector<span>, uint32_t, uint32_t> rows[] = {
        {"", SECTORS, 0x8000, 0x1FFFF},
        {"--sector-size 131072", {{0x20000, 0x300}}, 0x20000, 0x5FFFF},
        {"--nak-header 1 --nak-block 1:3:2 --nak-block 2:256 --size-fail 2", SECTORS, 0x8000,
         0x1FFFF},
        {"--mode line", LINES, 0x8000, 0x83FF},
    };
    for (const auto &[extra, data, from, to] : rows) {
        fresh_start();
        std::vector<std::string> options = words(extra);
        options.insert(options.end(),
                       {"--waiting", "--range", std::to_string(from) + ":" + std::to_string(to)});
        wire::attach_target(options);
        use_image(image_of(data));
        EXPECT_TRUE(run_download("image.s19", '1')) << extra << test_console::output();
        wire::advance_to(wire::now_ms + 1000); // the target takes a lone byte as the end byte
        EXPECT_EQ(wire::target_status(), 0) << extra << wire::target_log;
        std::string expected(to - from + 1, '\xFF');
        for (const span &s : data)
            expected.replace(s.start - from, s.length, pattern(s.start, s.length));
        EXPECT_TRUE(wire::target_received() == expected)
            << extra << ": the target holds another image\n"
            << wire::target_log;
    }
}

} // namespace
