// Sector windows built from files of an independent S-record tool, compared with that tool's
// own binary image of each window.
#include "image_files.h"

#include <vector>

namespace {

const uint32_t SECTOR = 0x8000;

std::string run(const std::string &command) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == NULL)
        return out;
    char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, pipe)) > 0)
        out.append(block, n);
    pclose(pipe);
    return out;
}

std::string hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llX", (unsigned long long)value);
    return text;
}

using SrecCatReferenceTest = ImageTest;

TEST_F(SrecCatReferenceTest, SectorsMatchTheBinaryImageOfEachWindow) {
    if (system("command -v srec_cat >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";

    struct {
        const char *name;
        std::string generate; // data ranges and output form
        uint32_t highest;
        std::vector<uint32_t> sectors;
    } files[] = {
        {"S1, 16 bytes a record",
         "-gen 0x1000 0x9000 -random -gen 0xA000 0xA001 -constant 0x5A "
         "-gen 0xC123 0x10000 -random -o - -Motorola -address-length=2 -output-block-size=16",
         0xFFFF,
         {1}},
        {"S2, 250 bytes a record, CR LF",
         "-gen 0x7F00 0x8100 -random -gen 0x12345 0x1A000 -random -gen 0x2FFF0 0x30010 -random "
         "-o - -Motorola -address-length=3 -output-block-size=250 -crlf",
         0x3000F,
         {1, 2, 3, 4, 5, 6}},
        {"S3, 33 bytes a record",
         "-gen 0x0 0x100 -random -gen 0x10000 0x11111 -random "
         "-gen 0x7FFFFF00 0x80004000 -random -o - -Motorola -address-length=4 "
         "-output-block-size=33",
         0x80003FFF,
         {1, 2, 3, 0xFFFF, 0x10000, 0x10001}},
    };
    for (const auto &f : files) {
        SCOPED_TRACE(f.name);
        std::string text = run("srec_cat " + f.generate + " 2>/dev/null");
        ASSERT_GT(text.size(), 1000u);
        open_image(text);
        ASSERT_TRUE(is_srecord_image(image_file));
        for (uint32_t sector : f.sectors) {
            uint64_t start = (uint64_t)sector * SECTOR, end = start + SECTOR;
            SCOPED_TRACE("window at " + hex(start));
            ASSERT_TRUE(build((uint32_t)start, (uint32_t)(end - 1)));
            EXPECT_EQ(highest, f.highest);

            std::string expected = run("srec_cat " + path + " -fill 0xFF " + hex(start) + " " +
                                       hex(end) + " -crop " + hex(start) + " " + hex(end) +
                                       " -offset -" + hex(start) + " -o - -binary 2>/dev/null");
            ASSERT_EQ(expected.size(), SECTOR);
            EXPECT_TRUE(sector_bytes(0, SECTOR) == expected);
        }
    }
    // Spinner steps only: no message.
    EXPECT_EQ(test_console::output().find('\n'), std::string::npos);
}

} // namespace
