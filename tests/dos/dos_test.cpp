// The genuine 16-bit build, DOWNLOAD.EXE, in DOSBox: headless, keys from a file, the exit
// status through ERRORLEVEL, the text screen read back by SCRDUMP.EXE, and the serial port
// a TCP connection to kestrel-target. Downloads are compared byte for byte with what srec_cat
// makes of the image.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace {

const char QUESTION[] = "Continue? (Y, [N])  ";
const unsigned ROW_LENGTH = 80;

bool have(const char *command) {
    return std::system(("command -v " + std::string(command) + " >/dev/null 2>&1").c_str()) == 0;
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

struct dos_run {
    int status = -1;    // the program's exit status, -1 when none was recorded
    std::string output; // its standard output
    std::string screen; // the text screen afterwards, 25 rows of 80 characters and CR LF
    std::string dir;    // the DOS drive C:
};

// Runs the DOS command line with keys as standard input, COM<com> connected to a TCP server on
// tcp_port (none when 0); files are pairs of a host path and a DOS name.
dos_run run_dos(const std::string &command_line, const std::string &keys, unsigned tcp_port,
                unsigned com, const std::vector<std::string> &files) {
    dos_run run;
    run.dir = e2e::temp_dir();
    for (const char *exe : {"DOWNLOAD.EXE", "SCRDUMP.EXE", "LIBCTEST.EXE"})
        EXPECT_EQ(
            std::system(("cp " + std::string(DOS_BUILD_DIR) + "/" + exe + " " + run.dir).c_str()),
            0);
    for (size_t i = 0; i + 1 < files.size(); i += 2)
        EXPECT_EQ(std::system(("cp " + files[i] + " " + run.dir + "/" + files[i + 1]).c_str()), 0);
    write_file(run.dir + "/KEYS.TXT", keys);

    std::string line =
        "nullmodem server:127.0.0.1 port:" + std::to_string(tcp_port) + " transparent:1";
    std::string serial1 = tcp_port != 0 && com == 1 ? line : "disabled";
    std::string serial2 = tcp_port != 0 && com == 2 ? line : "disabled";
    // A redirection on an IF line would create its file even when false: the status is
    // written from GOTO branches.
    std::string conf = "[sdl]\noutput=surface\n[cpu]\ncore=normal\ncycles=max\n";
    conf += "[serial]\nserial1=" + serial1 + "\nserial2=" + serial2 + "\n";
    conf += "[autoexec]\n@echo off\nmount c " + run.dir + "\nc:\n";
    conf += command_line + " < KEYS.TXT > OUT.TXT\n";
    conf += "IF ERRORLEVEL 2 GOTO two\nIF ERRORLEVEL 1 GOTO one\n"
            "echo 0 > RC.TXT\nGOTO dump\n"
            ":one\necho 1 > RC.TXT\nGOTO dump\n"
            ":two\necho 2 > RC.TXT\n"
            ":dump\nSCRDUMP SCREEN.TXT\nexit\n";
    write_file(run.dir + "/dosbox.conf", conf);
    std::string command = "cd " + run.dir +
                          " && SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy timeout 240 dosbox "
                          "-conf dosbox.conf -noconsole >dosbox.log 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::string status = e2e::read_file(run.dir + "/RC.TXT");
    if (!status.empty())
        run.status = std::atoi(status.c_str());
    run.output = e2e::read_file(run.dir + "/OUT.TXT");
    run.screen = e2e::read_file(run.dir + "/SCREEN.TXT");
    return run;
}

dos_run run_download(const std::string &tail, const std::string &keys, unsigned tcp_port,
                     unsigned com, const std::vector<std::string> &files = {}) {
    return run_dos("DOWNLOAD " + tail, keys, tcp_port, com, files);
}

void remove_dir(const std::string &dir) {
    std::system(("rm -rf " + dir).c_str());
}

// Row n (from 1) of the screen, from column (from 1) on.
std::string screen_text(const dos_run &run, unsigned row, unsigned column, size_t length) {
    size_t start = (row - 1) * (ROW_LENGTH + 2) + column - 1;
    return start < run.screen.size() ? run.screen.substr(start, length) : "";
}

// The message window (rows 16 to 24), rows joined by line ends, trailing blanks removed.
std::string message_window(const dos_run &run) {
    std::string text;
    for (unsigned row = 16; row <= 24; ++row) {
        std::string line = screen_text(run, row, 1, ROW_LENGTH);
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    return text;
}

class Dos : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have("dosbox"))
            GTEST_SKIP() << "dosbox (Debian package dosbox) is needed";
        if (access((std::string(DOS_BUILD_DIR) + "/DOWNLOAD.EXE").c_str(), R_OK) != 0)
            GTEST_SKIP() << "DOWNLOAD.EXE is not built (scripts/build-dos)";
    }
};

