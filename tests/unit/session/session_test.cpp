// Link establishment, target lines and session set-up over the scripted link.
#include <gtest/gtest.h>

#include <string>

#include "fake_target.h"
#include "serial/serial.h"
#include "session/session.h"
#include "support/test_console.h"
#include "support/test_link.h"

namespace {

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test_link::reset();
        test_console::reset();
        port_number = 1;
    }
    void TearDown() override { close_port(); }

    static size_t count_of(const std::string &haystack, const std::string &needle) {
        size_t count = 0;
        for (size_t at = haystack.find(needle); at != std::string::npos;
             at = haystack.find(needle, at + 1))
            ++count;
        return count;
    }
};

TEST_F(SessionTest, AutobaudStopsAtTheFirstSpeedThatEchoes) {
    fake_target::settings at_57600;
    fake_target::start(at_57600);
    ASSERT_TRUE(autobaud());
    EXPECT_EQ(test_console::output(),
              "\r\n\nAttempting Autobaud . . . 57600 \r\nCommunication established.\r\n\n");
    EXPECT_EQ(test_link::open_speeds(), std::vector<uint32_t>({57600}));
    EXPECT_TRUE(test_link::is_open());
    // Wake-up: three ETX 55 ms apart, then two carriage returns, then the pattern.
    const auto &bytes = test_link::written_bytes();
    ASSERT_GE(bytes.size(), 14u);
    EXPECT_EQ(test_link::written().substr(0, 14), "\x03\x03\x03\r\r"
                                                  "1234abcd\n");
    EXPECT_EQ(bytes[1].at_ms - bytes[0].at_ms, 55u);
    EXPECT_EQ(bytes[2].at_ms - bytes[1].at_ms, 55u);
}

TEST_F(SessionTest, AutobaudTriesSpeedsFastestFirst) {
    fake_target::settings at_9600;
    at_9600.speed = 9600;
    fake_target::start(at_9600);
    ASSERT_TRUE(autobaud());
    EXPECT_EQ(test_console::output(), "\r\n\nAttempting Autobaud . . . 57600 38400 19200 9600 "
                                      "\r\nCommunication established.\r\n\n");
    EXPECT_EQ(test_link::open_speeds(), std::vector<uint32_t>({57600, 38400, 19200, 9600}));
    EXPECT_EQ(baud_rate, 9600u);
}

TEST_F(SessionTest, AutobaudFailures) {
    // A silent line: every speed tried, about 7 s each, port left closed.
    ASSERT_FALSE(autobaud());
    EXPECT_EQ(test_console::output(), "\r\n\nAttempting Autobaud . . . 57600 38400 19200 9600 "
                                      "4800 2400 1200 ");
    EXPECT_FALSE(test_link::is_open());
    EXPECT_EQ(baud_rate, 1200u);
    EXPECT_NEAR(test_link::now_ms(), 7 * (165 + 2000 + 5000), 7 * 10);

    // A port that cannot be opened ends the search before any speed is shown.
    test_link::reset();
    test_console::reset();
    test_link::fail_open(1);
    EXPECT_FALSE(autobaud());
    EXPECT_EQ(test_console::output(), "\r\n\nAttempting Autobaud . . . ");

    // The echo comparison is exact: letters echoed in the other case fail at every speed.
    test_link::reset();
    test_console::reset();
    fake_target::settings other_case;
    other_case.upper_case_echo = true;
    fake_target::start(other_case);
    EXPECT_FALSE(autobaud());
    EXPECT_EQ(test_link::open_speeds().size(), 7u);
}

TEST_F(SessionTest, AutobaudAcceptsAnyAnswerToTheLineFeed) {
    test_link::on_write([](unsigned char c) {
        if (c >= 0x20)
            test_link::target_says(std::string(1, static_cast<char>(c)));
        else if (c == '\n')
            test_link::target_says("#");
    });
    EXPECT_TRUE(autobaud());
}

TEST_F(SessionTest, AutobaudDrainIsCutOffAfter600Bytes) {
    // A target that chatters 600 bytes after the wake-up: the drain takes them all without
    // waiting for silence, and the echo test then passes.
    size_t chatter = 600;
    auto target = [&chatter](unsigned char c) {
        if (c == '\r') {
            test_link::target_says(std::string(chatter / 2, 'x'));
        } else if (c >= 0x20 || c == '\n') {
            test_link::target_says(std::string(1, static_cast<char>(c)));
        }
    };
    test_link::on_write(target);
    ASSERT_TRUE(autobaud());
    // No 2-second silence before the pattern: the pattern went at the wake-up's 165 ms.
    EXPECT_EQ(test_link::written_bytes()[5].at_ms, 165u);

    // 650 bytes: the 50 left over answer the pattern, so 57600 fails.
    test_link::reset();
    test_console::reset();
    chatter = 650;
    test_link::on_write(target);
    autobaud();
    EXPECT_GT(test_link::open_speeds().size(), 1u);
}

TEST_F(SessionTest, TargetLineHoldsBackTheWordButKeepsTheWholeLine) {
    ASSERT_TRUE(open_port(1));
    test_link::target_says("\r\n\r\n" + std::string(FIRMWARE_CORRUPTED_LINE));
    read_target_line(true, FIRMWARE_CORRUPTED_LINE, "corrupted");
    EXPECT_STREQ(target_line, FIRMWARE_CORRUPTED_LINE);
    EXPECT_EQ(test_console::take_output(), "\r\n\r\n==> Firmware : download system software\r\n");

    // A line that only starts like the word: the matched characters stay hidden.
    test_link::target_says("==> Firmware corrXYZ\r\n");
    read_target_line(true, FIRMWARE_CORRUPTED_LINE, "corrupted");
    EXPECT_STREQ(target_line, "==> Firmware corrXYZ\r\n");
    EXPECT_EQ(test_console::take_output(), "==> Firmware XYZ\r\n");

    // Without a message everything is echoed; with echo off nothing is.
    test_link::target_says("==> Firmware corrupted\r\nsecond\r\n");
    read_target_line(true, 0, 0);
    EXPECT_EQ(test_console::take_output(), "==> Firmware corrupted\r\n");
    read_target_line(false, FIRMWARE_CORRUPTED_LINE, "corrupted");
    EXPECT_STREQ(target_line, "second\r\n");
    EXPECT_EQ(test_console::output(), "");
}

