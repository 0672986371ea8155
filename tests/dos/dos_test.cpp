// DOWNLOAD.EXE's rows of scenarios.txt in DOSBox, against kestrel-target on TCP.
#include <gtest/gtest.h>

#include <cstdlib>

#include "e2e/harness.h"

TEST(Dos, Downloads) {
    if (std::system("command -v dosbox >/dev/null") != 0)
        GTEST_SKIP() << "dosbox (Debian package dosbox) is needed";
    const e2e::launcher dos{e2e::launcher::dosbox, DOS_BUILD_DIR "/DOWNLOAD.EXE",
                            DOS_BUILD_DIR "/SCRDUMP.EXE"};
    std::string problems = e2e::run_table(dos, e2e::scenarios("dos"), 2);
    EXPECT_TRUE(problems.empty()) << problems;
}
