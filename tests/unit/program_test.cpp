// kestrelload's whole run, its entry called as a function: command line, file checks,
// confirmation, the download against the simulated target, and the exit status.
#include <gtest/gtest.h>

#include "support/unit.h"
#include "transfer/crc32.h"

int kestrelload_main(int argc, char **argv);

namespace {

bool table_damaged = false;

} // namespace

// The entry's self-test: the real one, or one that finds the table damaged.
bool program_self_test() {
    return !table_damaged && crc_self_test();
}

namespace {

const char BANNER[] = "\r\n                Halvren Security Systems Firmware Downloader      \r\n"
                      "                            32-bit Version 1.00                  \r\n";
const char OWNER_LINE[] = "         Kestrel loader, built and maintained by its developers \r\n";
const char USAGE[] = "\r\nUsage: kestrelload <filename> <port>\r\n"
                     "       <filename>: CPU Firmware executable file in S-Record format\r\n"
                     "           <port>: Com port number from 1 to 9\r\n";
const char QUESTION[] = "downloading new firmware.  Press 'N' to abort download.\r\n\n"
                        "Continue? (Y, [N])  ";

struct program_case {
    const char *name;
    std::vector<std::string> args; // "IMAGE": a good image file
    const char *keys;
    int status;
    std::string ends_with;
    bool damaged_table = false;
};

int run(std::vector<std::string> args) {
    std::string image = temp_file(pattern_records('1', 0x8000, 0x100));
    std::vector<char *> argv;
    args.insert(args.begin(), "kestrelload");
    for (std::string &arg : args) {
        if (arg == "IMAGE")
            arg = image;
        argv.push_back(&arg[0]);
    }
    return kestrelload_main((int)argv.size(), argv.data());
}

TEST(Program, RunsAndStatuses) {
    const std::string bad = temp_file("X1130000\n");
    const program_case rows[] = {
        {"no arguments", {}, "", 1, USAGE},
        {"three arguments", {"IMAGE", "1", "2"}, "", 1, USAGE},
        {"port 0", {"IMAGE", "0"}, "", 1, USAGE},
        {"port 10", {"IMAGE", "10"}, "", 1, USAGE},
        {"port a", {"IMAGE", "a"}, "", 1, USAGE},
        {"missing file",
         {"/nonexistent/x.s19", "1"},
         "",
         1,
         "\r\nCould not open file \"/nonexistent/x.s19\"\r\n"},
        {"not an image",
         {bad, "1"},
         "",
         1,
         "\r\nFile \"" + bad + "\" is not a valid code file\r\n"},
        {"declined", {"IMAGE", "9"}, "n", 0, "\r\n\nFirmware download aborted.\r\n"},
        {"enter declines", {"IMAGE", "1"}, "\r", 0, "\r\n\nFirmware download aborted.\r\n"},
        {"download",
         {"IMAGE", "1"},
         "y",
         0,
         "100% complete.   \r\n\r\n\r\nDownload successful.\r\n"},
        {"failed download",
         {"IMAGE", "2"},
         "Y",
         1,
         "\r\nCould not establish communications.\r\n\r\nERROR - Could not obtain download "
         "prompt.\r\n\r\nERROR - Download not successful.\r\n"},
        // A damaged table ends the run after the banner, before the command line is looked at.
        {"self-test", {"IMAGE", "1"}, "y", 1, OWNER_LINE, true},
        {"self-test, usage", {}, "", 1, OWNER_LINE, true},
    };
    for (const program_case &row : rows) {
        fresh_start();
        wire::attach_target({"--waiting"});
        wire::fail_open(2);
        test_console::keys(row.keys);
        table_damaged = row.damaged_table;
        EXPECT_EQ(run(row.args), row.status) << row.name;
        table_damaged = false;
        const std::string &shown = test_console::output();
        EXPECT_EQ(shown.substr(0, sizeof BANNER - 1), BANNER) << row.name;
        EXPECT_GE(shown.size(), row.ends_with.size());
        EXPECT_EQ(shown.substr(shown.size() - std::min(shown.size(), row.ends_with.size())),
                  row.ends_with)
            << row.name;
        // The port is touched only after a yes, and closed at the end.
        bool confirmed = row.keys[0] == 'y' || row.keys[0] == 'Y';
        if (!confirmed || row.damaged_table) {
            EXPECT_TRUE(wire::opens().empty()) << row.name;
        }
        EXPECT_FALSE(wire::is_open()) << row.name;
        EXPECT_EQ(shown.find(QUESTION) != std::string::npos,
                  row.status == 0 || (confirmed && !row.damaged_table))
            << row.name;
    }
}

} // namespace
