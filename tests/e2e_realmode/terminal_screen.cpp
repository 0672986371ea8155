#include "terminal_screen.h"

#include <cstdlib>

terminal_screen::terminal_screen() : cells(ROWS, std::vector<std::string>(COLUMNS, " ")) {}

std::string terminal_screen::text(int row1, int column1, int length) const {
    std::string out;
    for (int c = column1; c < column1 + length; ++c)
        out += at(row1, c);
    return out;
}

std::string terminal_screen::line(int row1) const {
    std::string out = text(row1, 1, COLUMNS);
    out.erase(out.find_last_not_of(' ') + 1);
    return out;
}

std::string terminal_screen::lines(int first, int last) const {
    std::string out;
    for (int r = first; r <= last; ++r)
        out += line(r) + (r < last ? "\n" : "");
    return out;
}

void terminal_screen::line_feed() {
    wrap_pending = false;
    if (row != bottom) {
        if (row < ROWS - 1)
            ++row;
        return;
    }
    for (int r = top; r < bottom; ++r)
        cells[r] = cells[r + 1];
    cells[bottom].assign(COLUMNS, " ");
}

void terminal_screen::put(const std::string &character) {
    if (wrap_pending) {
        column = 0;
        line_feed();
    }
    cells[row][column] = character;
    if (column == COLUMNS - 1)
        wrap_pending = true;
    else
        ++column;
}

void terminal_screen::control_sequence(char final) {
    std::vector<int> numbers;
    size_t start = 0;
    while (start <= sequence.size()) {
        size_t end = sequence.find(';', start);
        if (end == std::string::npos)
            end = sequence.size();
        numbers.push_back(std::atoi(sequence.substr(start, end - start).c_str()));
        start = end + 1;
    }
    auto number = [&](size_t i, int fallback) {
        return i < numbers.size() && numbers[i] > 0 ? numbers[i] : fallback;
    };
    wrap_pending = false;
    if (final == 'H' || final == 'f') {
        row = number(0, 1) - 1;
        column = number(1, 1) - 1;
    } else if (final == 'r') {
        top = number(0, 1) - 1;
        bottom = number(1, ROWS) - 1;
        row = column = 0;
    } else if (final == 'J' && number(0, 0) == 2) {
        for (auto &r : cells)
            r.assign(COLUMNS, " ");
    }
}

void terminal_screen::feed(const std::string &bytes) {
    for (unsigned char c : bytes) {
        if (in_escape) {
            if (sequence.empty()) {
                sequence = "[";
                in_escape = c == '['; // other escapes are two bytes long
            } else if (c >= 0x40 && c <= 0x7E && !sequence.empty()) {
                sequence.erase(0, 1);
                control_sequence(static_cast<char>(c));
                sequence.clear();
                in_escape = false;
            } else {
                sequence += static_cast<char>(c);
            }
            continue;
        }
        if (!pending_utf8.empty() || c >= 0x80) {
            pending_utf8 += static_cast<char>(c);
            unsigned char lead = static_cast<unsigned char>(pending_utf8[0]);
            size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            if (pending_utf8.size() == length) {
                put(pending_utf8);
                pending_utf8.clear();
            }
        } else if (c == 0x1B) {
            in_escape = true;
            sequence.clear();
        } else if (c == '\r') {
            column = 0;
            wrap_pending = false;
        } else if (c == '\n') {
            line_feed();
        } else if (c == '\b') {
            if (column > 0)
                --column;
            wrap_pending = false;
        } else if (c >= 0x20 && c != 0x7F) {
            put(std::string(1, static_cast<char>(c)));
        }
    }
}
