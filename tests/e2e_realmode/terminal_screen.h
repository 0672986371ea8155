// A small terminal emulator for what the real-mode build writes: UTF-8 text, CR, LF, BS, the
// scroll region, cursor placement and screen clearing, with a VT100's delayed wrap.
#ifndef TESTS_E2E_REALMODE_TERMINAL_SCREEN_H
#define TESTS_E2E_REALMODE_TERMINAL_SCREEN_H

#include <string>
#include <vector>

struct terminal_screen {
    static const int ROWS = 24, COLUMNS = 80;

    std::vector<std::vector<std::string>> cells; // one UTF-8 character each
    int row = 0, column = 0;                     // from 0
    int top = 0, bottom = ROWS - 1;              // scroll region
    bool wrap_pending = false;

    terminal_screen();
    void feed(const std::string &bytes);

    // Row and column from 1, as the screen layout counts them.
    std::string at(int row1, int column1) const { return cells[row1 - 1][column1 - 1]; }
    std::string text(int row1, int column1, int length) const;
    std::string line(int row1) const; // without trailing blanks
    // Rows first..last, trailing blanks removed, joined by "\n".
    std::string lines(int first, int last) const;

  private:
    std::string pending_utf8, sequence;
    bool in_escape = false;
    void put(const std::string &character);
    void line_feed();
    void control_sequence(char final);
};

#endif
