// download.exe, the Win32 program carrying the 16-bit build as its DOS stub, run both ways: the
// x86_64 file under Wine as the Windows program, the shipped i686 file in DOSBox, which starts
// an .EXE by its MZ header and so runs the stub.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "wine.h"

namespace {

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

bool have(const char *command) {
    return std::system(("command -v " + std::string(command) + " >/dev/null 2>&1").c_str()) == 0;
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

struct dos_result {
    int status = -1; // -1 when none was recorded
    std::string output;
};

// Runs DOS command lines one after another in a headless DOSBox with drive C: at dir, each
// with its keys as standard input.
std::vector<dos_result>
run_in_dosbox(const std::string &dir,
              const std::vector<std::pair<std::string, std::string>> &runs) {
    std::string conf = "[sdl]\noutput=surface\n[cpu]\ncore=normal\ncycles=max\n"
                       "[serial]\nserial1=disabled\nserial2=disabled\n"
                       "[autoexec]\n@echo off\nmount c " +
                       dir + "\nc:\n";
    for (size_t i = 0; i < runs.size(); ++i) {
        std::string n = std::to_string(i);
        write_file(dir + "/KEYS" + n + ".TXT", runs[i].second);
        // A redirection on an IF line would create its file even when false.
        conf += runs[i].first + " < KEYS" + n + ".TXT > OUT" + n + ".TXT\n";
        conf += "IF ERRORLEVEL 1 GOTO one" + n + "\necho 0 > RC" + n + ".TXT\nGOTO next" + n +
                "\n:one" + n + "\necho 1 > RC" + n + ".TXT\n:next" + n + "\n";
    }
    write_file(dir + "/dosbox.conf", conf + "exit\n");
    std::string command = "cd " + dir +
                          " && SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy timeout 60 dosbox "
                          "-conf dosbox.conf -noconsole >dosbox.log 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::vector<dos_result> results(runs.size());
    for (size_t i = 0; i < runs.size(); ++i) {
        std::string status = e2e::read_file(dir + "/RC" + std::to_string(i) + ".TXT");
        if (!status.empty())
            results[i].status = std::atoi(status.c_str());
        results[i].output = e2e::read_file(dir + "/OUT" + std::to_string(i) + ".TXT");
    }
    return results;
}

TEST(SplicedStub, RunsInDosBoxAsTheDosBuild) {
    if (!have("dosbox"))
        GTEST_SKIP() << "dosbox (Debian package dosbox) is needed";
    std::string dir = e2e::temp_dir();
    ASSERT_EQ(
        std::system(("cp " + std::string(WIN32_DOWNLOAD_EXE) + " " + dir + "/DOWNLOAD.EXE && cp " +
                     e2e::source_path("samples/demo.s19") + " " + dir + "/IMAGE.S19")
                        .c_str()),
        0);
    std::vector<dos_result> r =
        run_in_dosbox(dir, {{"DOWNLOAD", ""}, {"DOWNLOAD IMAGE.S19", "Y3"}});
    // No file: the 16-bit banner and usage, status 1.
    EXPECT_EQ(r[0].status, 1);
    EXPECT_TRUE(contains(r[0].output, "\r\n                            16-bit Version 1.81"))
        << r[0].output;
    EXPECT_TRUE(contains(r[0].output, "\r\nUsage: download <filename> [1|2]\r\n"));
    // Yes, then an illegal port: the DOS build's own port question.
    EXPECT_EQ(r[1].status, 0);
    EXPECT_TRUE(contains(r[1].output, "Continue? (Y, [N])  Y\r\n\nSelect PC COM Port Number for "
                                      "download (1 or 2):  3\r\n\nIllegal Entry (must be 1 or "
                                      "2).\r\n\nFirmware download aborted.\r\n"))
        << r[1].output;
    std::system(("rm -rf " + dir).c_str());
}

TEST(SplicedWin64, RunsUnderWineAsTheWin32Build) {
    if (!have("srec_cat"))
        GTEST_SKIP() << "srec_cat (Debian package srecord) is needed for the image";
    std::string dir = e2e::temp_dir();
    {
        std::string output = dir + "/usage.txt";
        e2e::console_run console = win32::start_kestrelload({}, output, "download.exe");
        EXPECT_EQ(e2e::finish(console, 60), 1);
        std::string text = e2e::read_file(output);
        EXPECT_TRUE(contains(text, "32-bit Version")) << text;
        EXPECT_TRUE(contains(text, "\r\nUsage: kestrelload <filename> <port>\r\n")) << text;
    }
    {
        // A short download in line mode, the image known byte for byte.
        std::string image = dir + "/small.s19", received = dir + "/received.bin";
        ASSERT_EQ(std::system(("srec_cat -generate 0x8000 0x9000 -repeat-string 'spliced ' "
                               "-execution-start-address 0x8000 -o " +
                               image + " -Motorola -address-length=3")
                                  .c_str()),
                  0);
        e2e::target_run target = e2e::start_target(
            {"--waiting", "--mode", "line", "--output", received, "--range", "0x8000:0x8FFF"});
        win32::connect_com1(target.device);
        std::string output = dir + "/download.txt";
        e2e::console_run console = win32::start_kestrelload({image, "1"}, output, "download.exe");
        ASSERT_TRUE(win32::expect_in_file(console, output, "Continue? (Y, [N])  ", 60))
            << e2e::read_file(output);
        ASSERT_TRUE(win32::wait_for_key_input(console, 10));
        e2e::type(console, "y");
        EXPECT_EQ(e2e::finish(console, 60), 0) << e2e::read_file(output);
        EXPECT_EQ(e2e::finish_target(target, 30), 0) << e2e::read_file(target.log_path);
        std::string expected;
        for (int i = 0; i < 0x1000 / 8; ++i)
            expected += "spliced ";
        EXPECT_TRUE(e2e::read_file(received) == expected);
        EXPECT_TRUE(contains(e2e::read_file(output), "\r\nDownload successful.\r\n"));
    }
    std::system(("rm -rf " + dir).c_str());
}

} // namespace
