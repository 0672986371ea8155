// The sector-size exchange: request frame, accepted answers, every failure row, and drain.
#include "transfer_fixture.h"

#include "transfer/transfer.h"

namespace {

const std::string REQUEST = "\x01SIZE\xC1\x55\xC9\xDE";
const std::string CAN_S(1, CAN), NAK_S(1, NAK);
const std::string WRITE_FAILED = "\r\nERROR - Could not transmit data.\r\n"
                                 "\r\nCom write timeout during sector size request\r\n";

using SectorSizeRequest = TransferTest;

TEST_F(SectorSizeRequest, AnswersByTheTable) {
    const uint32_t UNTOUCHED = 12345;
    struct {
        const char *what;
        std::string answer, later; // later: sent 1.5 s after the answer
        bool result;
        uint32_t size;
        std::string shown;
        uint64_t ends_ms;
    } rows[] = {
        {"32768 little-endian", std::string("\x00\x80\x00\x00", 4), "", true, 32768, "", 0},
        {"131072 little-endian", std::string("\x00\x00\x02\x00", 4), "", true, 131072, "", 0},
        {"32768 big-endian", std::string("\x00\x00\x80\x00", 4), "", false, UNTOUCHED, "", 2000},
        {"16384", std::string("\x00\x40\x00\x00", 4), "", false, UNTOUCHED, "", 2000},
        {"lone NAK", NAK_S, "", true, 0, "", 2000},
        {"two bytes then NAK", "AB" + NAK_S, "", true, 0, "", 2000},
        {"two bytes, silence", "AB", "", false, UNTOUCHED, "", 2000},
        {"CAN and its reason", CAN_S + "ERR", "OR\r\n", false, UNTOUCHED, "ERROR\r\n", 3500},
        {"CAN, one letter, silence", CAN_S + "E", "", false, UNTOUCHED, "E", 2000},
        {"NAK before CAN", "x" + NAK_S + CAN_S + "y", "", true, 0, "", 0},
        {"four bytes, then NAK", std::string("\x00\x00\x80\x00", 4), "zz" + NAK_S, true, 0, "",
         1500},
        {"four bytes, then CAN", std::string("\x00\x00\x80\x00", 4), "z" + CAN_S + "no", false,
         UNTOUCHED, "no", 3500},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        test_link::reset();
        test_console::reset();
        ASSERT_TRUE(open_port(1));
        test_link::target_says(row.answer);
        if (!row.later.empty())
            test_link::target_says(row.later, 1500);
        uint32_t size = UNTOUCHED;
        EXPECT_EQ(request_sector_size(&size), row.result);
        EXPECT_EQ(size, row.size);
        EXPECT_EQ(test_console::output(), row.shown);
        EXPECT_EQ(test_link::written(), REQUEST);
        EXPECT_EQ(test_link::now_ms(), row.ends_ms);
        EXPECT_EQ(test_link::pending(), 0u);
    }
}

TEST_F(SectorSizeRequest, SilentTargetIsNudgedThenTimesOut) {
    uint32_t size = 7;
    EXPECT_FALSE(request_sector_size(&size));
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(test_link::written(), REQUEST + "\n");
    EXPECT_EQ(test_link::written_bytes().back().at_ms, 1000u);
    EXPECT_EQ(test_link::now_ms(), 11000u);
    EXPECT_EQ(test_console::output(), "\r\nERROR - Receiver timeout.\r\n");

    // An answer within the ten seconds after the nudge still counts.
    test_link::clear_written();
    test_console::reset();
    test_link::target_says(NAK_S, 5000);
    EXPECT_TRUE(request_sector_size(&size));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(test_link::written(), REQUEST + "\n");
}

TEST_F(SectorSizeRequest, WriteFailuresOfRequestAndNudge) {
    for (long writable : {0L, 9L}) {
        SCOPED_TRACE(writable);
        test_link::reset();
        test_console::reset();
        ASSERT_TRUE(open_port(1));
        test_link::fail_writes_after(writable);
        uint32_t size = 7;
        EXPECT_FALSE(request_sector_size(&size));
        EXPECT_EQ(size, 7u);
        EXPECT_EQ(test_console::output(), WRITE_FAILED);
        EXPECT_EQ(test_link::written(), REQUEST.substr(0, writable));
    }
}

TEST_F(SectorSizeRequest, DrainShowsOutputUntilTwoSecondsOfSilence) {
    test_link::target_says("a\x06"
                           "b");
    test_link::target_says("cd", 1900);
    test_link::target_says("ef", 4000);
    drain_input();
    EXPECT_EQ(test_console::output(), "abcd");
    EXPECT_EQ(test_link::pending(), 2u);
    EXPECT_EQ(test_link::now_ms(), 3900u);
}

} // namespace
