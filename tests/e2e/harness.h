// Runs the real programs as an operator would: the downloader on a pseudo-terminal console,
// the simulated target on a pseudo-terminal line, everything in real time.
#ifndef TESTS_E2E_HARNESS_H
#define TESTS_E2E_HARNESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

// A program running with a pseudo-terminal as its controlling terminal and standard output.
struct console_run {
    pid_t pid = -1;
    int terminal = -1;      // master side
    std::string output;     // everything it wrote so far
    int status = -1;        // exit status once ended; 128 + signal when killed
    long max_rss_kib = 0;   // peak resident memory, once ended
    double cpu_seconds = 0; // user and system time, once ended
};

// Starts build/<program> with args; env entries "NAME=value" are added. The terminal shows
// output bytes exactly as written (no newline translation, no local echo).
console_run start_console(const std::string &program, const std::vector<std::string> &args,
                          const std::vector<std::string> &env = {});

// Reads until the output contains text (true) or timeout_s passes or the program ends (false).
bool expect(console_run &run, const std::string &text, double timeout_s);

// Types keys on the program's terminal, each one once the program is waiting for a key.
void type(console_run &run, const std::string &keys);

// Waits for the end (reading all output); kills it after timeout_s. Returns the status.
int finish(console_run &run, double timeout_s);

// The simulated target on its own pseudo-terminal.
struct target_run {
    pid_t pid = -1;
    std::string device;   // path the downloader opens
    std::string log_path; // its log
    int output = -1;      // its standard output, kept open so late writes never fail
    int status = -1;
};

target_run start_target(const std::vector<std::string> &args);
int finish_target(target_run &target, double timeout_s);
std::string read_file(const std::string &path);

// The bytes srec_cat makes of [start, end] of an S-record file, 0xFF where no record is: the
// reference a received image is compared with. Empty when srec_cat fails.
std::string srec_reference(const std::string &image, unsigned long start, unsigned long end);

// "0xSTART:0xEND", as kestrel-target's --range takes it.
std::string range_text(unsigned long start, unsigned long end);

// A fresh temporary directory for one test.
std::string temp_dir();

// Source and build folders.
std::string source_path(const std::string &relative);
std::string build_path(const std::string &relative);

} // namespace e2e

#endif
