// The Win32 build from Linux: its PE files as binutils read them, whole downloads of the x86_64
// build under Wine, and the DOS stub of the shipped i686 download.exe in DOSBox.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "e2e/harness.h"

namespace {

const std::string I686 = WIN32_BUILD_DIR, X64 = WIN64_BUILD_DIR;

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

void expect_pe(const std::string &path, const std::string &objdump, const std::string &format) {
    SCOPED_TRACE(path);
    std::string headers = e2e::output_of(objdump + " -f -p " + path + " 2>&1");
    EXPECT_TRUE(contains(headers, "file format " + format)) << headers;
    EXPECT_TRUE(contains(headers, "Subsystem\t\t00000003\t(Windows CUI)")) << headers;
    // Linked statically: nothing to install beside it.
    std::string dlls;
    for (size_t at = 0; (at = headers.find("DLL Name: ", at)) != std::string::npos; at += 10)
        dlls += headers.substr(at + 10, headers.find('\n', at) - at - 10) + " ";
    EXPECT_EQ(dlls, "KERNEL32.dll msvcrt.dll ");
    std::string strings = e2e::output_of("strings -e l " + path);
    for (const char *field :
         {"CompanyName\nHalvren Security Systems, Inc.\n", "FileDescription\nFirmware Downloader\n",
          "FileVersion\n1, 81, 0, 0\n", "InternalName\ndownload\n",
          "OriginalFilename\ndownload.exe\n", "ProductName\nDownloader\n"})
        EXPECT_TRUE(contains(strings, field)) << "no version field " << field << strings;
}

TEST(Win32, Executables) {
    for (const char *name : {"/kestrelload.exe", "/download.exe"}) {
        expect_pe(I686 + name, "i686-w64-mingw32-objdump", "pei-i386\narchitecture: i386,");
        expect_pe(X64 + name, "x86_64-w64-mingw32-objdump", "pei-x86-64");
    }
}

// download.exe begins with DOWNLOAD.EXE, unchanged but for the PE header's offset; a stub that
// leaves no room below the first section is refused without leaving a file.
TEST(Win32, Splice) {
    std::string stub = e2e::read_file(DOS_BUILD_DIR "/DOWNLOAD.EXE");
    std::string carried = e2e::read_file(I686 + "/download.exe").substr(0, stub.size());
    ASSERT_GT(stub.size(), 0x40u);
    carried.replace(0x3C, 4, stub, 0x3C, 4);
    EXPECT_TRUE(carried == stub) << "download.exe does not begin with DOWNLOAD.EXE";
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
