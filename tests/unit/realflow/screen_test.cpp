// The real-mode console on the test screen: layout, header box, bar, spinner, and a line-mode
// download as the operator sees it.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "app/console.h"
#include "image/srecord.h"
#include "realmode/console_realmode.h"
#include "scripted_target.h"
#include "serial/serial.h"
#include "session/build_variant.h"
#include "session/driver.h"
#include "session/session.h"
#include "support/test_link.h"
#include "support/test_screen.h"
#include "transfer/transfer.h"

namespace {

const char BANNER[] = "banner line 1\r\nbanner line 2\r\nbanner line 3\r\n";
const unsigned char FULL = 0xDB, HALF = 0xDD, DOUBLE_BAR = 0xCD;

std::string repeated(unsigned char c, size_t count) {
    return std::string(count, static_cast<char>(c));
}

class Screen : public ::testing::Test {
  protected:
    void SetUp() override {
        test_link::reset();
        test_screen::reset();
        baud_rate = 57600;
        spinner_count = 0;
        spinner_position = 0;
        spinner_period = 0;
        lay_out_screen(BANNER);
    }

    static std::string bar() { return test_screen::text(8, 25, 28); }
};

TEST_F(Screen, LayoutKeepsMessagesBelowTheStatusWindow) {
    EXPECT_EQ(test_screen::text(2, 1, 13), "banner line 1");
    EXPECT_EQ(test_screen::text(4, 1, 13), "banner line 3");
    EXPECT_EQ(test_screen::text(14, 1, 80), repeated(DOUBLE_BAR, 79) + " ");
    for (int i = 1; i <= 12; ++i)
        console_print(("message " + std::to_string(i) + "\r\n").c_str());
    // Nine rows, the last one the cursor's: messages 5 to 12 remain, scrolled inside them.
    EXPECT_EQ(test_screen::text(16, 1, 10), "message 5 ");
    EXPECT_EQ(test_screen::text(23, 1, 10), "message 12");
    EXPECT_EQ(test_screen::text(15, 1, 80), std::string(80, ' '));
    EXPECT_EQ(test_screen::text(14, 1, 3), repeated(DOUBLE_BAR, 3));
}

TEST_F(Screen, HeaderDrawsTheBoxAndLeavesTheMessageCursor) {
    baud_rate = 19200;
    console_print("Communication established.\r\nabc");
    print_download_header("demo.s19", '2');
    console_print("d");
    EXPECT_EQ(test_screen::text(17, 1, 4), "abcd");
    EXPECT_EQ(test_screen::text(12, 1, 24), "Downloading demo.s19 -- ");
    EXPECT_EQ(test_screen::text(13, 1, 36), "Com port: 2, Baud Rate: 19200 . . . ");
    EXPECT_EQ(test_screen::text(6, 29, 18), "Percent Complete: ");
    EXPECT_EQ(test_screen::text(7, 24, 30), "\xC9" + repeated(DOUBLE_BAR, 28) + "\xBB");
    EXPECT_EQ(test_screen::text(8, 24, 30), "\xBA" + std::string(28, ' ') + "\xBA");
    EXPECT_EQ(test_screen::text(9, 24, 30), "\xC8" + repeated(DOUBLE_BAR, 28) + "\xBC");
    // No line ends of its own around it, unlike the main build's header.
    EXPECT_EQ(test_screen::output().find("\r\n\n"), std::string::npos);
}

TEST_F(Screen, BarCellsAndFigure) {
    struct bar_case {
        unsigned percent;
        const char *figure;
        size_t full;
        bool half;
    };
    const bar_case cases[] = {{0, "  0", 0, false},  {1, "  1", 0, false},
                              {2, "  2", 0, true},   {50, " 50", 14, false},
                              {99, " 99", 27, true}, {100, "100", 28, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE("percent " + std::to_string(c.percent));
        test_screen::reset();
        lay_out_screen(BANNER);
        print_download_header("demo.s19", '1');
        console_print("xy");
        show_progress(c.percent);
        EXPECT_EQ(test_screen::text(6, 47, 3), c.figure);
        std::string expected = repeated(FULL, c.full) + (c.half ? repeated(HALF, 1) : "");
        EXPECT_EQ(bar(), expected + std::string(28 - expected.size(), ' '));
        console_print("z"); // the message cursor is back where it was
        EXPECT_EQ(test_screen::text(16, 1, 3), "xyz");
    }
}

TEST_F(Screen, SmallerFigureLeavesTheLongerBar) {
    print_download_header("demo.s19", '1');
    show_progress(99);
    show_progress(50);
    EXPECT_EQ(test_screen::text(6, 47, 3), " 50");
    EXPECT_EQ(bar(), repeated(FULL, 27) + repeated(HALF, 1));
    show_progress(250); // never beyond the box
    EXPECT_EQ(test_screen::text(6, 47, 3), "100");
    EXPECT_EQ(test_screen::text(8, 24, 30), "\xBA" + repeated(FULL, 28) + "\xBA");
}

// The spinner character after each of `lines` lines sent.
std::string spinner_after_each_line(uint32_t speed, unsigned lines) {
    baud_rate = speed;
    std::string seen;
    for (unsigned i = 0; i < lines; ++i) {
        line_sent();
        seen += static_cast<char>(test_screen::at(16, 1));
    }
    return seen;
}

TEST_F(Screen, SpinnerPeriodFollowsTheSpeed) {
    EXPECT_EQ(spinner_after_each_line(9600, 12), "||||////----");
    // The period is taken once, at the first line.
    EXPECT_EQ(spinner_after_each_line(1200, 4), "\\\\\\\\");
    for (uint32_t slow : {2400u, 1200u}) {
        SetUp();
        EXPECT_EQ(spinner_after_each_line(slow, 5), "|/-\\|");
    }
    SetUp();
    EXPECT_EQ(spinner_after_each_line(57600, 25), repeated('|', 24) + "/");
    console_print("x"); // the next text overwrites the spinner
    EXPECT_EQ(test_screen::text(16, 1, 2), "x ");
}

class LineModeDownload : public Screen {
  protected:
    void SetUp() override {
        Screen::SetUp();
        port_number = 1;
        line_bytes_sent = 0;
        record_number = 0;
        end_of_file = false;
        char name[] = "/tmp/kestrel-realflow-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = name;
        std::ofstream(path_, std::ios::binary) << "S0030000FC\n"
                                                  "S1058000AABB0F\n"
                                                  "S1058002CCDDC9\n"
                                                  "S9030000FC\n";
        image_file = fopen(path_.c_str(), "rb");
        ASSERT_NE(image_file, nullptr);
    }
    void TearDown() override {
        close_port();
        fclose(image_file);
        image_file = nullptr;
        unlink(path_.c_str());
    }
    std::string path_;
};

TEST_F(LineModeDownload, FirstLineAtOnceAndCompletionOnTheBar) {
    scripted_target::settings s;
    scripted_target::start(s);
    ASSERT_TRUE(run_download("demo.s19", '1'));

    // After the NAK to the size request only the exchange's own 2 s wait for a further answer
    // byte passes; no second 2 s wait for an extra byte comes before the first line.
    const auto &bytes = test_link::written_bytes();
    std::string written = test_link::written();
    size_t request = written.find("\x01SIZE");
    ASSERT_NE(request, std::string::npos);
    size_t first_line = request + 9;
    ASSERT_EQ(written.substr(first_line, 11), "S0030000FC\n");
    EXPECT_LT(bytes[first_line].at_ms - bytes[first_line - 1].at_ms, 4000u);
    EXPECT_NE(written.find("S8030000FC\n"), std::string::npos);

    EXPECT_EQ(test_screen::text(6, 47, 3), "100");
    EXPECT_EQ(bar(), repeated(FULL, 28));
    const std::string &out = test_screen::output();
    EXPECT_NE(out.find("\r\nDownload Complete.\r\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("\n\nDownload Complete."), std::string::npos);
    EXPECT_EQ(spinner_count, 4u);
}

} // namespace