TEST_F(SessionTest, TargetLineEnds) {
    ASSERT_TRUE(open_port(1));
    // A prompt without a line end comes back after two seconds of silence.
    test_link::target_says("User# > ");
    read_target_line(false, 0, 0);
    EXPECT_STREQ(target_line, "User# > ");
    EXPECT_EQ(test_link::now_ms(), 2000u);

    // A long line is cut at 82 characters; the rest comes with the next read.
    test_link::target_says(std::string(90, 'a') + "\r\n");
    read_target_line(false, 0, 0);
    EXPECT_EQ(std::string(target_line), std::string(82, 'a'));
    read_target_line(false, 0, 0);
    EXPECT_EQ(std::string(target_line), std::string(8, 'a') + "\r\n");

    // Nothing at all within five seconds: an empty line.
    uint64_t before = test_link::now_ms();
    read_target_line(true, 0, 0);
    EXPECT_STREQ(target_line, "");
    EXPECT_EQ(test_link::now_ms() - before, 5000u);
}

TEST_F(SessionTest, OperatorEntryGoesStraightToTheTarget) {
    ASSERT_TRUE(open_port(1));
    test_console::keys("ab\b\r");
    forward_operator_entry("ENTER PASSWORD:  ", true);
    EXPECT_EQ(test_console::output(), "\aENTER PASSWORD:  ***\r\n");
    EXPECT_EQ(test_link::written(), "ab\b\r");

    test_console::reset();
    test_console::keys("12\r");
    forward_operator_entry("USER:  ", false);
    EXPECT_EQ(test_console::output(), "\aUSER:  12\r\n");
}

TEST_F(SessionTest, AlreadyWaitingTargetNeedsNoUpgrade) {
    fake_target::settings waiting;
    waiting.waiting = true;
    fake_target::start(waiting);
    ASSERT_TRUE(open_session());
    EXPECT_EQ(test_link::open_speeds().size(), 1u);
    EXPECT_EQ(test_link::written().find("_UPGRADE_"), std::string::npos);
    EXPECT_NE(test_console::output().find("==> Firmware : download system software\r\n"),
              std::string::npos);
}

TEST_F(SessionTest, CommandPromptLeadsToUpgradeAndSecondAutobaud) {
    fake_target::settings plain;
    plain.upgrade_speed = 19200;
    fake_target::start(plain);
    ASSERT_TRUE(open_session());
    EXPECT_EQ(fake_target::commands().back(), std::string(UPGRADE_COMMAND, 65));
    EXPECT_EQ(test_link::open_speeds(), std::vector<uint32_t>({57600, 57600, 38400, 19200}));
    EXPECT_EQ(baud_rate, 19200u);
    EXPECT_EQ(fake_target::logins(), 0u);
    // The upgrade command's echo is shown.
    EXPECT_NE(test_console::output().find(std::string(UPGRADE_COMMAND, 65)), std::string::npos);
}

TEST_F(SessionTest, LoginIsOfferedOnceAndItsFailureEndsTheSession) {
    fake_target::settings with_login;
    with_login.login = true;
    fake_target::start(with_login);
    test_console::keys("1234\rsecret\r");
    ASSERT_TRUE(open_session());
    EXPECT_EQ(fake_target::logins(), 1u);
    std::string shown = test_console::output();
    EXPECT_NE(shown.find("\a\r\n\nMUST LOGIN - ENTER USER NUMBER:  1234\r\n"), std::string::npos);
    EXPECT_NE(shown.find("\aENTER PASSWORD:  ******\r\n"), std::string::npos);

    test_link::reset();
    test_console::reset();
    fake_target::start(with_login);
    test_console::keys("1234\rwrong\r");
    EXPECT_FALSE(open_session());
    EXPECT_EQ(fake_target::logins(), 1u);
    shown = test_console::output();
    EXPECT_EQ(count_of(shown, "MUST LOGIN"), 1u);
    EXPECT_EQ(shown.substr(shown.size() - 18), "\r\n\nLogin failed.\r\n");
}

TEST_F(SessionTest, SessionFailures) {
    // No waiting line after the upgrade: four attempts, then false without a message.
    fake_target::settings never_waits;
    never_waits.shows_waiting_after_upgrade = false;
    fake_target::start(never_waits);
    EXPECT_FALSE(open_session());
    EXPECT_EQ(count_of(test_link::written(), "_UPGRADE_SYSTEM_CODE_"), 4u);
    EXPECT_EQ(test_console::output().find("Could not"), std::string::npos);

    // Nobody answers at all.
    test_link::reset();
    test_console::reset();
    EXPECT_FALSE(open_session());
    EXPECT_EQ(test_console::output().substr(test_console::output().size() - 39),
              "\r\nCould not establish communications.\r\n");

    // The target goes quiet after the upgrade command.
    test_link::reset();
    test_console::reset();
    fake_target::settings goes_quiet;
    goes_quiet.answers_after_upgrade = false;
    fake_target::start(goes_quiet);
    EXPECT_FALSE(open_session());
    EXPECT_EQ(test_console::output().substr(test_console::output().size() - 42),
              "\r\nCould not re-establish communications.\r\n");
}

} // namespace
