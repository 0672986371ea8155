#include "screen.h"

#include <cstdlib>

namespace win32 {
namespace {

const int ROWS = 24;

struct screen {
    std::vector<std::string> lines{1};
    size_t row = 0, column = 0;

    // Positions given in escape sequences count from the top of the visible rows.
    size_t top() const { return lines.size() > ROWS ? lines.size() - ROWS : 0; }

    void move_to(size_t new_row, size_t new_column) {
        row = new_row;
        column = new_column;
        if (lines.size() <= row)
            lines.resize(row + 1);
    }

    void put(char c) {
        std::string &line = lines[row];
        if (line.size() <= column)
            line.resize(column + 1, ' ');
        line[column++] = c;
    }

    void control_sequence(const std::string &parameters, char final) {
        if (!parameters.empty() && parameters[0] == '?')
            return; // modes such as cursor visibility
        int first = std::atoi(parameters.c_str());
        int count = first > 0 ? first : 1;
        switch (final) {
        case 'A':
            move_to(row >= top() + count ? row - count : top(), column);
            break;
        case 'B':
            move_to(row + count, column);
            break;
        case 'C':
            column += count;
            break;
        case 'D':
            column = column >= (size_t)count ? column - count : 0;
            break;
        case 'G':
            column = count - 1;
            break;
        case 'H':
        case 'f': {
            size_t semicolon = parameters.find(';');
            int second =
                semicolon == std::string::npos ? 1 : std::atoi(parameters.c_str() + semicolon + 1);
            move_to(top() + count - 1, (second > 0 ? second : 1) - 1);
            break;
        }
        case 'K':
            if (first == 0 && lines[row].size() > column)
                lines[row].resize(column);
            else if (first == 2)
                lines[row].clear();
            break;
        case 'J':
            if (first == 2)
                for (size_t r = top(); r < lines.size(); ++r)
                    lines[r].clear();
            break;
        default:
            break; // colours and the like change no text
        }
    }
};

} // namespace

std::vector<std::string> screen_lines(const std::string &bytes) {
    screen s;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            size_t end = i + 2;
            while (end < bytes.size() && !(bytes[end] >= 0x40 && bytes[end] <= 0x7E))
                ++end;
            if (end < bytes.size())
                s.control_sequence(bytes.substr(i + 2, end - i - 2), bytes[end]);
            i = end;
        } else if (c == '\r') {
            s.column = 0;
        } else if (c == '\n') {
            s.move_to(s.row + 1, s.column);
        } else if (c == '\b') {
            if (s.column > 0)
                --s.column;
        } else if ((unsigned char)c >= 0x20) {
            s.put(c);
        }
    }
    for (std::string &line : s.lines)
        line.erase(line.find_last_not_of(' ') + 1);
    while (!s.lines.empty() && s.lines.back().empty())
        s.lines.pop_back();
    return s.lines;
}

std::string screen_text(const std::string &bytes) {
    std::string text;
    for (const std::string &line : screen_lines(bytes))
        text += line + "\n";
    return text;
}

} // namespace win32
