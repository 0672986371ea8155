// Screen back end for the real-mode console's tests: an in-memory 80x24 character grid with
// the windows, cursor and scrolling of the real screen, plus every byte written in order.
#ifndef TESTS_SUPPORT_TEST_SCREEN_H
#define TESTS_SUPPORT_TEST_SCREEN_H

#include <string>

namespace test_screen {

// Blank grid, the whole screen the window, cursor at (1, 1), no keys, no output.
void reset();

// What the grid holds at an absolute (row, column), counted from 1; blanks are spaces.
unsigned char at(unsigned row, unsigned column);
std::string text(unsigned row, unsigned column, unsigned length);

// Everything written through console_write and the key echo, in order; the bell as "\a".
const std::string &output();
std::string take_output();

// Keys returned by the key reads in order; when they run out a read returns '\r'.
void keys(const std::string &keys);

} // namespace test_screen

#endif
