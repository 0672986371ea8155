// Shared set-up for the transfer tests: scripted link and console reset, image files written
// to temporary files, and a simulated target that speaks the sector-mode protocol.
#ifndef TESTS_UNIT_TRANSFER_TRANSFER_FIXTURE_H
#define TESTS_UNIT_TRANSFER_TRANSFER_FIXTURE_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "image/srecord.h"
#include "serial/serial.h"
#include "session/control_bytes.h"
#include "support/test_console.h"
#include "support/test_link.h"
#include "transfer/crc32.h"

// One S-record line ("S" type count address data checksum) with its checksum.
inline std::string srec(char type, uint32_t address, const std::string &data,
                        const char *line_end = "\n") {
    unsigned address_length = (type == '2' || type == '8')   ? 3
                              : (type == '3' || type == '7') ? 4
                                                             : 2;
    std::string bytes(1, (char)(address_length + data.size() + 1));
    for (unsigned i = address_length; i > 0; --i)
        bytes += (char)(address >> (8 * (i - 1)));
    bytes += data;
    std::string text = std::string("S") + type;
    unsigned sum = 0;
    char hex[3];
    for (unsigned char byte : bytes) {
        snprintf(hex, sizeof hex, "%02X", byte);
        text += hex;
        sum += byte;
    }
    snprintf(hex, sizeof hex, "%02X", ~sum & 0xFF);
    return text + hex + line_end;
}

class TransferTest : public ::testing::Test {
  protected:
    std::string path;

    void SetUp() override {
        test_link::reset();
        test_console::reset();
        baud_rate = 57600;
        ASSERT_TRUE(open_port(1));
    }

    void TearDown() override {
        if (image_file != NULL)
            fclose(image_file);
        image_file = NULL;
        if (!path.empty())
            unlink(path.c_str());
    }

    void open_image(const std::string &text) {
        char name[] = "/tmp/transfer_test_XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
        close(fd);
        path = name;
        image_file = fopen(name, "rb");
        ASSERT_NE(image_file, nullptr);
    }
};

// A target in sector mode: checks every header and block frame it is sent, keeps what it
// accepted, and answers through hooks (ACK when a hook is absent or returns nothing special).
struct SimTarget {
    uint32_t sector_size;
    // Answer bytes to the header of sector n on its try-th writing (from 1); "" is silence.
    std::function<std::string(uint32_t n, unsigned tr)> header_answer;
    // Answer to block b (from 0) of sector n on its try-th writing.
    std::function<std::string(uint32_t n, unsigned b, unsigned tr)> block_answer;
    // Queues the answer to the FS after sector n itself.
    std::function<void(uint32_t n)> fs_answer;

    std::map<uint32_t, std::string> sectors; // accepted contents
    std::vector<uint32_t> headers;           // sector numbers of the headers received
    std::vector<std::string> frames;         // every block frame, as written
    unsigned rs = 0, fs = 0;
    std::string end_bytes; // anything written where a header was due: the end byte
    std::vector<std::string> faults;

    explicit SimTarget(uint32_t size) : sector_size(size) {
        test_link::on_write([this](unsigned char c) { take(c); });
    }

  private:
    enum { AWAIT_HEADER, HEADER, BLOCK, SEPARATOR } state = AWAIT_HEADER;
    std::string frame;
    uint32_t sector = 0;
    unsigned block = 0, tries = 0, header_tries = 0;

    static uint32_t crc_of(const std::string &s) {
        return block_crc((const unsigned char *)s.data(), (uint32_t)s.size());
    }
    static uint32_t be32(const std::string &s, size_t at) {
        uint32_t v = 0;
        for (size_t i = at; i < at + 4; ++i)
            v = v << 8 | (unsigned char)s[i];
        return v;
    }

    void take(unsigned char c) {
        switch (state) {
        case AWAIT_HEADER:
            if (c == SOH) {
                frame.assign(1, (char)c);
                state = HEADER;
            } else {
                end_bytes += (char)c;
            }
            return;
        case HEADER:
            frame += (char)c;
            if (frame.size() == 9)
                header_done();
            return;
        case BLOCK:
            frame += (char)c;
            if (frame.size() == 132)
                block_done();
            return;
        case SEPARATOR:
            if (c == RS && block < sector_size / 128) {
                ++rs;
                state = BLOCK;
            } else if (c == FS && block == sector_size / 128) {
                ++fs;
                state = AWAIT_HEADER;
                if (fs_answer)
                    fs_answer(sector);
                else
                    test_link::target_says(std::string(1, ACK));
            } else {
                faults.push_back("byte " + std::to_string(c) + " after block " +
                                 std::to_string(block) + " of sector " + std::to_string(sector));
                end_bytes += (char)c;
                state = AWAIT_HEADER;
            }
            return;
        }
    }

    void header_done() {
        uint32_t n = be32(frame, 1);
        if (crc_of(frame.substr(1, 4)) != be32(frame, 5))
            faults.push_back("bad header CRC for sector " + std::to_string(n));
        header_tries = (!headers.empty() && headers.back() == n) ? header_tries + 1 : 1;
        sector = n;
        headers.push_back(n);
        std::string answer = header_answer ? header_answer(n, header_tries) : std::string(1, ACK);
        state = AWAIT_HEADER;
        if (answer == std::string(1, ACK)) {
            sectors[n] = std::string();
            block = 0;
            tries = 0;
            state = BLOCK;
        }
        frame.clear();
        test_link::target_says(answer);
    }

    void block_done() {
        frames.push_back(frame);
        if (crc_of(frame.substr(0, 128)) != be32(frame, 128))
            faults.push_back("bad CRC on block " + std::to_string(block) + " of sector " +
                             std::to_string(sector));
        ++tries;
        std::string answer =
            block_answer ? block_answer(sector, block, tries) : std::string(1, ACK);
        if (answer == std::string(1, ACK)) {
            sectors[sector] += frame.substr(0, 128);
            ++block;
            tries = 0;
            state = SEPARATOR;
        } else if (answer != std::string(1, NAK)) {
            state = AWAIT_HEADER;
        }
        frame.clear();
        test_link::target_says(answer);
    }
};

#endif