// A download against kestrel-target on TCP: the run, the target's status and what it got.
struct download {
    dos_run dos;
    int target_status = -1;
    std::string received;
    std::string target_log;
};

download run_with_target(const std::string &image, unsigned long start, unsigned long end,
                         std::vector<std::string> target_args, const std::string &tail,
                         const std::string &keys, unsigned com = 1) {
    download d;
    std::string got = e2e::temp_dir() + "/received.bin";
    char range[64];
    std::snprintf(range, sizeof range, "0x%lX:0x%lX", start, end);
    target_args.insert(target_args.end(),
                       {"--tcp", "0", "--output", got, "--range", range, "--idle-timeout", "60"});
    e2e::target_run target = e2e::start_target(target_args);
    unsigned port = 0;
    std::sscanf(target.device.c_str(), "tcp:127.0.0.1:%u", &port);
    EXPECT_NE(port, 0u) << target.device;
    d.dos = run_download(tail, keys, port, com, {image, "IMAGE.S19"});
    d.target_status = e2e::finish_target(target, 10);
    d.received = e2e::read_file(got);
    d.target_log = e2e::read_file(target.log_path);
    remove_dir(got.substr(0, got.rfind('/')));
    remove_dir(target.log_path.substr(0, target.log_path.rfind('/')));
    return d;
}

