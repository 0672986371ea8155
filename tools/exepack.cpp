// exepack IN.EXE OUT.EXE: writes OUT.EXE, the MS-DOS program IN.EXE in the packed form that
// expands itself when it starts (EXEPACK). The load image is compressed from its end down, in
// runs of one repeated byte and stretches copied as they are; behind it come the loader's
// header (the real entry point and stack), the loader and the relocation table packed in 16
// sections of 64 KiB. The loader moves itself above the space of the expanded image and
// expands the image in place, so no command may write over packed data not yet read.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "binary_file.h"

const char TOOL_NAME[] = "exepack";

namespace {

// The loader: an 18-byte header, then its code. Built from exepack_loader.S.
const unsigned char LOADER[] = {
#include "exepack_loader.inc"
};
const size_t LOADER_REAL_IP = 0, LOADER_REAL_CS = 2, LOADER_SIZE = 6, LOADER_REAL_SP = 8,
             LOADER_REAL_SS = 10, LOADER_IMAGE_PARAGRAPHS = 12, LOADER_ENTRY = 18;
const size_t LOADER_STACK_BYTES = 256;
const size_t SECTIONS = 16;

// Big enough for the new-header offset at 0x3C: the packed program can be a Win32 DOS stub.
const size_t PACKED_HEADER_BYTES = 0x40;
const size_t MZ_HEADER_MIN_BYTES = 0x1C;
const size_t MAX_PARAGRAPHS = 0xFFFF; // all a DOS program's memory must lie below 1 MiB

const size_t MAX_COMMAND_LENGTH = 0xFFFF;
// A run shorter than this costs more as a fill (4 bytes) plus the header of the copy it
// splits (3 bytes) than it saves.
const size_t MIN_FILL_LENGTH = 8;
const unsigned char FILL = 0xB0, COPY = 0xB2, LAST = 0x01, PADDING = 0xFF;

struct mz_program {
    std::string image;
    std::vector<uint32_t> relocations; // addresses in the image
    uint32_t ip, cs, sp, ss, min_paragraphs, max_paragraphs;
};

// One command: a fill of one repeated byte or a copied stretch of the expanded image.
struct token {
    size_t start, length;
    bool fill;
};

size_t paragraphs(size_t bytes) {
    return (bytes + 15) / 16;
}

bool read_mz(const char *path, const std::string &b, mz_program *p) {
    if (b.size() < 2 || b.compare(0, 2, "MZ") != 0)
        return fail(path, "not an MZ executable");
    if (b.size() < MZ_HEADER_MIN_BYTES)
        return fail(path, "truncated MZ header");
    size_t last_page = get16(b, 2), pages = get16(b, 4);
    size_t stated = pages * 512 - (last_page != 0 ? 512 - last_page : 0);
    size_t header = get16(b, 8) * 16;
    if (pages == 0 || last_page > 511 || header < MZ_HEADER_MIN_BYTES || header > stated)
        return fail(path, "damaged MZ header: its sizes contradict each other");
    if (stated > b.size())
        return fail(path, "truncated: the header gives " + std::to_string(stated) +
                              " bytes, the file has " + std::to_string(b.size()));
    if (stated < b.size())
        return fail(path, std::to_string(b.size() - stated) +
                              " bytes after the load image (overlay data) would be lost");
    p->image = b.substr(header, stated - header);
    if (p->image.empty())
        return fail(path, "no load image");
    size_t count = get16(b, 6), table = get16(b, 0x18);
    if (count != 0 && table + 4 * count > header)
        return fail(path, "relocation table outside the header");
    for (size_t i = 0; i < count; ++i) {
        uint32_t offset = get16(b, table + 4 * i), segment = get16(b, table + 4 * i + 2);
        uint32_t address = segment * 16 + offset;
        if (address + 2 > p->image.size())
            return fail(path, "relocation outside the load image");
        p->relocations.push_back(address);
    }
    p->min_paragraphs = get16(b, 0x0A);
    p->max_paragraphs = get16(b, 0x0C);
    p->ss = get16(b, 0x0E);
    p->sp = get16(b, 0x10);
    p->ip = get16(b, 0x14);
    p->cs = get16(b, 0x16);
    return true;
}

// Runs of MIN_FILL_LENGTH or more become fills, everything between them copies; each command
// covers at most MAX_COMMAND_LENGTH bytes.
std::vector<token> tokenize(const std::string &x) {
    std::vector<token> tokens;
    size_t literal = 0;
    auto add = [&](size_t start, size_t end, bool fill) {
        for (; start < end; start += MAX_COMMAND_LENGTH) {
            size_t length = end - start < MAX_COMMAND_LENGTH ? end - start : MAX_COMMAND_LENGTH;
            tokens.push_back({start, length, fill});
        }
    };
    for (size_t i = 0; i < x.size();) {
        size_t run = 1;
        while (i + run < x.size() && x[i + run] == x[i])
            ++run;
        if (run >= MIN_FILL_LENGTH) {
            add(literal, i, false);
            add(i, i + run, true);
            literal = i + run;
        }
        i += run;
    }
    add(literal, x.size(), false);
    return tokens;
}

// Expanding in place is safe when, at every command boundary, the packed data below it is no
// longer than the image below it. The image's first tokens stay as they are, unpacked, up to
// the first boundary from which every later stretch of commands saves bytes. Returns the
// number of tokens left unpacked, or tokens.size() when no boundary qualifies (there must be
// one command at least).
size_t unpacked_tokens(const std::vector<token> &tokens) {
    std::vector<long> saved(tokens.size() + 1, 0); // by the tokens before each boundary
    for (size_t i = 0; i < tokens.size(); ++i)
        saved[i + 1] = saved[i] + (tokens[i].fill ? (long)tokens[i].length - 4 : -3);
    size_t best = tokens.size();
    long lowest_after = saved[tokens.size()];
    for (size_t j = tokens.size(); j-- > 0;) {
        if (saved[j] <= lowest_after)
            best = j;
        if (saved[j] < lowest_after)
            lowest_after = saved[j];
    }
    return best;
}

// The packed data of the expanded image x: its unpacked beginning, then one command for each
// further token, the last in the image first to be read. Empty when x cannot be packed.
std::string compress(const std::string &x) {
    std::vector<token> tokens = tokenize(x);
    size_t first = unpacked_tokens(tokens);
    if (first == tokens.size())
        return "";
    std::string out = x.substr(0, tokens[first].start);
    for (size_t i = first; i < tokens.size(); ++i) {
        const token &t = tokens[i];
        if (t.fill)
            out += x[t.start];
        else
            out.append(x, t.start, t.length);
        out += (char)t.length;
        out += (char)(t.length >> 8);
        out += (char)((t.fill ? FILL : COPY) | (i == first ? LAST : 0));
    }
    return out;
}

bool pack(const char *path, const mz_program &p, std::string *out) {
    // 1. The relocation table: per section of 64 KiB, a count and the offsets in it.
    std::vector<std::vector<uint32_t>> sections(SECTIONS);
    for (uint32_t address : p.relocations) {
        if (address >> 16 >= SECTIONS)
            return fail(path, "load image too large to pack");
        // The loader adds to the word at the offset in the section's own segment.
        if ((address & 0xFFFF) == 0xFFFF)
            return fail(path, "a relocation straddles a 64 KiB boundary");
        sections[address >> 16].push_back(address & 0xFFFF);
    }
    std::string loader((const char *)LOADER, sizeof LOADER);
    for (const std::vector<uint32_t> &section : sections) {
        loader.append(2, '\0');
        put16(loader, loader.size() - 2, (uint32_t)section.size());
        for (uint32_t offset : section) {
            loader.append(2, '\0');
            put16(loader, loader.size() - 2, offset);
        }
    }
    size_t stack_top = paragraphs(loader.size()) * 16 + LOADER_STACK_BYTES;
    if (stack_top > 0xFFFE)
        return fail(path, "too many relocations to pack");

    // 2. The packed image. The image grows by zeros when it must: so that some boundary is
    //    safe to expand from, and so that the loader's two places do not overlap.
    size_t image_bytes = paragraphs(p.image.size()) * 16;
    std::string packed;
    for (;;) {
        if (image_bytes / 16 > MAX_PARAGRAPHS)
            return fail(path, "load image too large to pack");
        std::string x = p.image;
        x.resize(image_bytes, '\0');
        packed = compress(x);
        size_t end = paragraphs(packed.size()) * 16;
        if (!packed.empty() && end + loader.size() <= image_bytes)
            break;
        image_bytes = packed.empty() ? image_bytes + 16 : end + paragraphs(loader.size()) * 16;
    }
    packed.resize(paragraphs(packed.size()) * 16, (char)PADDING);

    // 3. Memory: the program's own need, and room for the moved loader with its stack.
    size_t need = paragraphs(p.image.size()) + p.min_paragraphs;
    if (image_bytes / 16 + stack_top / 16 > need)
        need = image_bytes / 16 + stack_top / 16;
    size_t load_bytes = packed.size() + loader.size();
    if (need > MAX_PARAGRAPHS)
        return fail(path, "load image too large to pack");
    size_t min_paragraphs = need - paragraphs(load_bytes);
    size_t max_paragraphs = 0xFFFF;
    if (p.max_paragraphs != 0xFFFF) {
        size_t wanted = paragraphs(p.image.size()) + p.max_paragraphs;
        max_paragraphs = wanted > need ? wanted - paragraphs(load_bytes) : min_paragraphs;
        if (max_paragraphs > 0xFFFF)
            max_paragraphs = 0xFFFF;
    }

    // 4. The loader's header, then the file.
    put16(loader, LOADER_REAL_IP, p.ip);
    put16(loader, LOADER_REAL_CS, p.cs);
    put16(loader, LOADER_SIZE, (uint32_t)loader.size());
    put16(loader, LOADER_REAL_SP, p.sp);
    put16(loader, LOADER_REAL_SS, p.ss);
    put16(loader, LOADER_IMAGE_PARAGRAPHS, (uint32_t)(image_bytes / 16));
    size_t file_bytes = PACKED_HEADER_BYTES + load_bytes;
    uint32_t loader_segment = (uint32_t)(packed.size() / 16);
    out->assign(PACKED_HEADER_BYTES, '\0');
    put16(*out, 0x00, 0x5A4D);
    put16(*out, 0x02, (uint32_t)(file_bytes % 512));
    put16(*out, 0x04, (uint32_t)((file_bytes + 511) / 512));
    put16(*out, 0x08, PACKED_HEADER_BYTES / 16);
    put16(*out, 0x0A, (uint32_t)min_paragraphs);
    put16(*out, 0x0C, (uint32_t)max_paragraphs);
    put16(*out, 0x0E, loader_segment);
    put16(*out, 0x10, (uint32_t)stack_top);
    put16(*out, 0x14, LOADER_ENTRY);
    put16(*out, 0x16, loader_segment);
    put16(*out, 0x18, PACKED_HEADER_BYTES); // an empty relocation table: the loader relocates
    *out += packed;
    *out += loader;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: exepack IN.EXE OUT.EXE\n");
        return 2;
    }
    std::string input, output;
    mz_program program;
    if (!read_whole(argv[1], &input) || !read_mz(argv[1], input, &program) ||
        !pack(argv[1], program, &output) || !write_whole(argv[2], output))
        return 1;
    return 0;
}
