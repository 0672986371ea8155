// Shared by the fuzz targets: taking values from the fuzzer's input, target output with
// pauses, image files, and the checks whose failure is a finding.
#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

// A broken invariant aborts, which the fuzzer records as a crash with its input.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

// The input read front to back; reads past its end give zeros.
class input {
  public:
    input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | byte();
        return value;
    }
    std::string bytes(size_t count) {
        std::string out;
        while (count-- > 0 && !empty())
            out += static_cast<char>(byte());
        return out;
    }
    std::string rest() { return bytes(size_ - pos_); }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// Target output with pauses, written in the input as bytes with one escape: 0xFF 0xFF is the
// byte 0xFF, 0xFF 0x00 ends a segment, 0xFF d pauses d * 100 ms before the bytes after it.
struct piece {
    uint64_t delay_ms;
    std::string bytes;
};
using segment = std::vector<piece>;

inline std::vector<segment> parse_segments(const std::string &text) {
    std::vector<segment> segments(1);
    segments.back().push_back({0, ""});
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c != 0xFF || i + 1 == text.size()) {
            segments.back().back().bytes += static_cast<char>(c);
            continue;
        }
        unsigned char d = static_cast<unsigned char>(text[++i]);
        if (d == 0xFF)
            segments.back().back().bytes += '\xFF';
        else if (d == 0)
            segments.push_back({{0, ""}});
        else
            segments.back().push_back({100u * d, ""});
    }
    return segments;
}

inline uint64_t total_delay_ms(const segment &s) {
    uint64_t total = 0;
    for (const piece &p : s)
        total += p.delay_ms;
    return total;
}

// With KESTREL_FUZZ_SHOW set, what the program showed for an input goes to standard error:
// for looking at what a seed or a finding does.
inline void show(const std::string &console_output) {
    static const bool wanted = std::getenv("KESTREL_FUZZ_SHOW") != nullptr;
    if (wanted)
        std::fprintf(stderr, "---\n%s\n---\n", console_output.c_str());
}

// A file of this process, rewritten for every input.
class temp_file {
  public:
    temp_file() {
        const char *dir = std::getenv("TMPDIR");
        path_ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/kestrel-fuzz-XXXXXX";
        int fd = mkstemp(&path_[0]);
        if (fd < 0) {
            std::perror("mkstemp");
            std::abort();
        }
        close(fd);
    }
    ~temp_file() { unlink(path_.c_str()); }
    // Writes content and opens the file for binary reading.
    FILE *open(const std::string &content) const {
        FILE *out = std::fopen(path_.c_str(), "wb");
        if (out == nullptr || std::fwrite(content.data(), 1, content.size(), out) != content.size())
            std::abort();
        std::fclose(out);
        FILE *in = std::fopen(path_.c_str(), "rb");
        if (in == nullptr)
            std::abort();
        return in;
    }

  private:
    std::string path_;
};

// A data record ('1', '2' or '3') with its count and checksum, line end "\r\n".
inline std::string data_record(char type, uint32_t address, const std::string &data) {
    unsigned address_length = static_cast<unsigned>(type - '0') + 1;
    std::string bytes(1, static_cast<char>(address_length + data.size() + 1));
    for (unsigned i = address_length; i > 0; --i)
        bytes += static_cast<char>(address >> (8 * (i - 1)));
    bytes += data;
    unsigned sum = 0;
    std::string text = std::string("S") + type;
    char hex[3];
    for (unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        text += hex;
        sum += b;
    }
    std::snprintf(hex, sizeof hex, "%02X", ~sum & 0xFFu);
    return text + hex + "\r\n";
}

} // namespace fuzz

#endif
