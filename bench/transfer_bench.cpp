// Whole sector-mode downloads through kestrel-target, measured from outside:
//  1. at 57600 bit/s with the target pacing its line: the time from the target's first ACK to
//     the EOT against the wire-time limit, split into the downloader's share (its turnaround
//     after each answer, as the target saw it) and the target's (its pacing error); and the
//     downloader's CPU time against the wall time;
//  2. unpaced: the downloader's own memory (heap and stack, sampled at its peak) for a 1-sector
//     and a 255-sector image, where a buffer kept per sector would show; peak resident memory
//     beside it, which also counts the pages of the program and its libraries as it touches them.
// The verdict rests on the median turnaround and the memory growth alone. The turnaround's share
// of the wire time and the CPU share follow the machine's load (the share went from 0.48 % on a
// quiet machine to 0.56 % on a busy one): they are reported, not judged.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/runner/runner.h"

namespace {

const unsigned SECTOR = 32768;
const unsigned BLOCKS = SECTOR / 128;
const unsigned SPEED = 57600;
const unsigned PROGRAM_MS = 50;
const double MEDIAN_TURNAROUND_GOAL_US = 100;

// S3 records of 32 bytes at each address of `starts`, `length` bytes each.
void write_image(const std::string &path, const std::vector<std::pair<uint32_t, uint32_t>> &spans) {
    std::ofstream out(path, std::ios::binary);
    for (const auto &span : spans) {
        for (uint32_t offset = 0; offset < span.second; offset += 32) {
            uint32_t address = span.first + offset;
            uint32_t n = span.second - offset < 32 ? span.second - offset : 32;
            unsigned sum = n + 5;
            char text[128];
            int at = std::snprintf(text, sizeof text, "S3%02X%08X", n + 5, address);
            for (int shift = 0; shift < 32; shift += 8)
                sum += (address >> shift) & 0xFF;
            for (uint32_t i = 0; i < n; ++i) {
                unsigned byte = (address + i) * 7 & 0xFF;
                sum += byte;
                at += std::snprintf(text + at, sizeof text - at, "%02X", byte);
            }
            std::snprintf(text + at, sizeof text - at, "%02X\n", ~sum & 0xFF);
            out << text;
        }
    }
}

// The number after `label` in the log line that contains `marker`.
double log_figure(const std::string &log, const std::string &marker, const std::string &label) {
    size_t line = log.find(marker);
    size_t at = line == std::string::npos ? line : log.find(label, line);
    return at == std::string::npos ? -1 : std::atof(log.c_str() + at + label.size());
}

// Seconds in the log line that contains `marker` (the first such line).
double log_time(const std::string &log, const std::string &marker) {
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(marker) != std::string::npos)
            return std::atof(line.c_str() + 1);
    }
    return -1;
}

runner::outcome download(const std::string &image, std::vector<std::string> target_args) {
    const runner::launcher kestrelload{runner::launcher::terminal, BUILD_DIR "/kestrelload", ""};
    runner::plan s;
    s.name = s.image = image;
    s.args = {"IMAGE", "1"};
    s.target = target_args;
    s.target.insert(s.target.end(), {"--waiting", "--idle-timeout", "30"});
    s.keys = {{"Continue? (Y, [N])", "y"}};
    return runner::run(kestrelload, s);
}

} // namespace

