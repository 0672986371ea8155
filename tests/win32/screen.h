// What a terminal shows after the bytes Wine's console writes to it: text, CR, LF, BS and the
// few control sequences it uses (cursor moves, line erase). Lines are kept without limit, so
// scrolled-off lines stay readable.
#ifndef TESTS_WIN32_SCREEN_H
#define TESTS_WIN32_SCREEN_H

#include <string>
#include <vector>

namespace win32 {

// The lines shown, trailing blanks removed, trailing empty lines dropped.
std::vector<std::string> screen_lines(const std::string &bytes);

// The lines joined with "\n".
std::string screen_text(const std::string &bytes);

} // namespace win32

#endif
