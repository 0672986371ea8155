#include "progress.h"

#include "app/console.h"

namespace {

const uint32_t HUNDRED = 100;

// ceil(percent * total / 100). Both factors are split by 100, so that no term exceeds the
// result: a file of any length and a count of resent blocks past 100 % stay in 32 bits.
uint32_t bytes_at_percent(uint32_t percent, uint32_t total) {
    uint32_t total_hundredths = total / HUNDRED, total_rest = total % HUNDRED;
    return percent * total_hundredths + percent / HUNDRED * total_rest +
           (percent % HUNDRED * total_rest + HUNDRED - 1) / HUNDRED;
}

// floor(bytes * 100 / total). The hundredths of the part below a whole total are counted by
// adding that part to itself 100 times modulo total, which never goes past total.
uint32_t percent_of(uint32_t bytes, uint32_t total) {
    uint32_t percent = bytes / total * HUNDRED;
    uint32_t part = bytes % total, sum = 0;
    for (uint32_t i = 0; i < HUNDRED; ++i) {
        if (sum >= total - part) {
            sum -= total - part;
            ++percent;
        } else {
            sum += part;
        }
    }
    return percent;
}

void show_percent(uint32_t percent) {
    show_progress(percent < HUNDRED ? percent : HUNDRED);
}

} // namespace

void start_progress(progress_counter *progress, uint32_t total) {
    progress->total = total;
    progress->next_percent = 1;
    progress->next_threshold = bytes_at_percent(1, total);
}

void update_progress(progress_counter *progress, uint32_t bytes) {
    if (progress->total == 0 || bytes < progress->next_threshold)
        return;
    uint32_t percent = percent_of(bytes, progress->total);
    if (percent > progress->next_percent)
        progress->next_percent = percent;
    show_percent(progress->next_percent);
    ++progress->next_percent;
    progress->next_threshold = bytes_at_percent(progress->next_percent, progress->total);
}

void set_progress_back(progress_counter *progress, uint32_t bytes) {
    progress->next_percent = percent_of(bytes, progress->total);
    show_percent(progress->next_percent);
}
