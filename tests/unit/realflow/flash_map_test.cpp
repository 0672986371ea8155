// The flash-map check over the scripted link, alone and inside the session set-up.
#include <gtest/gtest.h>

#include <string>

#include "realmode/flash_map.h"
#include "scripted_target.h"
#include "serial/serial.h"
#include "session/driver.h"
#include "session/session.h"
#include "support/test_link.h"
#include "support/test_screen.h"

namespace {

const std::string CANNOT_VERIFY = "\r\nCould not verify sector protection status.\r\n";
const std::string NOT_CONTIGUOUS = "\r\nFlash memory devices are not contiguous.\r\n";
const std::string BOOT_NOT_PROTECTED = "\r\nBoot sector is not write protected.\r\n";
const std::string NOT_ERASABLE = "\r\nAn application or data sector is not erasable.\r\n";
const std::string SPURIOUS = "\r\nSpurious characters follow the sector protection data.\r\n";
const std::string SUPPORT = "\r\n*** Contact Halvren Technical Support for assistance. ***\r\n";
const std::string NO_PROMPT = "\r\nERROR - Could not obtain download prompt.\r\n";

class FlashMap : public ::testing::Test {
  protected:
    void SetUp() override {
        test_link::reset();
        test_screen::reset();
        port_number = 1;
        baud_rate = 57600;
    }
    void TearDown() override { close_port(); }
};

TEST_F(FlashMap, EveryAnswerGetsItsVerdict) {
    struct answer_case {
        std::string answer;
        std::string message; // empty: passes
    };
    const std::string sixteen_devices = "FFFF : FE" + [] {
        std::string rest;
        for (int i = 1; i < 16; ++i)
            rest += " FF";
        return rest;
    }();
    const answer_case cases[] = {
        {"1 : FE", ""},
        {"1:FE", ""},
        {"1 : fe", ""},
        {"3 : FE FF", ""},
        {"3 : FE FF FF", ""}, // only the character after the last value is looked at
        {"1 : FE x", ""},
        {"  1\t:  FE ", ""},
        {sixteen_devices, ""},
        {"3 : FE", CANNOT_VERIFY},
        {"0 : FE", CANNOT_VERIFY},
        {"1 FE", CANNOT_VERIFY},
        {"1 :", CANNOT_VERIFY},
        {": FE", CANNOT_VERIFY},
        {"3 : FE zz", CANNOT_VERIFY},
        {"10000 : FE", CANNOT_VERIFY},     // beyond sixteen device positions
        {"100000001 : FE", CANNOT_VERIFY}, // "%x" alone would keep the low 32 bits: 1
        {"0x0000000001 : 00000000FE", ""},
        {"5 : FE FF", NOT_CONTIGUOUS},
        {"2 : FE", NOT_CONTIGUOUS},
        {"1 : FF", BOOT_NOT_PROTECTED},
        {"1 : 01", BOOT_NOT_PROTECTED},
        {"1 : 7F", BOOT_NOT_PROTECTED}, // bit 0 is told first
        {"1 : 7E", NOT_ERASABLE},
        {"1 : 1FE", NOT_ERASABLE},
        {"1 : 1000000FE", NOT_ERASABLE},
        {"1 : 1000000FF", BOOT_NOT_PROTECTED},
        {"3 : FE 1000000FF", NOT_ERASABLE},
        {"3 : FE FE", NOT_ERASABLE},
        {"3 : FE 1FF", NOT_ERASABLE},
        {"1 : FEx", SPURIOUS},
        {"3 : FE FF,", SPURIOUS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("answer \"" + c.answer + "\"");
        test_link::reset();
        test_screen::reset();
        scripted_target::settings s;
        s.flash_map = c.answer;
        scripted_target::start(s);
        ASSERT_TRUE(open_port(1));
        flash_check_active = false;

        EXPECT_EQ(check_flash_map(), c.message.empty());
        EXPECT_EQ(flash_check_active, !c.message.empty());
        // The command's echo, the answer line, then the verdict.
        EXPECT_EQ(test_screen::output(), "_DUMP_FLASH_MAP\r" + c.answer + "\r\n" + c.message);
        EXPECT_EQ(test_link::written(), "_DUMP_FLASH_MAP\r");
    }
}

TEST_F(FlashMap, SilentTargetCannotBeVerified) {
    scripted_target::settings s;
    s.silent_map = true;
    scripted_target::start(s);
    ASSERT_TRUE(open_port(1));
    uint64_t start = test_link::now_ms();
    EXPECT_FALSE(check_flash_map());
    EXPECT_EQ(test_screen::output(), "_DUMP_FLASH_MAP\r" + CANNOT_VERIFY);
    EXPECT_EQ(test_link::now_ms() - start, 5000u); // the answer's first character is awaited 5 s
}

TEST_F(FlashMap, RefusedMapEndsTheSessionWithTheSupportMessage) {
    scripted_target::settings s;
    s.flash_map = "1 : FF";
    scripted_target::start(s);
    EXPECT_FALSE(run_download("demo.s19", '1'));
    const std::string &out = test_screen::output();
    EXPECT_NE(out.find(BOOT_NOT_PROTECTED + SUPPORT), std::string::npos) << out;
    EXPECT_EQ(out.find("Could not obtain download prompt"), std::string::npos);
    // At once: no second attempt, and the target never sees the upgrade command.
    EXPECT_EQ(scripted_target::commands(),
              std::vector<std::string>({"1234abcd", "_DUMP_FLASH_MAP"}));
}

TEST_F(FlashMap, FailuresBeforeOrAfterTheCheckAreNoPrompt) {
    scripted_target::settings silent;
    silent.answers = false;
    scripted_target::start(silent);
    EXPECT_FALSE(run_download("demo.s19", '1'));
    EXPECT_NE(test_screen::output().find("\r\nCould not establish communications.\r\n" + NO_PROMPT),
              std::string::npos)
        << test_screen::output();

    // The check passed, so its flag is down again when the restart is not found.
    test_link::reset();
    test_screen::reset();
    scripted_target::settings gone;
    gone.answers_after_upgrade = false;
    scripted_target::start(gone);
    EXPECT_FALSE(run_download("demo.s19", '1'));
    const std::string &out = test_screen::output();
    EXPECT_NE(out.find("\r\nCould not re-establish communications.\r\n" + NO_PROMPT),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find(SUPPORT), std::string::npos);
    // The map is asked for just before the upgrade command; the prompt that follows the map
    // must have been read in between, or the command's echo check would have failed.
    const auto &commands = scripted_target::commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[1], "_DUMP_FLASH_MAP");
    EXPECT_EQ(commands[2] + "\r", UPGRADE_COMMAND);
    EXPECT_NE(test_link::written().find(std::string("_DUMP_FLASH_MAP\r") + UPGRADE_COMMAND),
              std::string::npos);
}

} // namespace
