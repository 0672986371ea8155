// Building one sector window from the whole file.
#include "image_files.h"

#include "app/console.h"

namespace {

const uint32_t SECTOR = 0x8000;
const std::string GOOD = "S1060010AABBCCB8\r\n";

using SectorImageTest = ImageTest;

// The 32 KiB window of sector 1 with bytes at offset, 0xFF elsewhere and in 64 bytes beyond.
std::string sector_with(uint32_t offset, const std::string &bytes) {
    std::string sector(SECTOR + 64, '\xFF');
    return sector.replace(offset, bytes.size(), bytes);
}

TEST_F(SectorImageTest, RecordsAreClippedToTheWindow) {
    struct {
        std::string record;
        uint32_t offset;
        std::string placed;
        uint32_t highest;
    } vectors[] = {
        {data_record('2', 0x7FF0, counting_bytes(32)), 0, counting_bytes(16, 16), 0x800F},
        {data_record('2', 0xFFF7, counting_bytes(16)), 0x7FF7, counting_bytes(9), 0x10006},
        {data_record('1', 0x7FFD, counting_bytes(4, 0x40)), 0, "\x43", 0x8000},
        {data_record('1', 0xFFFF, "\x77"), 0x7FFF, "\x77", 0xFFFF},
        {data_record('1', 0x7FF0, counting_bytes(16)), 0, "", 0x7FFF},
        {data_record('2', 0x10000, counting_bytes(16)), 0, "", 0x1000F},
    };
    for (const auto &v : vectors) {
        open_image(v.record);
        EXPECT_TRUE(build(SECTOR, 2 * SECTOR - 1, 64)) << v.record;
        EXPECT_EQ(sector_bytes(0, SECTOR + 64), sector_with(v.offset, v.placed)) << v.record;
        EXPECT_EQ(highest, v.highest) << v.record;
    }
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(SectorImageTest, LaterRecordsWinAndEveryRecordRaisesTheHighestAddress) {
    open_image(data_record('1', 0x8000, "\x11\x22\x33\x44") + data_record('1', 0xFFF0, "ab") +
               data_record('1', 0x8002, "\x55\x66") + data_record('1', 0x8001, "\x77") +
               data_record('1', 0x0010, "low"));
    for (uint32_t start : {SECTOR, 2 * SECTOR, 5 * SECTOR}) {
        EXPECT_TRUE(build(start, start + SECTOR - 1));
        EXPECT_EQ(highest, 0xFFF1u);
    }
    EXPECT_TRUE(build(SECTOR, 2 * SECTOR - 1));
    EXPECT_EQ(sector_bytes(0, 5), "\x11\x77\x55\x66\xFF");
    EXPECT_EQ(sector_bytes(0x7FF0, 3), "ab\xFF");

    // Nothing is kept between passes: the file is read from its first record again.
    EXPECT_EQ(ftell(image_file), 0);
    EXPECT_TRUE(build(SECTOR, 2 * SECTOR - 1));
    EXPECT_EQ(sector_bytes(0, 5), "\x11\x77\x55\x66\xFF");
    EXPECT_EQ(highest, 0xFFF1u);
    char line[80];
    ASSERT_NE(fgets(line, sizeof line, image_file), nullptr);
    EXPECT_EQ(line, data_record('1', 0x8000, "\x11\x22\x33\x44"));
}

TEST_F(SectorImageTest, RecordsWithoutDataOrBeyondTheTopOfTheAddressSpace) {
    // No data records, and data records without data bytes, leave everything untouched.
    for (const char *text : {"S0030000FC\r\nS9030000FC\r\n", "S1030010EC\r\nS30500000000FA\r\n"}) {
        open_image(text);
        ASSERT_TRUE(sector_buffer_allocate(SECTOR));
        sector_buffer_fill();
        uint32_t kept = 0x1234;
        EXPECT_TRUE(build_sector_image(0, SECTOR - 1, &kept)) << text;
        EXPECT_EQ(kept, 0x1234u) << text;
        EXPECT_EQ(sector_bytes(0, SECTOR), std::string(SECTOR, '\xFF'));
    }
    open_image("S30500000000FA\r\n");
    EXPECT_TRUE(build(SECTOR, 2 * SECTOR - 1));
    EXPECT_EQ(highest, 0u);

    // The bytes past 0xFFFFFFFF do not exist; the ones below it still count.
    open_image(data_record('3', 0xFFFFFFF0, counting_bytes(32)));
    EXPECT_TRUE(build(0xFFFF8000, 0xFFFFFFFF));
    EXPECT_EQ(highest, 0xFFFFFFFFu);
    EXPECT_EQ(sector_bytes(0x7FEF, 17), "\xFF" + counting_bytes(16));

    // A count byte too small for the address fails, and reading stops at the record's end.
    open_image("S3030000FC\n" + data_record('3', 0, "x"));
    EXPECT_FALSE(build(0, SECTOR - 1));
    EXPECT_EQ(ftell(image_file), 11);
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(SectorImageTest, SpinnerStepsEvery512RecordsWithoutEndingTheProgressLine) {
    std::string records;
    for (int i = 0; i < 1023; ++i)
        records += GOOD;
    progress_line_open = true;
    open_image(records);
    EXPECT_TRUE(build(0, SECTOR - 1));
    EXPECT_EQ(test_console::take_output(), "-\b");
    EXPECT_TRUE(progress_line_open);

    open_image(records + GOOD);
    EXPECT_TRUE(build(0, SECTOR - 1));
    EXPECT_TRUE(build(0, SECTOR - 1));
    EXPECT_EQ(test_console::take_output(), "-\b\\\b-\b\\\b");

    open_image(records + records + records.substr(0, 514 * GOOD.size()));
    EXPECT_TRUE(build(0, SECTOR - 1));
    EXPECT_EQ(test_console::take_output(), "-\b\\\b|\b/\b-\b");
}

// A stream that gives its text and then fails with a read error.
struct failing_text {
    std::string text;
    size_t next;
};

ssize_t read_failing_text(void *cookie, char *buffer, size_t size) {
    failing_text *source = (failing_text *)cookie;
    if (source->next == source->text.size())
        return -1;
    size_t run = std::min(size, source->text.size() - source->next);
    source->text.copy(buffer, run, source->next);
    source->next += run;
    return (ssize_t)run;
}

int seek_failing_text(void *cookie, off64_t *position, int whence) {
    failing_text *source = (failing_text *)cookie;
    off64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (off64_t)source->next : 0;
    source->next = (size_t)(base + *position);
    *position = (off64_t)source->next;
    return 0;
}

TEST_F(SectorImageTest, AReadErrorFailsThePass) {
    struct {
        std::string text, output;
    } vectors[] = {
        {GOOD + "S1060010AA", IMAGE_READ_ERROR_MESSAGE}, // inside a data record
        {GOOD, IMAGE_READ_ERROR_MESSAGE},                // where the next record begins
        {"S0030000",
         std::string("\n\rHeader record format error\n\n\r") + IMAGE_READ_ERROR_MESSAGE},
    };
    for (const auto &v : vectors) {
        failing_text source = {v.text, 0};
        cookie_io_functions_t functions = {read_failing_text, NULL, seek_failing_text, NULL};
        image_file = fopencookie(&source, "rb", functions);
        ASSERT_NE(image_file, nullptr);
        test_console::reset();
        EXPECT_FALSE(build(0, SECTOR - 1)) << v.text;
        EXPECT_EQ(test_console::output(), v.output) << v.text;
        fclose(image_file);
        image_file = NULL;
    }
}

} // namespace
