// Sector mode against a simulated target: frames on the line, answers to headers, blocks and
// FS, the sector count, progress, and the end byte (never EOT after a failure).
#include "transfer_fixture.h"

#include "image/sector_buffer.h"
#include "transfer/transfer.h"

namespace {

const std::string ACK_S(1, ACK), NAK_S(1, NAK), CAN_S(1, CAN), EOT_S(1, EOT);
const std::string HEADER_1("\x01\x00\x00\x00\x01\x56\x43\xEF\x8A", 9);
const std::string HEADER_2("\x01\x00\x00\x00\x02\xCF\x4A\xBE\x30", 9);
const std::string TOO_LARGE = "\r\nERROR - Image does not fit the target's sectors.\r\n";
const std::string EMPTY = "\r\nERROR - Image holds no data to download.\r\n";

// One data byte at `highest`, so that the image reaches exactly that address.
std::string image_to(uint32_t highest) {
    return srec('3', highest, "\x5A");
}

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class SectorTransfer : public TransferTest {
  protected:
    void SetUp() override {
        TransferTest::SetUp();
        sector_bytes_sent = 0;
        sector_next_percent = 1;
        sector_next_threshold = 0;
    }
    void TearDown() override {
        sector_buffer_release();
        TransferTest::TearDown();
    }
    bool transfer(uint32_t size) {
        EXPECT_TRUE(sector_buffer_allocate(size));
        bool sent = send_sectors(size);
        sector_buffer_release();
        return sent;
    }
};

TEST_F(SectorTransfer, FramesOfAWellBehavedTarget) {
    for (uint32_t size : {SMALL_SECTOR_SIZE, LARGE_SECTOR_SIZE}) {
        SCOPED_TRACE(size);
        SetUp();
        // Two bytes in sector 0 (never sent), one at each edge of sector 1, one in sector 2.
        open_image(srec('2', size - 2, "\x11\x22\x33") + srec('2', 2 * size - 1, "\x44\x55"));
        SimTarget target(size);
        EXPECT_TRUE(transfer(size));
        uint32_t blocks = size / 128;
        std::string written = test_link::written();
        EXPECT_EQ(written.substr(0, 9), HEADER_1);
        EXPECT_EQ(written.substr(9 + blocks * 133, 9), HEADER_2);
        EXPECT_EQ(target.headers, std::vector<uint32_t>({1, 2}));
        EXPECT_EQ(target.frames.size(), 2 * blocks);
        EXPECT_EQ(target.rs, 2 * (blocks - 1));
        EXPECT_EQ(target.fs, 2u);
        EXPECT_EQ(target.end_bytes, EOT_S);
        EXPECT_EQ(target.faults, std::vector<std::string>());
        std::string sector1(size, '\xFF'), sector2(size, '\xFF');
        sector1[0] = '\x33';
        sector1[size - 1] = '\x44';
        sector2[0] = '\x55';
        EXPECT_EQ(target.sectors[1], sector1);
        EXPECT_EQ(target.sectors[2], sector2);
        TearDown();
    }
}

TEST_F(SectorTransfer, NakedBlockGoesAgainWithoutSeparator) {
    open_image(image_to(0x8000));
    SimTarget target(SMALL_SECTOR_SIZE);
    target.block_answer = [](uint32_t, unsigned b, unsigned tries) {
        return b == 5 && tries <= 2 ? NAK_S : ACK_S;
    };
    EXPECT_TRUE(transfer(SMALL_SECTOR_SIZE));
    ASSERT_EQ(target.frames.size(), 258u);
    EXPECT_EQ(target.frames[5], target.frames[6]);
    EXPECT_EQ(target.frames[5], target.frames[7]);
    EXPECT_EQ(target.rs, 255u);
    EXPECT_EQ(target.faults, std::vector<std::string>());
    EXPECT_EQ(sector_bytes_sent, 258u * 128);
}

TEST_F(SectorTransfer, AnswersToHeaders) {
    const auto x = std::string("x");
    struct {
        const char *what;
        std::function<std::string(uint32_t, unsigned)> answer;
        bool result;
        std::vector<uint32_t> headers;
        std::string shown_last;
    } rows[] = {
        {"NAKs are not counted",
         [](uint32_t n, unsigned t) { return n == 1 && t <= 6 ? NAK_S : ACK_S; },
         true,
         {1, 1, 1, 1, 1, 1, 1, 2, 3},
         "100% complete.   "},
        {"four unexpected answers over the transfer",
         [&](uint32_t n, unsigned t) { return n <= 2 && t <= 2 ? x : ACK_S; },
         true,
         {1, 1, 1, 2, 2, 2, 3},
         "100% complete.   "},
        {"the fifth ends it",
         [&](uint32_t, unsigned t) { return t <= 2 ? x : ACK_S; },
         false,
         {1, 1, 1, 2, 2, 2, 3},
         " 66% complete... "},
        {"CAN drains the target's words",
         [](uint32_t n, unsigned) { return n == 2 ? CAN_S + "bye\r\n" : ACK_S; },
         false,
         {1, 2},
         "bye\r\n"},
        {"silence ends it", [](uint32_t, unsigned) { return std::string(); }, false, {1}, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        open_image(image_to(0x18000));
        SimTarget target(SMALL_SECTOR_SIZE);
        target.header_answer = row.answer;
        EXPECT_EQ(transfer(SMALL_SECTOR_SIZE), row.result);
        EXPECT_EQ(target.headers, row.headers);
        EXPECT_EQ(target.end_bytes, row.result ? EOT_S : NAK_S);
        EXPECT_TRUE(ends_with(test_console::output(), row.shown_last)) << test_console::output();
        TearDown();
    }
    // The silent target is given the header's five seconds, once.
    EXPECT_EQ(test_link::now_ms(), 5000u);
}

TEST_F(SectorTransfer, AnswersToBlocks) {
    struct {
        const char *what;
        std::string answer;
        uint64_t ends_ms;
    } rows[] = {
        {"CAN is not drained", CAN_S + "why", 0}, {"other byte", "?", 0}, {"silence", "", 5000}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        open_image(image_to(0x8000));
        SimTarget target(SMALL_SECTOR_SIZE);
        target.block_answer = [&](uint32_t, unsigned b, unsigned) {
            return b == 3 ? row.answer : ACK_S;
        };
        EXPECT_FALSE(transfer(SMALL_SECTOR_SIZE));
        EXPECT_EQ(target.frames.size(), 4u);
        EXPECT_EQ(target.end_bytes, NAK_S);
        EXPECT_EQ(test_link::pending(), row.answer.empty() ? 0 : row.answer.size() - 1);
        EXPECT_EQ(test_link::now_ms(), row.ends_ms);
        // Only the progress of the blocks before it: the target's words are not shown.
        EXPECT_EQ(test_console::output(), "\r\n  1% complete... ");
        TearDown();
    }
}

TEST_F(SectorTransfer, ProgrammingTimeAfterFs) {
    const size_t FS_AT = 9 + 256 * 133 - 1; // position of sector 1's FS on the line
    struct {
        const char *what;
        std::string answer;
        uint64_t delay_ms;
        bool result;
    } rows[] = {{"ACK after 14.5 s", ACK_S, 14500, true},
                {"ACK after 15.5 s", ACK_S, 15500, false},
                {"NAK", NAK_S, 0, false},
                {"nothing", "", 0, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        open_image(image_to(0x10000));
        SimTarget target(SMALL_SECTOR_SIZE);
        target.fs_answer = [&](uint32_t n) {
            test_link::target_says(n == 2 ? row.answer : ACK_S, n == 2 ? row.delay_ms : 0);
        };
        EXPECT_EQ(transfer(SMALL_SECTOR_SIZE), row.result);
        EXPECT_EQ(target.end_bytes, row.result ? EOT_S : NAK_S);
        const auto &bytes = test_link::written_bytes();
        ASSERT_EQ(bytes.size(), 2 * (FS_AT + 1) + 1);
        uint64_t waited = bytes.back().at_ms - bytes[2 * FS_AT + 1].at_ms;
        EXPECT_EQ(waited, row.result ? row.delay_ms : row.answer == NAK_S ? 0 : 15000);
        if (!row.result) {
            // Sector 2 did not go through: the display goes back to where it began.
            EXPECT_EQ(sector_bytes_sent, 32768u);
            EXPECT_EQ(sector_next_percent, 50u);
            EXPECT_TRUE(ends_with(test_console::output(), "\r 50% complete... "));
        }
        TearDown();
    }

    // A late ACK to sector 1's FS lets sector 2 begin.
    SetUp();
    open_image(image_to(0x10000));
    SimTarget target(SMALL_SECTOR_SIZE);
    target.fs_answer = [](uint32_t n) { test_link::target_says(ACK_S, n == 1 ? 14000 : 0); };
    EXPECT_TRUE(transfer(SMALL_SECTOR_SIZE));
    const auto &bytes = test_link::written_bytes();
    EXPECT_EQ(bytes[FS_AT + 1].at_ms - bytes[FS_AT].at_ms, 14000u);
}

TEST_F(SectorTransfer, SixteenSectorsAndTheirPercentages) {
    open_image(image_to(0x7FFFF));
    SimTarget target(SMALL_SECTOR_SIZE);
    std::vector<std::string> shown_before; // console output as each block of sector 1 arrives
    target.block_answer = [&](uint32_t n, unsigned, unsigned) {
        if (n == 1)
            shown_before.push_back(test_console::output());
        return ACK_S;
    };
    EXPECT_TRUE(transfer(SMALL_SECTOR_SIZE));
    EXPECT_EQ(target.headers.size(), 16u);
    EXPECT_EQ(target.headers.back(), 16u);
    EXPECT_EQ(target.sectors[15].back(), '\x5A');
    EXPECT_EQ(target.sectors[16], std::string(32768, '\xFF'));

    // 1 % of 524288 bytes is 5243: due after block 41 (5248 bytes), 2 % after block 82.
    EXPECT_EQ(shown_before[40], "");
    EXPECT_EQ(shown_before[41], "\r\n  1% complete... ");
    EXPECT_EQ(shown_before[81], "\r\n  1% complete... ");
    EXPECT_EQ(shown_before[82], "\r\n  1% complete... \r  2% complete... ");
    std::string every_percent = "\r\n";
    for (unsigned p = 1; p < 100; ++p) {
        char text[20];
        snprintf(text, sizeof text, "%3u%% complete... \r", p);
        every_percent += text;
    }
    EXPECT_EQ(test_console::output(), every_percent + "100% complete.   ");
}

TEST_F(SectorTransfer, SectorCountFromTheHighestAddress) {
    struct {
        const char *what;
        std::string image;
        uint32_t size;
        size_t headers; // 0: refused before any header
        std::string refusal;
        bool cancel; // the target refuses the first header, to keep long images short
    } rows[] = {
        {"0x78000: 15 sectors", image_to(0x78000), SMALL_SECTOR_SIZE, 15, "", false},
        {"only sector 0: sector 1 still goes", srec('1', 0x100, "abc"), SMALL_SECTOR_SIZE, 1, "",
         false},
        {"255 sectors", image_to(255 * 32768), SMALL_SECTOR_SIZE, 1, "", true},
        {"256 sectors", image_to(255 * 32768 + 1), SMALL_SECTOR_SIZE, 0, TOO_LARGE, false},
        {"256 large sectors", image_to(255 * 131072 + 1), LARGE_SECTOR_SIZE, 0, TOO_LARGE, false},
        {"top of the address space", image_to(0xFFFFFFFF), LARGE_SECTOR_SIZE, 0, TOO_LARGE, false},
        {"no data records", "S0030000FC\nS9030000FC\n", SMALL_SECTOR_SIZE, 0, EMPTY, false},
        {"one byte at address 0", image_to(0), SMALL_SECTOR_SIZE, 0, EMPTY, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        open_image(row.image);
        SimTarget target(row.size);
        target.header_answer = [&](uint32_t, unsigned) { return row.cancel ? CAN_S : ACK_S; };
        bool sent = transfer(row.size);
        EXPECT_EQ(target.headers.size(), row.headers);
        EXPECT_EQ(sent, row.headers > 0 && !row.cancel);
        EXPECT_EQ(target.end_bytes, sent ? EOT_S : NAK_S);
        if (row.headers == 0) {
            EXPECT_EQ(test_console::output(), row.refusal);
            EXPECT_EQ(test_link::written(), NAK_S);
        }
        if (row.headers == 1 && sent) {
            EXPECT_EQ(target.sectors[1], std::string(row.size, '\xFF'));
        }
        TearDown();
    }
}

TEST_F(SectorTransfer, BadImageSendsNoHeaderAndIsReadAgainFromItsStart) {
    std::string bad = srec('2', 0x8000, "ok");
    bad[bad.size() - 2] ^= 1; // checksum digit
    open_image(srec('2', 0x8000, "ok") + bad);
    SimTarget target(SMALL_SECTOR_SIZE);
    EXPECT_FALSE(transfer(SMALL_SECTOR_SIZE));
    EXPECT_EQ(test_link::written(), NAK_S);
    EXPECT_NE(test_console::output(), "");
    EXPECT_EQ(ftell(image_file), 0L);
}

TEST_F(SectorTransfer, WriteFailuresEndWithoutEot) {
    struct {
        const char *what;
        long writable;
        uint32_t bytes_after;
    } rows[] = {{"header", 0, 0},
                {"block data", 9 + 100, 0},
                {"checksum of block 1", 9 + 132 + 1 + 130, 128},
                {"RS: back to the sector's start", 9 + 132 + 1 + 132, 0}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        open_image(image_to(0x8000));
        SimTarget target(SMALL_SECTOR_SIZE);
        test_link::fail_writes_after(row.writable);
        EXPECT_FALSE(transfer(SMALL_SECTOR_SIZE));
        // Nothing after the failed write: no end byte, so no EOT.
        EXPECT_EQ(test_link::written().size(), (size_t)row.writable);
        EXPECT_EQ(target.end_bytes, "");
        EXPECT_EQ(sector_bytes_sent, row.bytes_after);
        EXPECT_NE(test_console::output().find("\r\nERROR - Could not transmit data.\r\n"),
                  std::string::npos);
        TearDown();
    }
}

TEST_F(SectorTransfer, EotThatCannotBeWrittenIsNoSuccess) {
    // Every sector acknowledged, but the end byte never leaves: the target was not told.
    open_image(image_to(0x10000));
    SimTarget target(SMALL_SECTOR_SIZE);
    size_t before_eot = 2 * (9 + 256 * 132 + 256);
    test_link::fail_writes_after((long)before_eot);
    EXPECT_FALSE(transfer(SMALL_SECTOR_SIZE));
    EXPECT_EQ(target.fs, 2u);
    EXPECT_EQ(test_link::written().size(), before_eot);
    EXPECT_EQ(target.end_bytes, "");
    EXPECT_TRUE(ends_with(test_console::output(), "\r\nERROR - Could not transmit data.\r\n"));
}

TEST_F(SectorTransfer, ProgressCarriesIntoTheNextTransfer) {
    open_image(image_to(0x10000));
    {
        SimTarget target(SMALL_SECTOR_SIZE);
        target.fs_answer = [](uint32_t n) {
            if (n == 1)
                test_link::target_says(ACK_S);
        };
        EXPECT_FALSE(transfer(SMALL_SECTOR_SIZE));
        EXPECT_EQ(sector_bytes_sent, 32768u);
    }
    test_console::reset();
    SimTarget target(SMALL_SECTOR_SIZE);
    EXPECT_TRUE(transfer(SMALL_SECTOR_SIZE));
    EXPECT_EQ(target.end_bytes, EOT_S);
    EXPECT_EQ(sector_bytes_sent, 32768u + 65536u);
    // The threshold is set once per run: the retry shows nothing until it passes the point
    // the first transfer had reached, and by then the count is over the total.
    std::string shown = test_console::output();
    EXPECT_TRUE(ends_with(shown, "\r100% complete.   ")) << shown;
    EXPECT_EQ(shown.find("% complete... "), std::string::npos) << shown;
}

} // namespace
