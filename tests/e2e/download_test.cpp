// Whole downloads: kestrelload on a terminal against kestrel-target on a pseudo-terminal line,
// the image the target received compared byte for byte with what srec_cat makes of the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"

namespace {

const char QUESTION[] = "Continue? (Y, [N])  ";

bool have_srec_cat() {
    return std::system("command -v srec_cat >/dev/null 2>&1") == 0;
}

struct download {
    e2e::target_run target;
    e2e::console_run console;
    std::string received; // the target's output file
};

// Starts the target with args (plus --output and --range), runs kestrelload on image, answers
// the confirmation and, when asked, the login.
download run(const std::string &image, unsigned long start, unsigned long end,
             std::vector<std::string> target_args, const std::string &user = "",
             const std::string &password = "") {
    download d;
    d.received = e2e::temp_dir() + "/received.bin";
    target_args.insert(target_args.end(),
                       {"--output", d.received, "--range", e2e::range_text(start, end)});
    d.target = e2e::start_target(target_args);
    d.console =
        e2e::start_console("kestrelload", {image, "1"}, {"KESTRELLOAD_COM1=" + d.target.device});
    EXPECT_TRUE(e2e::expect(d.console, QUESTION, 10));
    e2e::type(d.console, "y");
    if (!user.empty()) {
        EXPECT_TRUE(e2e::expect(d.console, "ENTER USER NUMBER:  ", 30)) << d.console.output;
        e2e::type(d.console, user + "\r");
        EXPECT_TRUE(e2e::expect(d.console, "ENTER PASSWORD:  ", 15)) << d.console.output;
        e2e::type(d.console, password + "\r");
    }
    e2e::finish(d.console, 240);
    e2e::finish_target(d.target, 30);
    return d;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class Download : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_srec_cat())
            GTEST_SKIP() << "srec_cat (Debian package srecord) is needed for the reference";
    }
    std::string demo = e2e::source_path("samples/demo.s19");
};

TEST_F(Download, LoginUpgradeAndSectorsOf32768) {
    // Data 0x8000-0x1FFFF: sectors 1 to 4 (the last all 0xFF).
    download d = run(demo, 0x8000, 0x27FFF,
                     {"--login", "42:secret", "--upgrade-baud", "19200", "--mode", "sector"}, "42",
                     "secret");
    const std::string &out = d.console.output;
    EXPECT_EQ(d.console.status, 0) << out;
    EXPECT_EQ(d.target.status, 0) << e2e::read_file(d.target.log_path);
    EXPECT_TRUE(contains(out, "Attempting Autobaud . . . 57600 \r\nCommunication established."));
    EXPECT_TRUE(contains(out, "Attempting Autobaud . . . 57600 38400 19200 \r\n"
                              "Communication established."));
    EXPECT_TRUE(contains(out, "==> Firmware : download system software\r\n"));
    EXPECT_TRUE(contains(out, "ENTER PASSWORD:  ******\r\n"));
    EXPECT_TRUE(contains(out, "Com port: 1, Baud Rate: 19200 . . .\r\n\n"));
    EXPECT_TRUE(contains(out, "\r100% complete.   \r\n\r\n\r\nDownload successful.\r\n"));
    EXPECT_EQ(e2e::read_file(d.received), e2e::srec_reference(demo, 0x8000, 0x27FFF));
}

TEST_F(Download, TargetAt9600InLineMode) {
    download d = run(demo, 0x8000, 0x1FFFF, {"--baud", "9600", "--waiting", "--mode", "line"});
    const std::string &out = d.console.output;
    EXPECT_EQ(d.console.status, 0) << out;
    EXPECT_EQ(d.target.status, 0) << e2e::read_file(d.target.log_path);
    EXPECT_TRUE(contains(out, "57600 38400 19200 9600 \r\nCommunication established."));
    EXPECT_TRUE(contains(out, "\r\n\nDownload Complete.\r\n\r\n\r\nDownload successful.\r\n"));
    EXPECT_EQ(e2e::read_file(d.received), e2e::srec_reference(demo, 0x8000, 0x1FFFF));
}

TEST_F(Download, FailedLogin) {
    download d =
        run(demo, 0x8000, 0x27FFF, {"--login", "42:secret", "--idle-timeout", "5"}, "42", "wrong");
    EXPECT_EQ(d.console.status, 1);
    EXPECT_TRUE(contains(d.console.output, "\r\n\nLogin failed.\r\n"
                                           "\r\nERROR - Could not obtain download prompt.\r\n"
                                           "\r\nERROR - Download not successful.\r\n"))
        << d.console.output;
}

TEST_F(Download, SectorsOf131072) {
    std::string image = e2e::temp_dir() + "/large.s19";
    std::string make = "srec_cat -generate 0x20000 0x5A000 -repeat-string 'large sectors ' "
                       "-generate 0x5C000 0x60000 -constant 0x5A -o " +
                       image + " -Motorola -address-length=3";
    ASSERT_EQ(std::system(make.c_str()), 0);
    download d = run(image, 0x20000, 0x7FFFF, {"--waiting", "--sector-size", "131072"});
    EXPECT_EQ(d.console.status, 0) << d.console.output;
    EXPECT_EQ(d.target.status, 0) << e2e::read_file(d.target.log_path);
    EXPECT_EQ(e2e::read_file(d.received), e2e::srec_reference(image, 0x20000, 0x7FFFF));
}

TEST_F(Download, NaksAreAnsweredWithResends) {
    download line =
        run(demo, 0x8000, 0x1FFFF, {"--waiting", "--mode", "line", "--nak-line", "3:2"});
    EXPECT_EQ(line.console.status, 0)
        << line.console.output << e2e::read_file(line.target.log_path);
    EXPECT_TRUE(contains(line.console.output, "Resending Record 3\r\n"));
    EXPECT_EQ(e2e::read_file(line.received), e2e::srec_reference(demo, 0x8000, 0x1FFFF));

    download sector =
        run(demo, 0x8000, 0x27FFF, {"--waiting", "--nak-block", "2:17:3", "--nak-header", "3"});
    EXPECT_EQ(sector.console.status, 0) << sector.console.output;
    EXPECT_EQ(sector.target.status, 0) << e2e::read_file(sector.target.log_path);
    EXPECT_EQ(e2e::read_file(sector.received), e2e::srec_reference(demo, 0x8000, 0x27FFF));
}

TEST_F(Download, FailedSectorEndsWithNak) {
    download d = run(demo, 0x8000, 0x27FFF, {"--waiting", "--bad-fs-answer", "2"});
    EXPECT_EQ(d.console.status, 1);
    EXPECT_EQ(d.target.status, 2); // the target saw the NAK end byte, never EOT
    std::string log = e2e::read_file(d.target.log_path);
    EXPECT_TRUE(contains(d.console.output, "\r\nERROR - Download not successful.\r\n"));
    EXPECT_FALSE(contains(d.console.output, "Download successful."));
}

} // namespace
