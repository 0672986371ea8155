// The Win32 build from Linux: its PE files as binutils read them, whole downloads of the x86_64
// build under Wine, and the DOS stub of the shipped i686 download.exe in DOSBox.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "e2e/harness.h"

namespace {

const std::string I686 = WIN32_BUILD_DIR, X64 = WIN64_BUILD_DIR;

// The PE files as the release checks them; download.exe carries DOWNLOAD.EXE as its DOS stub.
// A stub that leaves no room below the first section is refused without leaving a file.
TEST(Win32, ExecutablesAndSplice) {
    for (const char *name : {"/kestrelload.exe", "/download.exe"}) {
        std::string stub =
            std::string(name) == "/download.exe" ? DOS_BUILD_DIR "/DOWNLOAD.EXE" : "";
        for (const std::string &file : {I686 + name + " pei-i386 ", X64 + name + " pei-x86-64 "})
            EXPECT_EQ(std::system((SOURCE_DIR "/scripts/check-pe " + file + stub).c_str()), 0);
    }
    std::string stub = runner::read_file(DOS_BUILD_DIR "/DOWNLOAD.EXE");
    std::string large = X64 + "/large-stub.exe", out = X64 + "/refused.exe";
    std::ofstream(large, std::ios::binary) << stub << std::string(0x10000, 'x');
    EXPECT_NE(std::system((BUILD_DIR "/splice-stub " + large + " " + I686 + "/kestrelload.exe " +
                           out + " 2>/dev/null")
                              .c_str()),
              0);
    EXPECT_NE(access(out.c_str(), F_OK), 0) << "a refused splice left " << out;
}

void expect_rows(const e2e::launcher &how, const std::string &name) {
    std::string problems = e2e::run_table(how, e2e::scenarios(name));
    EXPECT_TRUE(problems.empty()) << problems;
}

TEST(Win32, KestrelloadUnderWine) {
    expect_rows({e2e::launcher::wine, X64 + "/kestrelload.exe", X64 + "/wine-prefix"},
                "wine-kestrelload");
}

TEST(Win32, SplicedUnderWine) {
    expect_rows({e2e::launcher::wine, X64 + "/download.exe", X64 + "/wine-prefix"},
                "wine-download");
}

TEST(Win32, DosStubInDosBox) {
    if (std::system("command -v dosbox >/dev/null") != 0)
        GTEST_SKIP() << "dosbox (Debian package dosbox) is needed";
    expect_rows({e2e::launcher::dosbox, I686 + "/download.exe", DOS_BUILD_DIR "/SCRDUMP.EXE"},
                "dos-stub");
}

} // namespace
