// Image files for the reader's tests: S-record text written to a temporary file and opened
// as image_file, records built with their checksums, and sector passes with their results.
#ifndef TESTS_UNIT_IMAGE_IMAGE_FILES_H
#define TESTS_UNIT_IMAGE_IMAGE_FILES_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "image/sector_buffer.h"
#include "image/sector_image.h"
#include "image/srecord.h"
#include "support/test_console.h"

// A data record of the given type ('1', '2' or '3') with its count and checksum.
inline std::string data_record(char type, uint32_t address, const std::string &data,
                               const char *line_end = "\r\n") {
    unsigned address_length = type - '0' + 1;
    std::string bytes(1, (char)(address_length + data.size() + 1));
    for (unsigned i = address_length; i > 0; --i)
        bytes += (char)(address >> (8 * (i - 1)));
    bytes += data;
    unsigned sum = 0;
    std::string text = std::string("S") + type;
    for (unsigned char byte : bytes) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02X", byte);
        text += hex;
        sum += byte;
    }
    char checksum[3];
    snprintf(checksum, sizeof checksum, "%02X", (~sum) & 0xFF);
    return text + checksum + line_end;
}

// n bytes counting up from first.
inline std::string counting_bytes(unsigned n, unsigned first = 0) {
    std::string bytes;
    for (unsigned i = 0; i < n; ++i)
        bytes += (char)(first + i);
    return bytes;
}

class ImageTest : public ::testing::Test {
  protected:
    std::string path;
    uint32_t highest = 0;

    void SetUp() override { test_console::reset(); }

    void TearDown() override {
        close_image();
        sector_buffer_release();
    }

    void open_image(const std::string &text) {
        close_image();
        char name[] = "/tmp/image_test_XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
        close(fd);
        path = name;
        image_file = fopen(name, "rb");
        ASSERT_NE(image_file, nullptr);
    }

    void close_image() {
        if (image_file != NULL)
            fclose(image_file);
        image_file = NULL;
        if (!path.empty())
            unlink(path.c_str());
        path.clear();
    }

    // One pass over the open image into a fresh 0xFF-filled buffer of the window's size and
    // `spare` bytes more, which must stay untouched.
    bool build(uint32_t window_start, uint32_t window_end, uint32_t spare = 0) {
        sector_buffer_release();
        EXPECT_TRUE(sector_buffer_allocate(window_end - window_start + 1 + spare));
        sector_buffer_fill();
        highest = 0;
        return build_sector_image(window_start, window_end, &highest);
    }

    // Opens text and builds the window 0x0000-0xFFFF from it.
    bool build_text(const std::string &text) {
        open_image(text);
        return build(0, 0xFFFF);
    }

    // Bytes [offset, offset + n) of the sector buffer.
    static std::string sector_bytes(uint32_t offset, uint32_t n) {
        std::string bytes;
        for (uint32_t i = 0; i < n; ++i)
            bytes += (char)sector_buffer_block(offset + i)[0];
        return bytes;
    }
};

#endif
