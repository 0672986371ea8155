// Console back end for unit tests: captures output, plays scripted keys.
#ifndef TESTS_SUPPORT_CONSOLE_H
#define TESTS_SUPPORT_CONSOLE_H

#include <string>

namespace test_console {

// Ends an open progress line, then empties the output and the keys.
void reset();

// Everything written; a return to the first column shows as "\r", the bell as "\a".
const std::string &output();
// Returns the output so far and empties it.
std::string take_output();

// Keys returned by the key reads in order; when they run out a read returns CARRIAGE_RETURN.
void keys(const std::string &keys);

} // namespace test_console

#endif
