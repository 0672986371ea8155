// The shipped Win32 executables as files: machine, console subsystem, the DLLs they import and
// their version record, read with a small PE reader of our own so that the 32-bit build, which
// cannot run here, is checked as well; and download.exe, the same program with the 16-bit build
// spliced in as its DOS stub.
#include <gtest/gtest.h>

#include <stdint.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
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
    size_t header = 0;             // "PE\0\0", the new-header offset
    uint32_t size_of_headers = 0, file_alignment = 0;
    size_t checksum_field = 0;
    uint32_t symbol_table = 0; // file offset, 0 when none

    uint32_t u16(size_t at) const { return le16(bytes, at); }
    uint32_t u32(size_t at) const { return le32(bytes, at); }

    struct section {
        uint32_t address, size, file_offset, raw_size;
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
        size_t pe = header = u32(0x3C);
        if (bytes.compare(0, 2, "MZ") != 0 || bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
            return;
        size_t coff = pe + 4;
        machine = (uint16_t)u16(coff);
        unsigned section_count = u16(coff + 2);
        size_t optional = coff + 20;
        bool plus = u16(optional) == 0x20B;
        subsystem = (uint16_t)u16(optional + 68);
        file_alignment = u32(optional + 36);
        size_of_headers = u32(optional + 60);
        checksum_field = optional + 64;
        symbol_table = u32(coff + 8);
        size_t directories = optional + (plus ? 112 : 96);
        size_t table = optional + u16(coff + 16);
        for (unsigned i = 0; i < section_count; ++i) {
            size_t entry = table + 40 * i;
            sections.push_back({u32(entry + 12), std::max(u32(entry + 8), u32(entry + 16)),
                                u32(entry + 20), u32(entry + 16)});
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
    check_executable(WIN32_DOWNLOAD_EXE, MACHINE_I386);
}

TEST(Executable, SixtyFourBit) {
    check_executable(WIN64_EXE, MACHINE_AMD64);
    check_executable(WIN64_DOWNLOAD_EXE, MACHINE_AMD64);
}

// The image checksum: a 16-bit sum with carries folded back, the field itself left out, plus
// the file's length.
uint32_t pe_checksum(const pe_file &exe) {
    uint64_t sum = 0;
    for (size_t at = 0; at < exe.bytes.size(); at += 2) {
        if (at == exe.checksum_field || at == exe.checksum_field + 2)
            continue;
        sum += exe.u16(at) | (at + 1 == exe.bytes.size() ? (uint8_t)exe.bytes[at] : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return (uint32_t)((sum & 0xFFFF) + (sum >> 16) + exe.bytes.size());
}

// download.exe against the kestrelload.exe it was made from and the stub it carries.
void check_splice(const std::string &linked_path, const std::string &spliced_path) {
    SCOPED_TRACE(spliced_path);
    pe_file linked(linked_path), spliced(spliced_path);
    std::string stub = e2e::read_file(DOS_EXE);
    ASSERT_TRUE(linked.valid && spliced.valid);
    ASSERT_GT(stub.size(), 0x40u);

    // The stub byte for byte but for the new-header offset, which points just behind it.
    EXPECT_EQ(spliced.header, (stub.size() + 7) / 8 * 8);
    std::string carried = spliced.bytes.substr(0, stub.size());
    carried.replace(0x3C, 4, stub, 0x3C, 4);
    EXPECT_TRUE(carried == stub);

    // Headers that still end below the first section, and every section's data, the symbol
    // and string tables included, moved but unchanged.
    EXPECT_EQ(spliced.size_of_headers % spliced.file_alignment, 0u);
    EXPECT_GE(spliced.size_of_headers, spliced.header + 0x100);
    ASSERT_EQ(spliced.sections.size(), linked.sections.size());
    for (size_t i = 0; i < linked.sections.size(); ++i) {
        const pe_file::section &was = linked.sections[i], &now = spliced.sections[i];
        EXPECT_LE(spliced.size_of_headers, now.address) << "section " << i;
        EXPECT_TRUE(spliced.bytes.compare(now.file_offset, now.raw_size, linked.bytes,
                                          was.file_offset, was.raw_size) == 0)
            << "section " << i;
    }
    if (linked.symbol_table != 0) {
        EXPECT_TRUE(spliced.bytes.substr(spliced.symbol_table) ==
                    linked.bytes.substr(linked.symbol_table));
    }
    EXPECT_EQ(spliced.bytes.size() - spliced.size_of_headers,
              linked.bytes.size() - linked.size_of_headers);

    // The linker's checksum, and ours for the new file.
    EXPECT_EQ(pe_checksum(linked), linked.u32(linked.checksum_field));
    EXPECT_EQ(pe_checksum(spliced), spliced.u32(spliced.checksum_field));
}

// Runs the splicer; true when it succeeded.
bool splice(const std::string &stub, const std::string &linked, const std::string &out) {
    std::string command =
        std::string(SPLICE_STUB) + " " + stub + " " + linked + " " + out + " 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

TEST(Splice, DosStubInBothBuilds) {
    check_splice(WIN32_EXE, WIN32_DOWNLOAD_EXE);
    check_splice(WIN64_EXE, WIN64_DOWNLOAD_EXE);
}

TEST(Splice, StubSizesAndHeaders) {
    std::string dir = e2e::temp_dir(), stub = e2e::read_file(DOS_EXE), out = dir + "/out.exe";
    auto write = [&](const std::string &name, const std::string &bytes) {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
        return dir + "/" + name;
    };
    // A stub whose size is no multiple of 8: the PE headers start at the next one.
    ASSERT_TRUE(splice(write("odd.exe", stub + "abc"), WIN32_EXE, out));
    pe_file odd(out);
    EXPECT_EQ(odd.header, (stub.size() + 3 + 7) / 8 * 8);
    EXPECT_EQ(odd.imports, (std::set<std::string>{"KERNEL32.DLL", "MSVCRT.DLL"}));
    EXPECT_EQ(pe_checksum(odd), odd.u32(odd.checksum_field));
    unlink(out.c_str());

    // Refused, leaving no file: a stub that leaves no room below the first section, one whose
    // 32-byte header has code where the offset goes, and one that is no MZ program.
    std::string old_header = stub;
    old_header[8] = 2;       // header paragraphs
    old_header[0x18] = 0x1C; // relocation table offset
    for (const std::string &bad : {write("big.exe", stub + std::string(0x10000, 'x')),
                                   write("old.exe", old_header), write("text.exe", "MZ")}) {
        EXPECT_FALSE(splice(bad, WIN32_EXE, out)) << bad;
        EXPECT_NE(access(out.c_str(), F_OK), 0) << bad;
    }
    std::system(("rm -rf " + dir).c_str());
}

} // namespace
