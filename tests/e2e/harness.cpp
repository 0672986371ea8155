#include "harness.h"

#include <wordexp.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace e2e {
namespace {

using runner::contains;
using runner::outcome;
using runner::RANGE_END;
using runner::RANGE_START;

// Where the received image first differs from the reference; "" when they are equal.
std::string compare_image(const std::string &received, const std::string &reference) {
    if (reference.size() != RANGE_END - RANGE_START + 1)
        return "srec_cat made no reference of the image\n";
    if (received == reference)
        return "";
    size_t at =
        std::mismatch(received.begin(), received.end(), reference.begin(), reference.end()).first -
        received.begin();
    return "the target holds " + std::to_string(received.size()) +
           " bytes, differing from srec_cat's from offset " + std::to_string(at) + "\n";
}

std::string check(const scenario &s, const outcome &o) {
    std::string problems;
    if (o.status != s.status)
        problems += "exit status " + std::to_string(o.status) + ", expected " +
                    std::to_string(s.status) + "\n";
    for (const std::string &text : s.texts) {
        bool absent = text[0] == '!';
        if (contains(o.screen, text.substr(absent)) == absent)
            problems += (absent ? "the screen shows \"" : "the screen lacks \"") + text + "\"\n";
    }
    for (const std::string &text : s.log)
        if (!contains(o.log, text))
            problems += "the target's log lacks \"" + text + "\"\n";
    if (!o.terminal_kept)
        problems += "the terminal was not given back in its modes\n";
    // Status 0 is a promise that the target has taken the whole image, whatever the row expected.
    if (!s.plan.target.empty() && o.status == 0)
        problems +=
            compare_image(o.received, o.reference) +
            (contains(o.log, "result: complete") ? "" : "the target saw no complete transfer\n");
    // Waiting for a target that fails is sleeping, not spinning.
    if (o.status == 1 && o.seconds > 5 && o.cpu_seconds > o.seconds / 3)
        problems += "busy: " + std::to_string(o.cpu_seconds) + " s of CPU time\n";
    if (problems.empty())
        return "";
    return "--- " + s.plan.name + ":\n" + problems + "screen:\n" + o.screen + "target log:\n" +
           o.log;
}

// The parts of a text split at each `by` that follows a blank, blanks around them dropped.
std::vector<std::string> split(const std::string &row, const std::string &by) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < row.size(); ++i) {
        if (row.compare(i, by.size(), by) == 0 && (i == 0 || row[i - 1] == ' ')) {
            parts.emplace_back();
            i += by.size() - 1;
        } else {
            parts.back() += row[i];
        }
    }
    for (std::string &part : parts) {
        part.erase(0, part.find_first_not_of(' '));
        part.erase(part.find_last_not_of(' ') + 1);
    }
    return parts;
}

// The texts of a field, split at " ; ", with \n, \r and \xHH in them; none when it is empty.
std::vector<std::string> texts(const std::string &field) {
    std::vector<std::string> list;
    for (const std::string &item : field.empty() ? std::vector<std::string>() : split(field, ";")) {
        std::string text;
        for (size_t i = 0; i < item.size(); ++i) {
            if (item[i] != '\\' || i + 1 == item.size()) {
                text += item[i];
            } else if (item[++i] == 'x') {
                text += static_cast<char>(std::stoi(item.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                text += item[i] == 'n' ? '\n' : item[i] == 'r' ? '\r' : item[i];
            }
        }
        list.push_back(text);
    }
    return list;
}

// Words as the shell splits them (quotes keep blanks).
std::vector<std::string> words(const std::string &field) {
    std::vector<std::string> list;
    wordexp_t w;
    if (wordexp(field.c_str(), &w, WRDE_NOCMD) == 0) {
        list.assign(w.we_wordv, w.we_wordv + w.we_wordc);
        wordfree(&w);
    }
    return list;
}

} // namespace

std::vector<scenario> scenarios(const std::string &launcher_name) {
    std::ifstream in(SOURCE_DIR "/tests/e2e/scenarios.txt");
    std::vector<std::string> rows;
    for (std::string line; std::getline(in, line);) {
        size_t first = line.find_first_not_of(' ');
        if (first != std::string::npos && first > 0 && !rows.empty())
            rows.back() += " " + line.substr(first);
        else if (first == 0 && line[0] != '#')
            rows.push_back(line);
    }
    std::vector<scenario> table;
    for (const std::string &row : rows) {
        std::vector<std::string> f = split(row, "|");
        if (f[0] != launcher_name)
            continue;
        f.resize(9);
        scenario s;
        s.plan.name = f[1];
        s.plan.image = f[2].empty() || f[2][0] == '/' || f[2] == "small" || f[2] == "far"
                           ? f[2]
                           : SOURCE_DIR "/" + f[2];
        s.plan.args = words(f[3]);
        for (const std::string &option : words(f[4]))
            if (option.compare(0, 3, "COM") == 0)
                s.plan.com = option[3];
            else
                s.plan.target.push_back(option);
        for (const std::string &key : texts(f[5])) {
            std::vector<std::string> pair = split(key, "=>");
            s.plan.keys.push_back({pair[0], pair.back()});
        }
        s.status = std::atoi(f[6].c_str());
        s.texts = texts(f[7]);
        s.log = texts(f[8]);
        table.push_back(s);
    }
    return table;
}

std::string run_table(const launcher &how, const std::vector<scenario> &rows, unsigned at_once) {
    std::vector<std::string> problems(rows.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < at_once && w < rows.size(); ++w)
        workers.emplace_back([&] {
            for (size_t i; (i = next++) < rows.size();)
                problems[i] = check(rows[i], runner::run(how, rows[i].plan));
        });
    for (std::thread &w : workers)
        w.join();
    std::string all;
    for (const std::string &p : problems)
        all += p;
    return all;
}

} // namespace e2e
