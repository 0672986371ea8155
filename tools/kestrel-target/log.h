// The target's event log: one line per event, stamped with seconds since start.
#ifndef TARGET_LOG_H
#define TARGET_LOG_H

#include <string>

// log_open: log to path, or to stderr when path is empty; false with the reason in error.
bool log_open(const std::string &path, std::string &error);

// log_event: printf-style; the line end is added.
void log_event(const char *format, ...) __attribute__((format(printf, 1, 2)));

// hex_bytes: "01 53 49 ..." for a log line, at most limit bytes then "...".
std::string hex_bytes(const unsigned char *bytes, size_t count, size_t limit = 16);

#endif
