// The percentage of a transfer on the progress line, for both transfer modes: at most one
// update per event, raised to the real figure when several per cent have passed at once.
#ifndef TRANSFER_PROGRESS_H
#define TRANSFER_PROGRESS_H

#include <stdint.h>

struct progress_counter {
    uint32_t total;          // the byte count that makes 100 %; 0 shows nothing
    uint32_t next_percent;   // the percentage to show next
    uint32_t next_threshold; // the byte count at which next_percent is due
};

// start_progress: 1 % of total is due next.
void start_progress(progress_counter *progress, uint32_t total);

// update_progress: once bytes reach the next threshold, shows the real percentage of total (at
// least the one due, at most 100) and makes the one after it due; otherwise shows nothing.
void update_progress(progress_counter *progress, uint32_t bytes);

// set_progress_back: shows the percentage of bytes (at most 100) and makes it the next one;
// the threshold stays where it was. total is not 0.
void set_progress_back(progress_counter *progress, uint32_t bytes);

#endif
