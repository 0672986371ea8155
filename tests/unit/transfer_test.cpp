// The CRC and its self-test, the sector-size exchange byte for byte, and the line-mode sender.
#include <gtest/gtest.h>

#include "image/srecord.h"
#include "serial/serial.h"
#include "support/unit.h"
#include "transfer/crc32.h"
#include "transfer/transfer.h"

namespace {

const std::string NOT_TRANSMITTED = "\r\nERROR - Could not transmit data.\r\n";

TEST(Crc, ValuesAndSelfTest) {
    test_console::reset();
    EXPECT_EQ(block_crc((const unsigned char *)"123456789", 9), 0xCBF43926u);
    EXPECT_EQ(block_crc((const unsigned char *)"", 0), 0u);
    EXPECT_TRUE(crc_self_test());
    EXPECT_EQ(test_console::output(), "");
}

struct chunk {
    uint64_t at_ms; // from the moment the program waits for the answer
    std::string bytes;
};

TEST(SectorSize, Answers) {
    const std::string REQUEST("\x01SIZE\xC1\x55\xC9\xDE", 9);
    const std::string SIZE_32768("\x00\x80\x00\x00", 4), UNUSABLE("\x00\x00\x80\x00", 4);
    struct {
        const char *name;
        std::vector<chunk> answer;
        bool ok;
        uint32_t size; // 1: untouched
        std::string shown;
        bool nudged;
    } rows[] = {
        {"32768", {{0, SIZE_32768}}, true, 32768, "", false},
        {"131072", {{0, std::string("\x00\x00\x02\x00", 4)}}, true, 131072, "", false},
        {"NAK: line mode", {{0, "\x15"}}, true, 0, "", false},
        {"bytes 1.9 s apart",
         {{0, std::string("\x00\x80", 2)}, {1900, std::string(1, 0)}, {3800, std::string(1, 0)}},
         true,
         32768,
         "",
         false},
        {"answer after the nudge", {{1500, SIZE_32768}}, true, 32768, "", true},
        {"no answer", {}, false, 1, "\r\nERROR - Receiver timeout.\r\n", true},
        {"CAN and the reason", {{0, "\x18No!"}, {1500, "more"}}, false, 1, "No!more", false},
        {"CAN alone", {{0, "\x18"}}, false, 1, "", false},
        {"unusable, then NAK", {{0, UNUSABLE}, {1900, "\x15"}}, true, 0, "", false},
        {"unusable, then CAN",
         {{0, UNUSABLE}, {1900, "\x18"}, {3000, "why"}},
         false,
         1,
         "why",
         false},
        {"unusable alone", {{0, UNUSABLE}}, false, 1, "", false},
        // Chatter is read on, or drained, for 4096 bytes at most.
        {"unusable, chatter, NAK",
         {{0, UNUSABLE + std::string(4095, 'x') + "\x15"}},
         true,
         0,
         "",
         false},
        {"unusable, more chatter, NAK",
         {{0, UNUSABLE + std::string(4096, 'x') + "\x15"}},
         false,
         1,
         "",
         false},
        {"CAN and chatter",
         {{0, "\x18"
              "ERR" +
                  std::string(4097, 'x')}},
         false,
         1,
         "ERR" + std::string(4096, 'x'),
         false},
        {"two bytes", {{0, std::string("\x00\x80", 2)}}, false, 1, "", false},
    };
    for (const auto &row : rows) {
        fresh_start();
        ASSERT_TRUE(open_port(1));
        wire::on_wait([&row, &REQUEST]() {
            if (wire::written().size() == REQUEST.size()) {
                for (const chunk &c : row.answer)
                    wire::says(c.bytes, c.at_ms);
            }
        });
        uint32_t size = 1;
        EXPECT_EQ(request_sector_size(&size), row.ok) << row.name;
        EXPECT_EQ(size, row.size) << row.name;
        EXPECT_EQ(test_console::output(), row.shown) << row.name;
        EXPECT_EQ(wire::written(), REQUEST + (row.nudged ? "\n" : "")) << row.name;
    }
    // Neither the request nor the nudge can be written.
    for (long room : {0, 9}) {
        fresh_start();
        ASSERT_TRUE(open_port(1));
        wire::fail_writes_after(room);
        uint32_t size = 1;
        EXPECT_FALSE(request_sector_size(&size));
        EXPECT_EQ(test_console::output(),
                  NOT_TRANSMITTED + "\r\nCom write timeout during sector size request\r\n");
    }
}

TEST(LineMode, Lines) {
    // What each call of send_next_line sends and shows, and where it leaves the file.
    const std::string too_long = "S1" + std::string(81, '0') + "\n";
    struct {
        const char *name;
        std::string file;
        std::vector<std::string> sent; // per call that succeeds
        std::string shown;             // after the last call, which fails
        bool at_end;
    } rows[] = {
        {"terminators go as S8",
         "S00600004844521B\r\nS9030000FC\nS7050000000FA\nS804000000FB",
         {"S00600004844521B\r\n", "S8030000FC\n", "S8050000000FA\n"},
         "\r\nERROR - Line in file is too long.\r\n",
         false},
        {"longest line, then one too long",
         "S1" + std::string(80, '0') + "\n" + too_long,
         {"S1" + std::string(80, '0') + "\n"},
         "\r\nERROR - Line in file is too long.\r\n",
         false},
        {"a line starting with NUL",
         std::string("\0S1\n", 4),
         {},
         "\r\nERROR - Line in file is too long.\r\n",
         false},
        {"end of file", "S804000000FB\n", {"S804000000FB\n"}, "", true},
    };
    for (const auto &row : rows) {
        fresh_start();
        ASSERT_TRUE(open_port(1));
        use_image(row.file);
        uint32_t sent = 0;
        for (const std::string &line : row.sent) {
            wire::reset();
            ASSERT_TRUE(open_port(1));
            EXPECT_TRUE(send_next_line()) << row.name;
            EXPECT_EQ(wire::written(), line) << row.name;
            sent += line.size();
        }
        EXPECT_FALSE(send_next_line()) << row.name;
        EXPECT_EQ(test_console::output(), row.shown) << row.name;
        EXPECT_EQ(end_of_file, row.at_end) << row.name;
        EXPECT_EQ(line_bytes_sent, sent) << row.name;
    }

    // A rejected line goes again a character at a time, 55 ms apart.
    fresh_start();
    ASSERT_TRUE(open_port(1));
    use_image("S1\nS804000000FB\n");
    ASSERT_TRUE(send_next_line() && send_next_line());
    EXPECT_TRUE(resend_line());
    EXPECT_EQ(wire::written(), "S1\nS804000000FB\nS804000000FB\n");
    EXPECT_EQ(wire::written_at(17) - wire::written_at(16), 55u);
    EXPECT_EQ(test_console::output(), "Resending Record 2\r\n");

    // Failures to read the file and to write the line.
    fresh_start();
    ASSERT_TRUE(open_port(1));
    image_file = fopen("/", "rb"); // a directory: every read fails
    ASSERT_NE(image_file, nullptr);
    EXPECT_FALSE(send_next_line());
    EXPECT_EQ(test_console::output(), "\r\nERROR - Could not read next line in file.\r\n");
    fresh_start();
    use_image("S1\n");
    EXPECT_FALSE(send_next_line());
    EXPECT_EQ(test_console::output(),
              NOT_TRANSMITTED + "\r\nERROR - Could not download record to system.\r\n");
}

} // namespace
