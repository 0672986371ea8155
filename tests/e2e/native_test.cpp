// The native builds' rows of scenarios.txt: kestrelload, and download (the real-mode build on an
// emulated PC with an ANSI screen), on pseudo-terminals.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

// Rows without a target take milliseconds; the downloads run in real time, side by side.
void expect_rows(const std::string &program, bool downloads) {
    const e2e::launcher how{e2e::launcher::terminal, BUILD_DIR "/" + program, ""};
    std::vector<e2e::scenario> rows;
    for (const e2e::scenario &s : e2e::scenarios(program))
        if (s.plan.target.empty() != downloads)
            rows.push_back(s);
    ASSERT_FALSE(rows.empty());
    std::string problems = e2e::run_table(how, rows);
    EXPECT_TRUE(problems.empty()) << problems;
}

TEST(EndToEnd, FlowOfKestrelload) {
    expect_rows("kestrelload", false);
}

TEST(EndToEnd, FlowOfDownload) {
    expect_rows("download", false);
}

TEST(EndToEnd, KestrelloadDownloads) {
    expect_rows("kestrelload", true);
}

TEST(EndToEnd, RealModeDownloads) {
    expect_rows("download", true);
}

} // namespace
