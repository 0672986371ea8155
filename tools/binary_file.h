// Whole binary files and their little-endian fields, for the host tools that rewrite
// executables.
#ifndef TOOLS_BINARY_FILE_H
#define TOOLS_BINARY_FILE_H

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

// The tool's name, for its messages; each tool defines it.
extern const char TOOL_NAME[];

inline bool fail(const char *path, const std::string &why) {
    fprintf(stderr, "%s: %s: %s\n", TOOL_NAME, path, why.c_str());
    return false;
}

inline uint32_t get16(const std::string &b, size_t at) {
    return (uint8_t)b[at] | (uint32_t)(uint8_t)b[at + 1] << 8;
}
inline uint32_t get32(const std::string &b, size_t at) {
    return get16(b, at) | get16(b, at + 2) << 16;
}
inline void put16(std::string &b, size_t at, uint32_t value) {
    b[at] = (char)value;
    b[at + 1] = (char)(value >> 8);
}
inline void put32(std::string &b, size_t at, uint32_t value) {
    put16(b, at, value & 0xFFFF);
    put16(b, at + 2, value >> 16);
}

inline bool read_whole(const char *path, std::string *bytes) {
    FILE *f = fopen(path, "rb");
    if (!f)
        return fail(path, "cannot open");
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes->append(buffer, got);
    bool ok = !ferror(f);
    fclose(f);
    return ok || fail(path, "read error");
}

// Written beside the target and renamed, so that a failed run leaves no half file; with the
// mode of like_path when it is given.
inline bool write_whole(const char *path, const std::string &bytes, const char *like_path = 0) {
    std::string temporary = std::string(path) + ".part";
    FILE *f = fopen(temporary.c_str(), "wb");
    if (!f)
        return fail(temporary.c_str(), "cannot create");
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = fclose(f) == 0 && ok;
    struct stat like;
    if (ok && like_path != 0 && stat(like_path, &like) == 0)
        chmod(temporary.c_str(), like.st_mode & 07777);
    if (!ok || rename(temporary.c_str(), path) != 0) {
        remove(temporary.c_str());
        return fail(path, "cannot write");
    }
    return true;
}

#endif
