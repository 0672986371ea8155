// The Win64 build of kestrelload under Wine, on a pseudo-terminal console, with COM1 of the
// Wine prefix reaching a device the test chooses.
#ifndef TESTS_WIN32_WINE_H
#define TESTS_WIN32_WINE_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "harness.h"

namespace win32 {

// Maps COM1 of the prefix to a link of ours and COM2 to COM9 to nothing (so that no test can
// reach a real port), then keeps one Wine server running until stop_wine.
void start_wine();
void stop_wine();

// Points COM1 at the device.
void connect_com1(const std::string &device);

// Starts kestrelload.exe (or another program of the x86_64 build tree) with args; standard input
// is the console's terminal, standard output too unless output_file is given, which then
// receives it.
e2e::console_run start_kestrelload(const std::vector<std::string> &args,
                                   const std::string &output_file = "",
                                   const std::string &program = "kestrelload.exe");

// Starts a program of the x86_64 build tree with pipes for standard input and output
// (*input to write to, *output to read from); standard error is discarded.
pid_t start_with_pipes(const std::string &program, int *input, int *output);

// Waits until Wine reads the console key by key: keys typed before that are lost.
bool wait_for_key_input(e2e::console_run &run, double timeout_s);

// Reads console output until the rendered screen shows text (true) or timeout_s passes.
bool expect_on_screen(e2e::console_run &run, const std::string &text, double timeout_s);

// Waits until the file contains text, reading console output meanwhile.
bool expect_in_file(e2e::console_run &run, const std::string &path, const std::string &text,
                    double timeout_s);

} // namespace win32

#endif