int main() {
    char pattern[] = "/tmp/kestrel-bench-XXXXXX";
    std::string dir = mkdtemp(pattern) ? pattern : "/tmp";
    std::vector<std::string> failures;

    // 1. Paced: nine sectors (data in 1 to 8, the ninth all 0xFF).
    std::string paced_image = dir + "/paced.s19";
    write_image(paced_image, {{SECTOR, 8 * SECTOR}});
    runner::outcome paced =
        download(paced_image, {"--pace", "--program-ms", std::to_string(PROGRAM_MS)});
    const std::string &log = paced.log;
    const unsigned sectors = 9;
    double host_bytes = 9 + sectors * (9 + BLOCKS * 132.0 + BLOCKS) + 1;
    double target_bytes = 4 + sectors * (1 + BLOCKS + 1);
    double limit = (host_bytes + target_bytes) * 10 / SPEED + sectors * PROGRAM_MS / 1000.0;
    double measured = log_time(log, "summary:") - log_time(log, "download start: ACK");
    double wall = log_time(log, "summary:");
    double excess = measured - limit;
    double turnaround_s = log_figure(log, "timing:", "total ") / 1e6;
    double median_us = log_figure(log, "timing:", "median ");
    std::printf("paced transfer, %u sectors at %u bit/s: %.2f s from first ACK to EOT, "
                "wire-time limit %.2f s (%.2f %% over)\n",
                sectors, SPEED, measured, limit, 100 * excess / limit);
    std::printf(
        "  the downloader's turnaround after each answer: median %.0f us (goal at most %.0f "
        "us), 99th percentile %.0f us, %.3f s in all = %.2f %% of the wire time\n",
        median_us, MEDIAN_TURNAROUND_GOAL_US, log_figure(log, "timing:", "percentile "),
        turnaround_s, 100 * turnaround_s / limit);
    std::printf("  the target's share: %.3f s = %.2f %% (its pacing %.0f us late on average, at "
                "most %.0f us)\n",
                excess - turnaround_s, 100 * (excess - turnaround_s) / limit,
                log_figure(log, "timing:", "pacing "), log_figure(log, "timing:", "at most "));
    std::printf("downloader CPU time %.2f s over %.1f s of wall time (%.2f %%)\n",
                paced.cpu_seconds, wall, 100 * paced.cpu_seconds / wall);
    if (paced.status != 0 || measured <= 0)
        failures.push_back("the paced download ended with status " + std::to_string(paced.status) +
                           (measured <= 0 ? ", its log without first ACK or summary" : ""));
    else if (median_us < 0)
        failures.push_back("the target logged no turnaround");
    else if (median_us > MEDIAN_TURNAROUND_GOAL_US)
        failures.push_back("median turnaround over its goal");

    // 2. Unpaced: peak memory for 1 and for 255 sectors (one record per sector).
    std::string one = dir + "/one.s19", many = dir + "/many.s19";
    write_image(one, {{SECTOR - 32, 32}, {SECTOR, 1}});
    std::vector<std::pair<uint32_t, uint32_t>> spans;
    for (uint32_t s = 1; s <= 254; ++s)
        spans.push_back({s * SECTOR, 32});
    spans.push_back({255 * SECTOR - 1, 1}); // highest address in sector 254: 255 sectors
    write_image(many, spans);
    runner::outcome small = download(one, {});
    runner::outcome large = download(many, {});
    long growth = large.peak_anon_kib - small.peak_anon_kib;
    const long allowed = SECTOR / 1024 + 16; // one sector buffer, sampled or not, and some pages
    std::printf("the downloader's own memory at its peak: %ld KiB for 1 sector, %ld KiB for 255 "
                "sectors (growth %ld KiB, allowed %ld KiB)\n",
                small.peak_anon_kib, large.peak_anon_kib, growth, allowed);
    std::printf("peak resident memory: %ld KiB for 1 sector, %ld KiB for 255 sectors\n",
                small.max_rss_kib, large.max_rss_kib);
    if (small.status != 0 || large.status != 0)
        failures.push_back("the unpaced downloads ended with status " +
                           std::to_string(small.status) + " and " + std::to_string(large.status));
    else if (small.peak_anon_kib <= 0 || large.peak_anon_kib <= 0)
        failures.push_back("the downloader's memory was not sampled");
    else if (growth > allowed)
        failures.push_back("memory growth over its allowance");
    std::printf("%s", failures.empty() ? "PASS" : "FAIL:");
    for (size_t i = 0; i < failures.size(); ++i)
        std::printf("%s %s", i == 0 ? "" : ";", failures[i].c_str());
    std::printf("\n");
    return failures.empty() ? 0 : 1;
}
