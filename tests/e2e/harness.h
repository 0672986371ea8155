// Runs a build of the downloader as an operator would, against kestrel-target, in real time: the
// scenarios of scenarios.txt, each run by a launcher that says how the build runs (on a
// pseudo-terminal, under Wine or in DOSBox).
#ifndef TESTS_E2E_HARNESS_H
#define TESTS_E2E_HARNESS_H

#include <string>
#include <utility>
#include <vector>

namespace e2e {

struct launcher {
    enum kind_type { terminal, wine, dosbox } kind;
    std::string program;
    // DOSBox: SCRDUMP.EXE, run after the program to read its screen back. Wine: the prefix,
    // whose COM<n> leads to <prefix>/com<n>.
    std::string helper;
};

// One row of scenarios.txt, which describes the fields.
struct scenario {
    std::string name, image;
    std::vector<std::string> args, target;
    std::vector<std::pair<std::string, std::string>> keys;
    int status = 0;
    std::vector<std::string> texts, log;
    char com = '1';
};

struct outcome {
    int status = -1;                 // 128 + N after signal N
    std::string screen, log;         // screen: every line shown, scrolled-off ones included
    std::string received, reference; // what the target holds, what srec_cat makes of the image
    bool terminal_kept = true;       // the terminal's modes as they were before the run
    double seconds = 0, cpu_seconds = 0;
    long max_rss_kib = 0;
    long peak_anon_kib = 0; // the program's own memory (heap, stack) at its largest, sampled
};

// The rows of scenarios.txt for the launcher named in their first field.
std::vector<scenario> scenarios(const std::string &launcher_name);

outcome run(const launcher &how, const scenario &s);

// Runs the rows, up to at_once of them side by side; what went wrong in which row, "" when
// nothing did.
std::string run_table(const launcher &how, const std::vector<scenario> &rows,
                      unsigned at_once = 16);

std::string read_file(const std::string &path);

// What a command writes to standard output.
std::string output_of(const std::string &command);

} // namespace e2e

#endif
