// The rows of scenarios.txt, each run by the runner with a launcher that says how the build runs
// (on a pseudo-terminal, under Wine or in DOSBox), and checked against what the row expects.
#ifndef TESTS_E2E_HARNESS_H
#define TESTS_E2E_HARNESS_H

#include <string>
#include <vector>

#include "tools/runner/runner.h"

namespace e2e {

using runner::launcher;

// One row of scenarios.txt, which describes the fields: the run, and what it must show.
struct scenario {
    runner::plan plan;
    int status = 0;
    std::vector<std::string> texts, log;
};

// The rows of scenarios.txt for the launcher named in their first field.
std::vector<scenario> scenarios(const std::string &launcher_name);

// Runs the rows, up to at_once of them side by side; what went wrong in which row, "" when
// nothing did.
std::string run_table(const launcher &how, const std::vector<scenario> &rows,
                      unsigned at_once = 16);

} // namespace e2e

#endif
