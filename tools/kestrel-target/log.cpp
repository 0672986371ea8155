#include "tools/kestrel-target/log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

static FILE *log_file = stderr;
static const std::chrono::steady_clock::time_point log_start = std::chrono::steady_clock::now();

bool log_open(const std::string &path, std::string &error) {
    if (path.empty())
        return true;
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        error = "cannot write the log file " + path;
        return false;
    }
    setvbuf(f, nullptr, _IOLBF, 0);
    log_file = f;
    return true;
}

void log_event(const char *format, ...) {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - log_start).count();
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(log_file, "[%9.3f] %s\n", seconds, text);
}

std::string hex_bytes(const unsigned char *bytes, size_t count, size_t limit) {
    std::string text;
    char two[4];
    for (size_t i = 0; i < count && i < limit; ++i) {
        snprintf(two, sizeof two, "%02X", bytes[i]);
        if (i > 0)
            text += ' ';
        text += two;
    }
    if (count > limit)
        text += " ...";
    return text;
}
