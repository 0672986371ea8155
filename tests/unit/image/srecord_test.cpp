// The record reader's rules, seen through a pass over small files.
#include "image_files.h"

namespace {

const std::string GOOD = "S1060010AABBCCB8";
const std::string HEADER_ERROR = "\n\rHeader record format error\n\n\r";
const std::string COUNT_ERROR = "Count record format error\n\n\r";
const std::string TERMINATOR_ERROR = "\n\rTerminator record format error\n\n\r";

using SRecordTest = ImageTest;

TEST(HexByte, DecodesEitherCaseAndNeverRejects) {
    struct {
        char high, low;
        unsigned value;
    } vectors[] = {{'0', '0', 0x00}, {'9', '9', 0x99},    {'F', 'f', 0xFF},   {'a', 'B', 0xAB},
                   {'G', '1', 0x01}, {'1', 'Z', 0x33},    {' ', '0', 0x90},   {'0', ' ', 0xC9},
                   {'z', 'z', 0x33}, {'\x80', '1', 0x91}, {'1', '\xFF', 0xB8}};
    for (const auto &v : vectors)
        EXPECT_EQ(hex_byte(v.high, v.low), v.value) << v.high << v.low;
}

TEST_F(SRecordTest, ValidityCheckLooksAtTwoCharactersAndRewinds) {
    for (const char *bad : {"", "S", "SX", "s1060010aabbccb8\n", "\nS1", " S1", "\xEF\xBB\xBFS1"}) {
        open_image(bad);
        EXPECT_FALSE(is_srecord_image(image_file)) << bad;
    }
    for (std::string good : {"S4\n", "S6 rubbish\n", "S1060010AABBCCB8\r\n"}) {
        open_image(good + "S9030000FC\r\n");
        EXPECT_TRUE(is_srecord_image(image_file)) << good;
        // Line mode reads the lines with fgets next.
        char line[40];
        ASSERT_NE(fgets(line, sizeof line, image_file), nullptr);
        EXPECT_EQ(line, good);
    }
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(SRecordTest, DataRecordsOfEitherCaseWithAnyLineEnd) {
    for (const char *text : {"S1060010AABBCCB8\n", "S1060010AABBCCB8\r", "S1060010aabbccB8\r\n",
                             "S1060010AAbbCCB8\r\n\r\n\n\r", "S1060010AABBCCB8 \r\n"}) {
        EXPECT_TRUE(build_text(text)) << text;
        EXPECT_EQ(sector_bytes(0x0F, 5), "\xFF\xAA\xBB\xCC\xFF") << text;
        EXPECT_EQ(highest, 0x12u);
    }
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(SRecordTest, BrokenRecordsFailWithTheirMessages) {
    struct {
        std::string text, output;
    } vectors[] = {
        {GOOD, ""}, // no line end
        {"S1060010AABBCCB7\n", " \n\rIncorrect Checksum! File --> B7   Calculated --> B8"},
        {"s1060010aabbccb8\n", "\n\rRead 0x73 instead of 'S' on line 1.\n\n\r"},
        {GOOD + "  \r\n", "\n\rRead 0x20 instead of 'S' on line 2.\n\n\r"},
        {GOOD + "\r\n\r\n" + GOOD + "\r\nX", "\n\rRead 0x58 instead of 'S' on line 3.\n\n\r"},
        {GOOD + "\nS4030000FC\n", "\n\rUnrecognized record type 34 on line 2.\n\n\r"},
        {"S6030000FC\n", "\n\rUnrecognized record type 36 on line 1.\n\n\r"},
        {"S100FF\n", ""},
        {"S1060010AABB", ""},
        {"S000\n", HEADER_ERROR},
        {"S0030000FB\n", " \n\rIncorrect Checksum! File --> FB   Calculated --> FC" + HEADER_ERROR},
        {"S9030000FC", HEADER_ERROR},
        {"S500\n", COUNT_ERROR},
        {"S501FE\n", COUNT_ERROR}, // too short to hold a record count
        {"S50200FD\n", COUNT_ERROR},
        {"S700\n", TERMINATOR_ERROR},
        {"S80400000\n", TERMINATOR_ERROR},
        // The file ends after a terminator's S9 and its line end, then a DOS end-of-file mark.
        {GOOD + "\r\nS9030000FC\r\n\x1A", "\n\rRead 0x1A instead of 'S' on line 3.\n\n\r"},
    };
    for (const auto &v : vectors) {
        test_console::reset();
        EXPECT_FALSE(build_text(v.text)) << v.text;
        EXPECT_EQ(test_console::output(), v.output) << v.text;
    }
    test_console::reset();
    EXPECT_FALSE(build_text("S"));
    EXPECT_EQ(test_console::output().rfind("\n\rUnrecognized record type ", 0), 0u);
}

TEST_F(SRecordTest, CountRecordsCompareWithTheRunningDataRecordCount) {
    std::string three = GOOD + "\r\n" + GOOD + "\r\nS0030000FC\r\n" + GOOD + "\r\n";
    EXPECT_TRUE(build_text(three + "S5030003F9\r\n"));
    EXPECT_TRUE(build_text("S5030000FC\r\n" + three + "S5030003F9\r\nS5030003F9\r\n"));
    EXPECT_EQ(test_console::output(), "");

    EXPECT_FALSE(build_text(GOOD + "\r\n" + GOOD + "\r\nS5030003F9\r\n"));
    EXPECT_EQ(test_console::take_output(),
              "\n\rRecord count error: \n\r File count = 3,  Program count = 2\n\n\r");
    EXPECT_FALSE(build_text(three + "S5030003F8\r\n"));
    EXPECT_EQ(test_console::take_output(),
              " \n\rIncorrect Checksum! File --> F8   Calculated --> F9" + COUNT_ERROR);
}

TEST_F(SRecordTest, OnlyS7AndS8StopTheReading) {
    std::string late = data_record('1', 0x20, "\x11");
    for (const char *terminator : {"S70500000000FA\r\n", "S804000000FB\r\n"}) {
        EXPECT_TRUE(build_text(GOOD + "\n" + terminator + late + "garbage\x1A")) << terminator;
        EXPECT_EQ(sector_bytes(0x20, 1), "\xFF");
        EXPECT_EQ(highest, 0x12u);
    }
    EXPECT_TRUE(build_text(GOOD + "\nS9030000FC\n" + late));
    EXPECT_EQ(sector_bytes(0x20, 1), "\x11");
    EXPECT_EQ(highest, 0x20u);
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(SRecordTest, LongRecordsFitTheRecordBuffer) {
    // A count byte of 0xFF: 250 data bytes behind a 32-bit address, 513 characters of body.
    std::string data = counting_bytes(250, 3);
    std::string record = data_record('3', 0x100, data);
    ASSERT_EQ(record.size() - 3, RECORD_BUFFER_SIZE);
    EXPECT_TRUE(build_text(record + record));
    EXPECT_EQ(sector_bytes(0x100, 250), data);
    EXPECT_EQ(highest, 0x100u + 249);
}

} // namespace
