// kestrelload's whole run, its entry called as a function: command line, file checks,
// confirmation, the download against the simulated target, and the exit status.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <numeric>

#include "support/unit.h"
#include "transfer/crc32.h"

int kestrelload_main(int argc, char **argv);
extern "C" void *__libc_malloc(size_t size);

namespace {
bool table_damaged = false;
size_t refused_size = 0; // a malloc of this size finds no memory
} // namespace

// The entry's self-test: the real one, or one that finds the table damaged.
bool program_self_test() {
    return !table_damaged && crc_self_test();
}

extern "C" void *malloc(size_t size) {
    return size != 0 && size == refused_size ? nullptr : __libc_malloc(size);
}

namespace {

const char BANNER[] = "\r\n                Halvren Security Systems Firmware Downloader      \r\n"
                      "                            32-bit Version 1.00                  \r\n"
                      "         Kestrel loader, built and maintained by its developers \r\n";
const char USAGE[] = "\r\nUsage: kestrelload <filename> <port>\r\n"
                     "       <filename>: CPU Firmware executable file in S-Record format\r\n"
                     "           <port>: Com port number from 1 to 9\r\n";
const char QUESTION[] = "downloading new firmware.  Press 'N' to abort download.\r\n\n"
                        "Continue? (Y, [N])  ";
const char ABORTED[] = "\r\n\nFirmware download aborted.\r\n";
const char FAILED[] = "\r\nCould not establish communications.\r\n\r\nERROR - Could not obtain "
                      "download prompt.\r\n\r\nERROR - Download not successful.\r\n";

// The banner first, even before a damaged table ends the run; the usage text for any command
// line but a file and one digit 1 to 9; the file opened and checked before the warning and the
// question, and its message whole without the memory to format it; only Y or y starts the
// download, only then is the port touched; the file and the port closed at the end.
TEST(Program, RunsAndStatuses) {
    const std::string image = temp_file(pattern_records('1', 0x8000, 0x100)), I = "IMAGE";
    const std::string bad = temp_file("X1130000\n"), missing = "/nonexistent/" + bad;
    const std::string not_found = "\r\nCould not open file \"" + missing + "\"\r\n";
    // arguments, keys, exit status, how the output ends; D: the table damaged, M: no memory
    const std::tuple<std::vector<std::string>, const char *, int, std::string, char> rows[] = {
        {{}, "", 1, USAGE, 0},
        {{I}, "", 1, USAGE, 0},
        {{I, "1", "2"}, "", 1, USAGE, 0},
        {{I, "0"}, "", 1, USAGE, 0},
        {{I, "10"}, "", 1, USAGE, 0},
        {{I, "a"}, "", 1, USAGE, 0},
        {{I, ""}, "", 1, USAGE, 0},
        {{missing, "1"}, "", 1, not_found, 0},
        {{missing, "1"}, "", 1, not_found, 'M'},
        {{bad, "1"}, "", 1, "\r\nFile \"" + bad + "\" is not a valid code file\r\n", 0},
        {{I, "9"}, "n", 0, ABORTED, 0},
        {{I, "1"}, "\r", 0, ABORTED, 0},
        {{I, "1"}, "y", 0, "100% complete.   \r\n\r\n\r\nDownload successful.\r\n", 0},
        {{I, "2"}, "Y", 1, FAILED, 0},
        {{I, "1"}, "y", 1, BANNER, 'D'},
        {{}, "", 1, BANNER, 'D'}};
    for (auto [args, keys, status, ends_with, trouble] : rows) {
        fresh_start();
        wire::attach_target({"--waiting"});
        wire::fail_open(2);
        test_console::keys(keys);
        std::vector<char *> argv = {(char *)"kestrelload"};
        for (std::string &arg : args)
            argv.push_back(arg == I ? (char *)image.c_str() : &arg[0]);
        std::string name = std::accumulate(args.begin(), args.end(), std::string(keys));
        int lowest = dup(2);
        close(lowest);
        table_damaged = trouble == 'D', refused_size = trouble == 'M' ? ends_with.size() + 1 : 0;
        EXPECT_EQ(kestrelload_main((int)argv.size(), argv.data()), status) << name;
        table_damaged = false, refused_size = 0;
        const std::string &shown = test_console::output();
        EXPECT_EQ(shown.find(BANNER), 0u) << name;
        EXPECT_EQ(shown.substr(shown.size() - std::min(shown.size(), ends_with.size())), ends_with)
            << name;
        bool confirmed = toupper(keys[0]) == 'Y' && trouble != 'D';
        EXPECT_TRUE(confirmed || wire::opens().empty()) << name;
        EXPECT_FALSE(wire::is_open()) << name;
        EXPECT_EQ(shown.find(QUESTION) != std::string::npos, status == 0 || confirmed) << name;
        EXPECT_EQ(fcntl(lowest, F_GETFD), -1) << name << ": the file left open";
    }
}

} // namespace
