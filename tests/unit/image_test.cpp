// The S-record reader: the validity check, the record rules and the sector image builder.
#include <gtest/gtest.h>

#include "image/sector_buffer.h"
#include "image/sector_image.h"
#include "image/srecord.h"
#include "support/unit.h"

namespace {

TEST(Image, ValidityCheck) {
    const struct {
        std::string text;
        bool valid;
    } rows[] = {{"S0", true}, {"S9xx", true}, {"SX", false}, {"s1", false},
                {"S", false}, {"", false},    {"XS1", false}};
    for (const auto &row : rows) {
        fresh_start();
        use_image(row.text);
        EXPECT_EQ(is_srecord_image(image_file), row.valid) << row.text;
        if (row.valid) {
            EXPECT_EQ(ftell(image_file), 0) << row.text;
        }
    }
    EXPECT_EQ(hex_byte('a', 'B'), 0xAB);
    EXPECT_EQ(hex_byte('7', 'e'), 0x7E);
}

struct placed {
    uint32_t offset; // in the window
    std::string bytes;
};

struct sector_case {
    const char *name;
    std::string file;
    uint32_t window_start, window_end;
    bool ok;
    std::vector<placed> bytes; // everything else stays 0xFF
    uint32_t highest;
    std::string shown;
};

std::string lower_case(std::string record) {
    for (size_t i = 1; i < record.size(); ++i)
        record[i] = (char)tolower(record[i]);
    return record;
}

TEST(Image, SectorImage) {
    const std::string S1_8000 = srec('1', 0x8000, "ab");
    // A row a case, one line each where it fits.
    // clang-format off
    const sector_case rows[] = {
        {"records straddling the window's ends",
         srec('1', 0x7FFE, "abcd") + srec('2', 0x8FFE, "wxyz"), 0x8000, 0x8FFF, true,
         {{0, "cd"}, {0xFFE, "wx"}}, 0x9001, ""},
        {"a later record wins, any case, any line ends",
         "S10580004142F7\r\n\r\n" + srec('3', 0x8001, "Z") + lower_case(srec('1', 0x8002, "\xAB")), 0x8000,
         0x80FF, true, {{0, "AZ\xAB"}}, 0x8002, ""},
        {"S7 and S8 end the records, S9 does not",
         S1_8000 + srec('9', 0, "") + srec('1', 0x8002, "c") + srec('8', 0, "") +
             srec('1', 0x9000, "d"),
         0x8000, 0x80FF, true, {{0, "abc"}}, 0x8002, ""},
        {"S7 too", S1_8000 + srec('7', 0, "") + "garbage", 0x8000, 0x80FF, true, {{0, "ab"}},
         0x8001, ""},
        {"outside the window, empty, and past the top of the address space",
         srec('1', 0x100, "a") + srec('2', 0x8010, "") + srec('3', 0xFFFFFFFE, "abcd"), 0x8000,
         0x80FF, true, {}, 0xFFFFFFFF, ""},
        {"the record count", S1_8000 + srec('1', 0x8002, "c") + srec('5', 2, ""), 0x8000,
         0x80FF, true, {{0, "abc"}}, 0x8002, ""},
        {"a wrong record count", S1_8000 + srec('5', 2, ""), 0x8000, 0x80FF, false, {{0, "ab"}},
         0x8001, "\n\rRecord count error: \n\r File count = 2,  Program count = 1\n\n\r"},
        {"a count record too short", S1_8000 + "S50200FD\n", 0x8000, 0x80FF, false,
         {{0, "ab"}}, 0x8001, "Count record format error\n\n\r"},
        {"a wrong checksum", "S1058000616201\n", 0x8000, 0x80FF, false, {}, 0,
         " \n\rIncorrect Checksum! File --> 1   Calculated --> B7"},
        {"not a record", S1_8000 + "X", 0x8000, 0x80FF, false, {{0, "ab"}}, 0x8001,
         "\n\rRead 0x58 instead of 'S' on line 2.\n\n\r"},
        {"an unknown type", "S4030000FC\n", 0x8000, 0x80FF, false, {}, 0,
         "\n\rUnrecognized record type 34 on line 1.\n\n\r"},
        {"a cut-off header", "S0050000", 0x8000, 0x80FF, false, {}, 0,
         "\n\rHeader record format error\n\n\r"},
        {"a count too small for the address", "S102807D\n", 0x8000, 0x80FF, false, {}, 0, ""},
        // A long pass shows it is alive every 512 records, straight to the terminal.
        {"1024 records", pattern_records('1', 0x8000, 1024, 1), 0x8000, 0x83FF, true,
         {{0, pattern(0x8000, 1024)}}, 0x83FF, "-\b\\\b"},
    };
    // clang-format on
    for (const sector_case &row : rows) {
        fresh_start();
        use_image(row.file);
        uint32_t size = row.window_end - row.window_start + 1;
        ASSERT_TRUE(sector_buffer_allocate(size));
        sector_buffer_fill();
        uint32_t highest = 0;
        EXPECT_EQ(build_sector_image(row.window_start, row.window_end, &highest), row.ok)
            << row.name;
        std::string expected(size, '\xFF');
        for (const placed &p : row.bytes)
            expected.replace(p.offset, p.bytes.size(), p.bytes);
        std::string buffer;
        for (uint32_t offset = 0; offset < size; offset += BLOCK_SIZE)
            buffer.append((const char *)sector_buffer_block(offset), BLOCK_SIZE);
        EXPECT_TRUE(buffer == expected) << row.name;
        EXPECT_EQ(highest, row.highest) << row.name;
        EXPECT_EQ(test_console::output(), row.shown) << row.name;
        // A complete pass leaves the file at its start for the next one.
        if (row.ok) {
            EXPECT_EQ(ftell(image_file), 0) << row.name;
        }
        sector_buffer_release();
    }

    // A read error of the file fails the pass with its own message.
    fresh_start();
    image_file = fopen("/", "rb");
    ASSERT_TRUE(sector_buffer_allocate(BLOCK_SIZE));
    uint32_t highest = 0;
    EXPECT_FALSE(build_sector_image(0, BLOCK_SIZE - 1, &highest));
    EXPECT_EQ(test_console::output(), "\n\rError reading image file.\n\n\r");
    sector_buffer_release();
}

} // namespace
