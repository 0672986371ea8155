// The S-record reader: the validity check, the record rules and the sector image builder.
#include <gtest/gtest.h>
#include <malloc.h>

#include "image/sector_buffer.h"
#include "image/sector_image.h"
#include "image/srecord.h"
#include "support/unit.h"

namespace {

TEST(Image, ValidityCheckAndFields) {
    // Outside a pass the reads take the stream's own characters and no more; a record body
    // lands in record_buffer in file order, its line end (of any value) included.
    use_image("S0030000FC\rS");
    EXPECT_EQ(read_image_char(), 'S');
    EXPECT_EQ(read_image_char(), '0');
    EXPECT_TRUE(check_record_body(record_buffer));
    EXPECT_EQ(std::string(record_buffer, 9), "030000FC\r");
    EXPECT_EQ(ftell(image_file), 11);
    const std::pair<std::string, bool> files[] = {
        {"S0", true},  {"S9x", true}, {"S4", true}, {"S/", false},  {"S:", false},
        {"s1", false}, {"S", false},  {"", false},  {" S0", false}, {"\xEF\xBB\xBFS0", false}};
    for (const auto &[text, valid] : files) {
        use_image(text);
        EXPECT_EQ(is_srecord_image(image_file), valid) << text;
        EXPECT_TRUE(!valid || ftell(image_file) == 0) << text;
    }
    // Each digit on its own: digits from '0', upper case from 'A' - 10, everything else from
    // 'a' - 10; the high digit's stray bits fall off the byte, the low digit's do not.
    const std::pair<const char *, unsigned> bytes[] = {
        {"09", 0x09}, {"AF", 0xAF}, {"fA", 0xFA}, {"0Z", 0x23},    {"0z", 0x23}, {"0@", 0xE9},
        {"0[", 0x04}, {"0/", 0xD8}, {"0:", 0xE3}, {"0\xFF", 0xA8}, {"G1", 0x01}, {"0G", 0x10}};
    for (const auto &[digits, value] : bytes)
        EXPECT_EQ(hex_byte(digits[0], digits[1]), value) << digits;
    EXPECT_EQ(hex_byte('0', '\0'), 0xA9);
}

struct sector_case {
    std::string file;
    bool ok;
    uint32_t highest;  // raised from 1
    std::string bytes; // the buffer from index 0; 0xFF stands for a byte left as it was
    std::string shown = "";
    std::string rest = ""; // what a failed pass left unread; a complete one leaves the file at 0
};

TEST(Image, SectorImage) {
    // Without a buffer, as released and at the end, filling and storing do nothing.
    fresh_start(), sector_buffer_release();
    sector_buffer_fill();
    sector_buffer_store(0, 0);

    const auto AB = srec('1', 0x8000, "ab"), S9 = srec('9', 0, ""), W = pattern(0x8000, 256);
    auto rec = [](char type, uint32_t at, uint32_t n) { return srec(type, at, pattern(at, n)); };
    auto framed = [](const char *text) { return "\n\r" + std::string(text) + "\n\n\r"; };
    const std::string HEADER = framed("Header record format error");
    const std::string TERMINATOR = framed("Terminator record format error");
    // The window is 0x8000 to 0x80FF, the buffer 128 bytes longer.
    // clang-format off
    const sector_case rows[] = {
        // Skip and cut; both bounds of the window inclusive.
        {rec('1', 0x7FF0, 32) + rec('2', 0x80F7, 16), true, 0x8106,
         W.substr(0, 16) + std::string(0xE7, '\xFF') + W.substr(0xF7, 9)},
        {rec('1', 0x7FFE, 2) + rec('1', 0x7FFF, 2) + rec('3', 0x80FF, 2) + rec('2', 0x8100, 1),
         true, 0x8100, W.substr(0, 1) + std::string(0xFE, '\xFF') + W.substr(0xFF, 1)},
        // Count bytes 40, 41 and 255; the later record wins; digits of any case; line ends.
        {rec('1', 0x8000, 37) + rec('3', 0x8025, 36) + rec('3', 0x8049, 250), true, 0x8142, W},
        {"S10580004142F7 \r\n\r\nS306000080015A1E\n\r\rS1048002aBce\n", true, 0x8002, "AZ\xAB"},
        // S8 and S7 end the reading, S9 does not; bytes past the top of the address space.
        {AB + S9 + srec('1', 0x8002, "c") + srec('8', 0, "") + "\x1A", true, 0x8002, "abc"},
        {rec('3', 0xFFFFFFFE, 4) + srec('7', 0, "") + AB, true, 0xFFFFFFFF, ""},
        // Records without data bytes and outside the window; what data_record_count counts.
        {rec('1', 0, 1) + rec('2', 0x9000, 0) + srec('5', 2, ""), true, 1, ""},
        {AB + srec('5', 1, "") + srec('2', 0x8002, "c") + S9 + srec('3', 0x8003, "d") +
         srec('5', 3, "\x77"), true, 0x8003, "abcd"},
        {AB + srec('5', 0x1234, ""), false, 0x8001, "ab",
         framed("Record count error: \n\r File count = 1234,  Program count = 1")},
        {"S50200FD\n", false, 1, "", "Count record format error\n\n\r"},
        {"S1060010AABBCCB7\n", false, 1, "",
         " \n\rIncorrect Checksum! File --> B7   Calculated --> B8", "\n"},
        {"S0030000FB\n", false, 1, "",
         " \n\rIncorrect Checksum! File --> FB   Calculated --> FC" + HEADER, "\n"},
        // line_number counts records of every type, not blank lines; one stray character is the
        // line end, a second one is not; 0x1A after S9; a type not accepted.
        {"S001FE\n\r\n" + srec('5', 0, "") + S9 + AB + "\n\r\nX", false, 0x8001, "ab",
         framed("Read 0x58 instead of 'S' on line 5.")},
        {"S9030000FC  \n", false, 1, "", framed("Read 0x20 instead of 'S' on line 2."), "\n"},
        {AB + S9 + "\x1A", false, 0x8001, "ab", framed("Read 0x1A instead of 'S' on line 3.")},
        {AB + "S6", false, 0x8001, "ab", framed("Unrecognized record type 36 on line 2.")},
        // A count of 0; the file ending in the count, payload, checksum and line end; a count
        // too small for the address.
        {"S000FF\nS9", false, 1, "", HEADER, "FF\nS9"},
        {"S00", false, 1, "", HEADER},
        {"S1058000", false, 1, ""},
        {"S804000000F", false, 1, "", TERMINATOR},
        {"S70500000000FA", false, 1, "", TERMINATOR},
        {"S102807D\n", false, 1, ""},
        // A long pass shows it is alive every 512 records, straight to the terminal.
        {pattern_records('1', 0x8000, 2559, 1), true, 0x89FE, W, "-\b\\\b|\b/\b"},
        {pattern_records('1', 0x8000, 2560, 1), true, 0x89FF, W, "-\b\\\b|\b/\b-\b"},
    };
    // clang-format on
    ASSERT_TRUE(sector_buffer_allocate(3 * BLOCK_SIZE));
    uint32_t highest;
    for (const sector_case &row : rows) {
        SCOPED_TRACE(row.file.substr(0, 60));
        use_image(row.file);
        std::string expected = row.bytes + std::string(3 * BLOCK_SIZE - row.bytes.size(), '\xFF');
        // A failed pass leaves the file where reading stopped, the next one starts afresh.
        long stop = row.ok ? 0 : (long)(row.file.size() - row.rest.size());
        for (int pass = 0; pass < 2; ++pass) {
            sector_buffer_fill();
            highest = 1;
            EXPECT_EQ(build_sector_image(0x8000, 0x80FF, &highest), row.ok);
            for (uint32_t at = 0; at < 3 * BLOCK_SIZE; at += BLOCK_SIZE)
                EXPECT_EQ(memcmp(sector_buffer_block(at), &expected[at], BLOCK_SIZE), 0) << at;
            EXPECT_EQ(highest, row.highest);
            EXPECT_EQ(test_console::take_output(), row.shown);
            EXPECT_EQ(ftell(image_file), stop);
            if (!row.ok && pass == 0)
                rewind_image_file();
        }
        // Read-ahead ends with the pass: the next read takes the stream's next character.
        int next = read_image_char();
        EXPECT_EQ(next, row.ok || row.rest != "" ? (unsigned char)row.file[stop] : EOF);
        EXPECT_EQ(ftell(image_file), stop + (next != EOF));
    }

    // A read error (a directory) fails the pass, and so does a file that cannot be repositioned
    // after it (a pipe).
    fclose(image_file);
    for (FILE *file : {fopen("/", "rb"), popen("echo S1040000AA51", "r")}) {
        image_file = file;
        EXPECT_FALSE(build_sector_image(0, BLOCK_SIZE - 1, &highest));
        EXPECT_EQ(test_console::take_output(), "\n\rError reading image file.\n\n\r");
        fclose(file);
    }
    image_file = NULL;
    // A pass, and a rewind, start afresh whatever error the stream showed before.
    use_image("S1040000AA51\n");
    fputc(0, image_file); // a read-only stream: an error
    EXPECT_TRUE(build_sector_image(0, BLOCK_SIZE - 1, &highest));
    fputc(0, image_file);
    EXPECT_TRUE(rewind_image_file() && !ferror(image_file));
    // One buffer at a time, given back by the next allocation or a release (twice is harmless).
    ASSERT_TRUE(sector_buffer_allocate(1 << 24));
    size_t held = mallinfo2().uordblks + mallinfo2().hblkhd;
    ASSERT_TRUE(sector_buffer_allocate(1 << 24));
    sector_buffer_release();
    EXPECT_LT(mallinfo2().uordblks + mallinfo2().hblkhd, held - (1 << 23));
    sector_buffer_release();
    sector_buffer_fill();
    sector_buffer_store(0, 0);
}

} // namespace
