// The packer of DOS programs, checked through an expander that follows the format: in place in
// one memory, from the end down, as the loader does, so that a command writing over packed
// data not yet read spoils the result.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const unsigned char LOADER[] = {
#include "exepack_loader.inc"
};

const std::vector<uint32_t> REGISTERS{0x10, 0x20, 0xFFFE, 0x30}; // IP, CS, SP, SS

struct program {
    std::string image;
    std::vector<uint32_t> relocations; // addresses in the image
    std::vector<uint32_t> registers;
    uint32_t memory; // paragraphs the packed program gets, its load image's included
};

uint32_t get16(const std::string &b, size_t at) {
    return (uint8_t)b.at(at) | (uint32_t)(uint8_t)b.at(at + 1) << 8;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// An MZ file with REGISTERS and 0x200 paragraphs more; each relocation in a segment:offset
// form of its own.
std::string mz(const std::string &image, const std::vector<uint32_t> &relocations) {
    size_t header = (0x1C + 4 * relocations.size() + 15) / 16 * 16, size = header + image.size();
    const std::vector<uint32_t> &r = REGISTERS;
    uint32_t last = size % 512, pages = (size + 511) / 512, count = relocations.size(),
             paragraphs = header / 16;
    std::vector<uint32_t> words{0x5A4D, last, pages, count, paragraphs, 0x200, 0xFFFF,
                                r[3],   r[2], 0,     r[0],  r[1],       0x1C,  0};
    for (size_t i = 0; i < relocations.size(); ++i) {
        uint32_t segment = relocations[i] / 16 - (relocations[i] / 16 >= 0xFFF ? i * 0xFF : 0);
        words.insert(words.end(), {relocations[i] - segment * 16, segment});
    }
    words.resize(header / 2);
    std::string b;
    for (uint32_t word : words)
        b += std::string{(char)word, (char)(word >> 8)};
    return b + image;
}

// Expands a packed file; an empty answer when it is good, else what breaks the format.
std::string expand(const std::string &b, program *p) {
    std::string m = b.substr(get16(b, 8) * 16); // the load image, then free memory
    size_t loader = get16(b, 0x16) * 16;
    p->memory = (m.size() + 15) / 16 + get16(b, 0x0A);
    if (m.compare(loader + 16, 2, "RB") != 0 || get16(b, 0x14) != 18)
        return "no loader header at the entry point";
    size_t image = get16(m, loader + 12) * 16, size = get16(m, loader + 6);
    std::string header = m.substr(loader, size);
    if (image < loader + size || p->memory < image / 16 + get16(b, 0x10) / 16)
        return "no room for the moved loader and its stack";
    m.resize(image + size);
    m.replace(image, size, header);
    size_t source = loader - (get16(header, 14) - 1) * 16, target = image;
    while (source > 0 && (uint8_t)m[source - 1] == 0xFF)
        --source;
    for (unsigned command = 0; !(command & 1);) { // get16 throws when the data runs out
        command = (uint8_t)m.at(source - 1);
        size_t length = get16(m, source - 3);
        bool fill = (command & 0xFE) == 0xB0;
        if (!fill && (command & 0xFE) != 0xB2)
            return "bad command";
        source -= fill ? 4 : 3 + length;
        if (target < length || target - length < source)
            return "a command writes over packed data not yet read";
        for (target -= length; length-- > 0;)
            m[target + length] = m[fill ? source : source + length];
    }
    if (source != target)
        return "the unpacked beginning is out of place";
    p->image = m.substr(0, image);
    size_t at = image + sizeof LOADER;
    for (uint32_t section = 0; section < 16; ++section, at += 2)
        for (size_t n = get16(m, at); n-- > 0;)
            p->relocations.push_back(section << 16 | get16(m, at += 2));
    p->registers = {get16(header, 0), get16(header, 2), get16(header, 8), get16(header, 10)};
    return at == image + size ? "" : "the relocation table does not end the loader";
}

// Runs the packer: its exit status, and in *error what it wrote to standard error.
int run_packer(const std::string &in, const std::string &out, std::string *error) {
    int status = system((EXEPACK " " + in + " " + out + " 2>" + in + ".err").c_str());
    *error = read_file(in + ".err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string pattern(size_t size, size_t run) { // runs of `run` bytes, neighbours differing
    std::string s;
    for (size_t i = 0; i < size; ++i)
        s += (char)((i / run) * 167 + (i / run >> 8));
    return s;
}

// A folder of the test's own, with its trailing slash: runs of the suite may overlap.
std::string own_dir() {
    char name[] = "/tmp/kestrel-packer-XXXXXX";
    return std::string(mkdtemp(name)) + "/";
}

TEST(Packer, ExpandsBackToTheSameProgram) {
    std::string mixed;
    for (size_t n = 1; n < 40; ++n)
        mixed += std::string(n, (char)(n * 37)) + pattern(n * 3, 1);
    const struct {
        const char *name;
        std::string image;
        std::vector<uint32_t> relocations; // in the order the packed table gives them
    } cases[] = {
        {"runs of one byte", std::string(5000, 'Z'), {}},
        {"zeros across 64 KiB", std::string(150000, '\0'), {0x10, 0x1FFFE}},
        {"no runs at all", pattern(3001, 1), {}},
        {"no runs across 64 KiB", pattern(140001, 1), {}},
        {"runs of every length", mixed, {0x12, 0x2}},
        {"relocations in many segments",
         pattern(5 * 65536 + 123, 9),
         {0, 0x1FFFE, 0x10000, 0x25BF9, 0x30000, 0x40000, 0x4FFEF, 0x50000, 0x50070}},
    };
    std::string dir = own_dir();
    for (const auto &c : cases) {
        program out;
        std::ofstream(dir + "in.exe", std::ios::binary) << mz(c.image, c.relocations);
        std::string error;
        ASSERT_EQ(run_packer(dir + "in.exe", dir + "out.exe", &error), 0) << c.name << error;
        std::string packed = read_file(dir + "out.exe");
        ASSERT_EQ(expand(packed, &out), "") << c.name;
        EXPECT_EQ(out.image.substr(0, c.image.size()), c.image) << c.name;
        EXPECT_EQ(out.relocations, c.relocations) << c.name;
        EXPECT_EQ(out.registers, REGISTERS) << c.name;
        EXPECT_GE(out.memory, (c.image.size() + 15) / 16 + 0x200) << c.name;
        // A Win32 DOS stub keeps the new-header offset at 0x3C outside its code.
        EXPECT_TRUE(get16(packed, 8) * 16 >= 0x40 && get16(packed, 0x18) >= 0x40) << c.name;
    }
    std::system(("rm -rf " + dir).c_str());
}

TEST(Packer, RefusesBadInputAndWritesNothing) {
    std::string good = mz("just ten b", {});
    const std::pair<std::string, std::string> cases[] = {
        // input, what the error names
        {"#!/bin/sh\necho hello\n", "not an MZ executable"},
        {"MZ\x90\x01", "truncated MZ header"},
        {good.substr(0, good.size() - 1), "truncated: the header gives"},
        {good + "overlay", "overlay"},
        {mz("just ten b", {9}), "relocation outside"},
        {mz(std::string(0x110000, 'x'), {}), "too large to pack"},
    };
    std::string dir = own_dir(), out = dir + "bad.out";
    for (const auto &[input, message] : cases) {
        std::ofstream(dir + "bad.exe", std::ios::binary) << input;
        unlink(out.c_str());
        std::string error;
        EXPECT_EQ(run_packer(dir + "bad.exe", out, &error), 1) << message;
        EXPECT_NE(error.find(message), std::string::npos) << error;
        EXPECT_TRUE(access(out.c_str(), F_OK) != 0 && access((out + ".part").c_str(), F_OK) != 0)
            << message;
    }
    std::system(("rm -rf " + dir).c_str());
}

TEST(Packer, PackedDownloadExeIsSmaller) {
    std::string dir = own_dir();
    ASSERT_EQ(system(("cd " SOURCE_DIR " && scripts/build-dos " + dir + " >/dev/null").c_str()), 0);
    std::string unpacked = read_file(dir + "/unpacked/DOWNLOAD.EXE");
    std::string packed = read_file(dir + "/DOWNLOAD.EXE");
    program out;
    ASSERT_EQ(expand(packed, &out), "");
    std::string image = unpacked.substr(get16(unpacked, 8) * 16);
    EXPECT_EQ(out.image.substr(0, image.size()), image);
    EXPECT_LT(packed.size(), unpacked.size());
    std::system(("rm -rf " + dir).c_str());
}

} // namespace
