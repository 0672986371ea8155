// Runs a build of the downloader as an operator would, against kestrel-target, in real time,
// and says what came of it: on a pseudo-terminal, under Wine or in DOSBox. The end-to-end tests
// and the transfer benchmark drive it.
#ifndef TOOLS_RUNNER_RUNNER_H
#define TOOLS_RUNNER_RUNNER_H

#include <string>
#include <utility>
#include <vector>

namespace runner {

// What the target records, compared with srec_cat's reading of the image: where the images
// lie, in sectors of 32768 bytes.
const unsigned long RANGE_START = 0x8000, RANGE_END = 0x3FFFF;

struct launcher {
    enum kind_type { terminal, wine, dosbox } kind;
    std::string program;
    // DOSBox: SCRDUMP.EXE, run after the program to read its screen back. Wine: the prefix,
    // whose COM<n> leads to <prefix>/com<n>.
    std::string helper;
};

// One run. The image: a file, or "small" (4 KiB from RANGE_START) or "far" (4 KiB across the
// middle of the first 131072-byte sector), made for the run. IMAGE among the arguments stands
// for it; an argument --ignore-signal=SIG first starts the program with SIG ignored. The
// target's options (none: no target) and the port it is on; every other port leads nowhere.
// Keys: once the screen shows the first text, the second is typed a key at a time as the
// program reads keys, or "> KEYS" at once, or "!SIG" sent as a signal, or "!FG" a stop and
// continue with the shell's terminal modes back in between, as job control does.
struct plan {
    std::string name, image;
    std::vector<std::string> args, target;
    std::vector<std::pair<std::string, std::string>> keys;
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

outcome run(const launcher &how, const plan &p);

std::string read_file(const std::string &path);

// What a command writes to standard output.
std::string output_of(const std::string &command);

bool contains(const std::string &text, const std::string &part);

} // namespace runner

#endif