TEST_F(Dos, LibrarySubset) {
    // The formatting, file and heap checks of LIBCTEST, inside DOS.
    std::string dir = e2e::temp_dir();
    write_file(dir + "/data.txt", "line1\nline2\r\nlast");
    std::string big;
    for (int i = 0; i < 2000; ++i)
        big += (char)(i % 251);
    write_file(dir + "/big.bin", big);
    dos_run r =
        run_dos("LIBCTEST", "", 0, 0, {dir + "/data.txt", "DATA.TXT", dir + "/big.bin", "BIG.BIN"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "checks passed\r\n");
    remove_dir(r.dir);
    remove_dir(dir);

    // Ctrl-C through DOS and Ctrl-Break through the BIOS end the program, status 1.
    for (const char *how : {"23", "1B"}) {
        dos_run stopped = run_dos(std::string("LIBCTEST ") + how, "", 0, 0, {});
        EXPECT_EQ(stopped.status, 1) << how;
        EXPECT_EQ(stopped.output, "^C\r\n") << how;
        remove_dir(stopped.dir);
    }
}

TEST_F(Dos, UsageAndPortQuestion) {
    // No file: the banner and the usage on standard output, status 1.
    dos_run usage = run_download("", "", 0, 0);
    EXPECT_EQ(usage.status, 1);
    EXPECT_NE(usage.output.find("\r\n                            16-bit Version 1.81"),
              std::string::npos)
        << usage.output;
    EXPECT_NE(usage.output.find("\r\nUsage: download <filename> [1|2]\r\n"), std::string::npos);
    remove_dir(usage.dir);

    // A port argument other than 1 or 2 is a usage error too.
    dos_run port3 =
        run_download("IMAGE.S19 3", "", 0, 0, {e2e::source_path("samples/demo.s19"), "IMAGE.S19"});
    EXPECT_EQ(port3.status, 1);
    EXPECT_NE(port3.output.find("Usage: download"), std::string::npos) << port3.output;
    remove_dir(port3.dir);

    // Yes, then an illegal port: no second chance, and no port was opened (status 0).
    dos_run illegal =
        run_download("IMAGE.S19", "Y3", 0, 0, {e2e::source_path("samples/demo.s19"), "IMAGE.S19"});
    EXPECT_EQ(illegal.status, 0);
    EXPECT_NE(illegal.output.find(std::string(QUESTION) +
                                  "Y\r\n\nSelect PC COM Port Number for download (1 or 2):  3"
                                  "\r\n\nIllegal Entry (must be 1 or 2).\r\n\n"
                                  "Firmware download aborted.\r\n"),
              std::string::npos)
        << illegal.output;
    remove_dir(illegal.dir);
}

TEST_F(Dos, SectorDownloadWithScreen) {
    if (!have("srec_cat"))
        GTEST_SKIP() << "srec_cat (Debian package srecord) is needed";
    // 32 KiB of data at 0x8000: sector 1, then sector 2 all 0xFF. The whole session: speed
    // search, flash-map check, upgrade mode. The port is asked for.
    std::string dir = e2e::temp_dir(), image = dir + "/small.s19";
    ASSERT_EQ(std::system(("srec_cat -generate 0x8000 0x10000 -repeat-string 'dos sectors ' -o " +
                           image + " -Motorola -address-length=3")
                              .c_str()),
              0);
    download d = run_with_target(image, 0x8000, 0x17FFF, {}, "IMAGE.S19", "Y1");
    EXPECT_EQ(d.dos.status, 0) << message_window(d.dos);
    EXPECT_EQ(d.target_status, 0) << d.target_log;
    EXPECT_TRUE(d.received == e2e::srec_reference(image, 0x8000, 0x17FFF)) << d.target_log;

    // The status window: banner, percentage, the box with a full bar, the header, the line
    // that closes the window.
    const dos_run &r = d.dos;
    EXPECT_EQ(screen_text(r, 2, 17, 44), "Halvren Security Systems Firmware Downloader");
    EXPECT_EQ(screen_text(r, 3, 29, 19), "16-bit Version 1.81");
    EXPECT_EQ(screen_text(r, 6, 29, 21), "Percent Complete: 100");
    EXPECT_EQ(screen_text(r, 7, 24, 30), "\xC9" + std::string(28, '\xCD') + "\xBB");
    EXPECT_EQ(screen_text(r, 8, 23, 32), " \xBA" + std::string(28, '\xDB') + "\xBA ");
    EXPECT_EQ(screen_text(r, 9, 24, 30), "\xC8" + std::string(28, '\xCD') + "\xBC");
    EXPECT_EQ(screen_text(r, 12, 1, 25), "Downloading IMAGE.S19 -- ");
    EXPECT_EQ(screen_text(r, 13, 1, 36), "Com port: 1, Baud Rate: 57600 . . . ");
    EXPECT_EQ(screen_text(r, 14, 1, 80), std::string(79, '\xCD') + " ");
    std::string messages = message_window(r);
    EXPECT_NE(messages.find("Download successful."), std::string::npos) << messages;
    EXPECT_EQ(messages.find("ERROR"), std::string::npos) << messages;
    remove_dir(r.dir);
    remove_dir(dir);
}

TEST_F(Dos, CancelledTransferLeavesHalfBar) {
    if (!have("srec_cat"))
        GTEST_SKIP() << "srec_cat (Debian package srecord) is needed";
    // Sector 1 of 2 programmed, then the target cancels: 50 on 14 full cells, status 1.
    std::string dir = e2e::temp_dir(), image = dir + "/small.s19";
    ASSERT_EQ(std::system(("srec_cat -generate 0x8000 0x10000 -repeat-string 'dos sectors ' -o " +
                           image + " -Motorola -address-length=3")
                              .c_str()),
              0);
    download d = run_with_target(image, 0x8000, 0x17FFF, {"--waiting", "--cancel-block", "2:1"},
                                 "IMAGE.S19 1", "Y");
    EXPECT_EQ(d.dos.status, 1) << message_window(d.dos);
    EXPECT_EQ(screen_text(d.dos, 6, 29, 21), "Percent Complete:  50");
    EXPECT_EQ(screen_text(d.dos, 8, 24, 30),
              "\xBA" + std::string(14, '\xDB') + std::string(14, ' ') + "\xBA");
    std::string messages = message_window(d.dos);
    EXPECT_NE(messages.find("ERROR - Download not successful."), std::string::npos) << messages;
    remove_dir(d.dos.dir);
    remove_dir(dir);
}

TEST_F(Dos, SectorsOf131072InFarMemory) {
    if (!have("srec_cat"))
        GTEST_SKIP() << "srec_cat (Debian package srecord) is needed";
    // A sector buffer of two segments: bytes on both sides of each 64 KiB boundary.
    std::string dir = e2e::temp_dir(), image = dir + "/large.s19";
    ASSERT_EQ(std::system(("srec_cat -generate 0x20000 0x3FF00 -repeat-string 'far sectors ' "
                           "-o " +
                           image + " -Motorola -address-length=3")
                              .c_str()),
              0);
    download d = run_with_target(image, 0x20000, 0x5FFFF, {"--waiting", "--sector-size", "131072"},
                                 "IMAGE.S19 1", "Y");
    EXPECT_EQ(d.dos.status, 0) << message_window(d.dos);
    EXPECT_EQ(d.target_status, 0) << d.target_log;
    EXPECT_TRUE(d.received == e2e::srec_reference(image, 0x20000, 0x5FFFF)) << d.target_log;
    remove_dir(d.dos.dir);
    remove_dir(dir);
}

TEST_F(Dos, LineDownload) {
    if (!have("srec_cat"))
        GTEST_SKIP() << "srec_cat (Debian package srecord) is needed";
    std::string dir = e2e::temp_dir(), image = dir + "/lines.s19";
    ASSERT_EQ(std::system(("srec_cat -generate 0x1000 0x2000 -repeat-string 'dos lines ' "
                           "-execution-start-address 0x1000 -o " +
                           image + " -Motorola -address-length=3")
                              .c_str()),
              0);
    download d = run_with_target(image, 0x1000, 0x1FFF, {"--waiting", "--mode", "line"},
                                 "IMAGE.S19 2", "y", 2);
    // COM2 was given: no port question.
    EXPECT_EQ(d.dos.status, 0) << message_window(d.dos);
    EXPECT_EQ(d.dos.output.find("Select PC COM Port"), std::string::npos);
    EXPECT_EQ(d.target_status, 0) << d.target_log;
    EXPECT_TRUE(d.received == e2e::srec_reference(image, 0x1000, 0x1FFF)) << d.target_log;
    EXPECT_EQ(screen_text(d.dos, 6, 29, 21), "Percent Complete: 100");
    EXPECT_EQ(screen_text(d.dos, 8, 25, 28), std::string(28, '\xDB'));
    EXPECT_EQ(screen_text(d.dos, 13, 1, 11), "Com port: 2");
    std::string messages = message_window(d.dos);
    EXPECT_NE(messages.find("\nDownload Complete.\n\n\nDownload successful.\n"), std::string::npos)
        << messages;
    remove_dir(d.dos.dir);
    remove_dir(dir);
}

TEST_F(Dos, FailedFlashMapCheck) {
    // After the login, a boot sector that is not write-protected: the target is never put
    // into upgrade mode.
    download d = run_with_target(e2e::source_path("samples/demo.s19"), 0x8000, 0x8FFF,
                                 {"--login", "42:secret", "--flash-map", "1 : FF"}, "IMAGE.S19 1",
                                 "Y42\rsecret\r");
    EXPECT_EQ(d.dos.status, 1);
    std::string messages = message_window(d.dos);
    EXPECT_NE(messages.find("Boot sector is not write protected.\n\n"
                            "*** Contact Halvren Technical Support for assistance. ***\n\n"
                            "ERROR - Download not successful.\n"),
              std::string::npos)
        << messages;
    EXPECT_EQ(messages.find("Could not obtain download prompt"), std::string::npos);
    EXPECT_NE(d.target_log.find("login as user \"42\": accepted"), std::string::npos)
        << d.target_log;
    EXPECT_EQ(d.target_log.find("upgrade-mode command accepted"), std::string::npos);
    remove_dir(d.dos.dir);
}

} // namespace
