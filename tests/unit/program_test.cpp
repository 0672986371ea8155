// kestrelload's whole run, its entry called as a function: command line, file checks,
// confirmation, the download against the simulated target, and the exit status.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "support/unit.h"
#include "transfer/crc32.h"

int kestrelload_main(int argc, char **argv);

static bool table_damaged = false;
extern size_t refused_size; // transfer_test.cpp: a malloc of this size finds no memory
extern long held_blocks;    // and the blocks not freed

// The entry's self-test: the real one, or one that finds the table damaged.
bool program_self_test() {
    return !table_damaged && crc_self_test();
}

namespace {

const char BANNER[] = "\r\n                Halvren Security Systems Firmware Downloader      \r\n"
                      "                            32-bit Version 1.00                  \r\n"
                      "         Kestrel loader, built and maintained by its developers \r\n";
const char USAGE[] = "\r\nUsage: kestrelload <filename> <port>\r\n"
                     "       <filename>: CPU Firmware executable file in S-Record format\r\n"
                     "           <port>: Com port number from 1 to 9\r\n";
const char DONE[] = "100% complete.   \r\n\r\n\r\nDownload successful.\r\n";
const char ABORTED[] = "\r\n\nFirmware download aborted.\r\n";
const char FAILED[] = "\r\nCould not establish communications.\r\n\r\nERROR - Could not obtain "
                      "download prompt.\r\n\r\nERROR - Download not successful.\r\n";

// The banner first, even before a damaged table ends the run; the usage text for any command
// line but a file and one digit 1 to 9; the file opened and checked before the warning and the
// question, and its message whole without the memory to format it; only Y or y starts the
// download, only then is the port touched; the file and the port closed at the end.
TEST(Program, RunsAndStatuses) {
    const std::string image = temp_file(pattern_records('1', 0x8000, 0x100));
    const std::string bad = temp_file("X1130000\n"), missing = "/nonexistent/" + bad;
    const std::string gone = missing + "|1", poor = bad + "|1"; // and their messages:
    const std::string gone_text = "\r\nCould not open file \"" + missing + "\"\r\n",
                      poor_text = "\r\nFile \"" + bad + "\" is not a valid code file\r\n";
    // arguments (I: a good image) between bars, keys, exit status, how the output ends; D: the
    // table damaged, M: no memory for the message
    const std::tuple<std::string, const char *, int, std::string, char> rows[] = {
        {"", "", 1, USAGE, 0},       {"I", "", 1, USAGE, 0},      {"I|1|2", "", 1, USAGE, 0},
        {"I|0", "", 1, USAGE, 0},    {"I|10", "", 1, USAGE, 0},   {"I|a", "", 1, USAGE, 0},
        {"I|", "", 1, USAGE, 0},     {gone, "", 1, gone_text, 0}, {gone, "", 1, gone_text, 'M'},
        {poor, "", 1, poor_text, 0}, {"I|9", "n", 0, ABORTED, 0}, {"I|1", "\r", 0, ABORTED, 0},
        {"I|1", "y", 0, DONE, 0},    {"I|2", "Y", 1, FAILED, 0},  {"I|1", "y", 1, BANNER, 'D'},
        {"", "", 1, BANNER, 'D'}};
    for (const auto &[line, keys, status, ends_with, trouble] : rows) {
        fresh_start(), wire::attach_target({"--waiting"}), wire::failing_port = 2;
        test_console::keys(keys);
        std::vector<std::string> args = {"kestrelload"};
        for (size_t at = 0, bar = 0; !line.empty() && bar != std::string::npos; at = bar + 1)
            bar = line.find('|', at), args.push_back(line.substr(at, bar - at));
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg == "I" ? (char *)image.c_str() : &arg[0]);
        int lowest = dup(2);
        close(lowest);
        table_damaged = trouble == 'D', refused_size = trouble == 'M' ? ends_with.size() + 1 : 0;
        long held = held_blocks;
        EXPECT_EQ(kestrelload_main((int)argv.size(), argv.data()), status) << line << keys;
        EXPECT_EQ(held_blocks, held) << line << keys << ": memory not given back";
        table_damaged = false, refused_size = 0;
        const std::string &shown = test_console::output();
        size_t end = shown.size() - std::min(shown.size(), ends_with.size());
        EXPECT_TRUE(shown.find(BANNER) == 0 && shown.substr(end) == ends_with) << line << keys;
        bool confirmed = toupper(keys[0]) == 'Y' && trouble != 'D';
        EXPECT_TRUE((confirmed || wire::opens.empty()) && !wire::line_open) << line << keys;
        EXPECT_EQ(shown.find("Continue? (Y, [N])  ") != std::string::npos, status == 0 || confirmed)
            << line << keys;
        EXPECT_EQ(fcntl(lowest, F_GETFD), -1) << line << keys << ": the file left open";
    }
}

} // namespace
