// The shipped Win32 executables as files: machine, console subsystem, the DLLs they import and
// their version record, read with a small PE reader of our own so that the 32-bit build, which
// cannot run here, is checked as well.
#include <gtest/gtest.h>

#include <stdint.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>

#include "harness.h"

namespace {

const uint16_t MACHINE_I386 = 0x014C;
const uint16_t MACHINE_AMD64 = 0x8664;
const uint16_t SUBSYSTEM_CONSOLE = 3;
const uint32_t RT_VERSION = 16;

// Little-endian fields; 0 past the end.
uint32_t le16(const std::string &data, size_t at) {
    return at + 2 <= data.size() ? (uint8_t)data[at] | (uint32_t)(uint8_t)data[at + 1] << 8 : 0;
}
uint32_t le32(const std::string &data, size_t at) {
    return le16(data, at) | le16(data, at + 2) << 16;
}

struct pe_file {
    std::string bytes;
    bool valid = false;
    uint16_t machine = 0;
    uint16_t subsystem = 0;
    std::set<std::string> imports; // DLL names, upper case
    std::string version;           // the version resource's data

    uint32_t u16(size_t at) const { return le16(bytes, at); }
    uint32_t u32(size_t at) const { return le32(bytes, at); }

    struct section {
        uint32_t address, size, file_offset;
    };
    std::vector<section> sections;

    size_t offset_of(uint32_t rva) const {
        for (const section &s : sections)
            if (rva >= s.address && rva < s.address + s.size)
                return rva - s.address + s.file_offset;
        return std::string::npos;
    }

    std::string c_string(size_t at) const {
        std::string text;
        while (at < bytes.size() && bytes[at] != '\0')
            text += bytes[at++];
        return text;
    }

    explicit pe_file(const std::string &path) : bytes(e2e::read_file(path)) {
        size_t pe = u32(0x3C);
        if (bytes.compare(0, 2, "MZ") != 0 || bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
            return;
        size_t coff = pe + 4;
        machine = (uint16_t)u16(coff);
        unsigned section_count = u16(coff + 2);
        size_t optional = coff + 20;
        bool plus = u16(optional) == 0x20B;
        subsystem = (uint16_t)u16(optional + 68);
        size_t directories = optional + (plus ? 112 : 96);
        size_t table = optional + u16(coff + 16);
        for (unsigned i = 0; i < section_count; ++i) {
            size_t entry = table + 40 * i;
            sections.push_back(
                {u32(entry + 12), std::max(u32(entry + 8), u32(entry + 16)), u32(entry + 20)});
        }
        read_imports(offset_of(u32(directories + 8)));
        uint32_t resources = u32(directories + 16);
        read_version(resources);
        valid = true;
    }

    void read_imports(size_t at) {
        for (; at != std::string::npos && at + 20 <= bytes.size() && u32(at + 12) != 0; at += 20) {
            std::string name = c_string(offset_of(u32(at + 12)));
            std::transform(name.begin(), name.end(), name.begin(), ::toupper);
            imports.insert(name);
        }
    }

    // The first entry with the given id (any id when want is 0) of a resource directory;
    // the entry's target, relative to the resource section.
    bool directory_entry(size_t directory, uint32_t want, uint32_t *target) const {
        unsigned count = u16(directory + 12) + u16(directory + 14);
        for (unsigned i = 0; i < count; ++i) {
            size_t entry = directory + 16 + 8 * i;
            if (want == 0 || u32(entry) == want) {
                *target = u32(entry + 4);
                return true;
            }
        }
        return false;
    }

    // Type, name and language levels down to the data entry.
    void read_version(uint32_t resources_rva) {
        size_t base = offset_of(resources_rva);
        uint32_t level1, level2, data;
        if (base == std::string::npos || !directory_entry(base, RT_VERSION, &level1) ||
            !(level1 & 0x80000000u) ||
            !directory_entry(base + (level1 & 0x7FFFFFFFu), 0, &level2) ||
            !(level2 & 0x80000000u) || !directory_entry(base + (level2 & 0x7FFFFFFFu), 0, &data) ||
            (data & 0x80000000u))
            return;
        size_t at = offset_of(u32(base + data));
        if (at != std::string::npos)
            version = bytes.substr(at, u32(base + data + 4));
    }
};

// One node of a version record: length, value length, type, UTF-16 key, value, children.
struct version_block {
    std::string key;
    std::string value; // text values as ASCII, binary as bytes
    std::vector<version_block> children;
};

size_t align4(size_t at) {
    return (at + 3) & ~(size_t)3;
}

version_block parse_block(const std::string &data, size_t at) {
    auto u16 = [&](size_t p) { return le16(data, p); };
    version_block block;
    size_t end = std::min(data.size(), at + u16(at));
    unsigned value_length = u16(at + 2);
    bool text = u16(at + 4) == 1;
    size_t p = at + 6;
    for (; p + 2 <= end && u16(p) != 0; p += 2)
        block.key += (char)u16(p);
    p = align4(p + 2);
    size_t value_end = std::min(end, p + (text ? 2 * value_length : value_length));
    for (; p < value_end; p += text ? 2 : 1)
        if (!text || u16(p) != 0)
            block.value += text ? (char)u16(p) : data[p];
    for (p = align4(value_end); p + 6 <= end && u16(p) != 0; p = align4(p + u16(p)))
        block.children.push_back(parse_block(data, p));
    return block;
}

void check_executable(const std::string &path, uint16_t machine) {
    SCOPED_TRACE(path);
    pe_file exe(path);
    ASSERT_TRUE(exe.valid);
    EXPECT_EQ(exe.machine, machine);
    EXPECT_EQ(exe.subsystem, SUBSYSTEM_CONSOLE);
    // Linked statically: nothing to install beside it.
    EXPECT_EQ(exe.imports, (std::set<std::string>{"KERNEL32.DLL", "MSVCRT.DLL"}));

    version_block root = parse_block(exe.version, 0);
    EXPECT_EQ(root.key, "VS_VERSION_INFO");
    ASSERT_EQ(root.value.size(), 52u);
    EXPECT_EQ(le32(root.value, 0), 0xFEEF04BDu);
    EXPECT_EQ(le32(root.value, 8), (1u << 16) | 81u); // 1.81
    EXPECT_EQ(le32(root.value, 12), 0u);              // .0.0

    std::map<std::string, std::string> strings;
    for (const version_block &info : root.children)
        if (info.key == "StringFileInfo")
            for (const version_block &table : info.children)
                for (const version_block &entry : table.children)
                    strings[entry.key] = entry.value;
    ASSERT_TRUE(strings.count("LegalCopyright"));
    EXPECT_NE(strings["LegalCopyright"].find("Copyright"), std::string::npos);
    strings.erase("LegalCopyright");
    EXPECT_EQ(strings, (std::map<std::string, std::string>{
                           {"CompanyName", "Halvren Security Systems, Inc."},
                           {"FileDescription", "Firmware Downloader"},
                           {"FileVersion", "1, 81, 0, 0"},
                           {"InternalName", "download"},
                           {"OriginalFilename", "download.exe"},
                           {"ProductName", "Downloader"},
                       }));
}

TEST(Executable, ThirtyTwoBit) {
    check_executable(WIN32_EXE, MACHINE_I386);
}

TEST(Executable, SixtyFourBit) {
    check_executable(WIN64_EXE, MACHINE_AMD64);
}

} // namespace
