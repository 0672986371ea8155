// splice-stub STUB.EXE LINKED.EXE OUT.EXE: writes OUT.EXE, the linked Windows program with the
// MS-DOS program STUB.EXE as its DOS stub, unchanged but for the new-header offset at 0x3C.
// The PE headers move behind the stub and every section's data moves by the same whole
// number of file-alignment units, so each file offset is shifted consistently. The headers
// must still end below the first section's address: link with a section alignment that
// leaves room (GNU ld has no stub option of its own).
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "binary_file.h"

const char TOOL_NAME[] = "splice-stub";

namespace {

const size_t MZ_HEADER_SIZE = 0x40;
const size_t MZ_NEW_HEADER = 0x3C;
const size_t COFF_SIZE = 20;
const size_t SECTION_ENTRY_SIZE = 40;
const size_t DEBUG_ENTRY_SIZE = 28;
const unsigned DIRECTORY_SECURITY = 4;
const unsigned DIRECTORY_DEBUG = 6;

size_t align_up(size_t value, size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// The layout of a PE file's headers, file offsets throughout.
struct pe_layout {
    size_t pe;          // "PE\0\0"
    size_t optional;    // the optional header
    size_t directories; // the data directories
    unsigned directory_count;
    size_t sections; // the section table
    unsigned section_count;
    size_t headers_end; // end of the section table
    uint32_t file_alignment;
    uint32_t size_of_headers;
    uint32_t first_section_address; // lowest section address (RVA)
};

bool read_layout(const char *path, const std::string &b, pe_layout *p) {
    if (b.size() < MZ_HEADER_SIZE || b.compare(0, 2, "MZ") != 0)
        return fail(path, "not an MZ executable");
    p->pe = get32(b, MZ_NEW_HEADER);
    if (p->pe + 4 + COFF_SIZE > b.size() || b.compare(p->pe, 4, std::string("PE\0\0", 4)) != 0)
        return fail(path, "no PE header");
    size_t coff = p->pe + 4;
    p->section_count = get16(b, coff + 2);
    p->optional = coff + COFF_SIZE;
    p->sections = p->optional + get16(b, coff + 16);
    p->headers_end = p->sections + SECTION_ENTRY_SIZE * p->section_count;
    if (p->headers_end > b.size())
        return fail(path, "section table past the end");
    uint32_t magic = get16(b, p->optional);
    if (magic != 0x10B && magic != 0x20B)
        return fail(path, "neither PE32 nor PE32+");
    p->directories = p->optional + (magic == 0x20B ? 112 : 96);
    p->directory_count = get32(b, p->directories - 4);
    if (p->directories + 8 * p->directory_count > p->sections)
        return fail(path, "data directories past the optional header");
    p->file_alignment = get32(b, p->optional + 36);
    p->size_of_headers = get32(b, p->optional + 60);
    if (p->file_alignment == 0 || p->size_of_headers % p->file_alignment != 0 ||
        p->size_of_headers < p->headers_end || p->size_of_headers > b.size())
        return fail(path, "inconsistent SizeOfHeaders or FileAlignment");
    p->first_section_address = UINT32_MAX;
    for (unsigned i = 0; i < p->section_count; ++i) {
        size_t entry = p->sections + SECTION_ENTRY_SIZE * i;
        uint32_t raw = get32(b, entry + 20);
        if (raw != 0 && raw < p->size_of_headers)
            return fail(path, "section data inside the headers");
        if (get32(b, entry + 12) < p->first_section_address)
            p->first_section_address = get32(b, entry + 12);
    }
    // Anything but padding behind the section table would be lost.
    for (size_t at = p->headers_end; at < p->size_of_headers; ++at)
        if (b[at] != '\0')
            return fail(path, "data between the section table and the first section");
    return true;
}

// The file offset of an address (RVA), npos when no section's data holds it.
size_t file_offset(const std::string &b, const pe_layout &p, uint32_t rva) {
    for (unsigned i = 0; i < p.section_count; ++i) {
        size_t entry = p.sections + SECTION_ENTRY_SIZE * i;
        uint32_t address = get32(b, entry + 12), raw_size = get32(b, entry + 16);
        if (rva >= address && rva - address < raw_size)
            return get32(b, entry + 20) + (rva - address);
    }
    return std::string::npos;
}

// Adds delta to a nonzero file offset at b[at] (zero means absent).
void shift(std::string &b, size_t at, int64_t delta) {
    uint32_t value = get32(b, at);
    if (value != 0)
        put32(b, at, (uint32_t)(value + delta));
}

// The image checksum: 16-bit one's-complement-style sum without the field, plus the length.
uint32_t checksum(const std::string &b, size_t field) {
    uint64_t sum = 0;
    for (size_t at = 0; at < b.size(); at += 2) {
        if (at == field || at == field + 2)
            continue;
        sum += at + 1 < b.size() ? get16(b, at) : (uint8_t)b[at];
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint32_t)(sum + b.size());
}

bool splice(const char *stub_path, const std::string &stub, const char *pe_path,
            const std::string &linked, std::string *out) {
    // 1. The stub keeps its header: it must be long enough to hold the new-header offset
    //    outside its code, and say so (a relocation table offset of 0x40 or more).
    if (stub.size() < MZ_HEADER_SIZE || stub.compare(0, 2, "MZ") != 0)
        return fail(stub_path, "not an MZ executable");
    if (get16(stub, 8) * 16 < MZ_HEADER_SIZE || get16(stub, 0x18) < MZ_HEADER_SIZE)
        return fail(stub_path, "the MZ header has no room for the new-header offset at 0x3C");
    size_t stated_size = get16(stub, 4) * 512 - (get16(stub, 2) != 0 ? 512 - get16(stub, 2) : 0);
    if (stated_size > stub.size())
        return fail(stub_path, "shorter than its MZ header says");

    // 2. Where the headers go and how far the sections' data moves.
    pe_layout p;
    if (!read_layout(pe_path, linked, &p))
        return false;
    if (get32(linked, p.directories + 8 * DIRECTORY_SECURITY + 4) != 0)
        return fail(pe_path, "signed: a new stub would break the signature");
    size_t pe = align_up(stub.size(), 8);
    size_t headers_end = pe + (p.headers_end - p.pe);
    size_t size_of_headers = align_up(headers_end, p.file_alignment);
    if (size_of_headers > p.first_section_address)
        return fail(pe_path, "the stub and headers do not fit below the first section: link "
                             "with a larger section alignment");
    int64_t delta = (int64_t)size_of_headers - (int64_t)p.size_of_headers;

    // 3. Stub, headers, then everything from the first section's data on, moved as one.
    *out = stub;
    out->resize(pe, '\0');
    out->append(linked, p.pe, p.headers_end - p.pe);
    out->resize(size_of_headers, '\0');
    out->append(linked, p.size_of_headers, std::string::npos);
    put32(*out, MZ_NEW_HEADER, (uint32_t)pe);

    // 4. Every file offset in the moved headers.
    pe_layout n = p;
    int64_t moved = (int64_t)pe - (int64_t)p.pe;
    n.pe = pe;
    n.optional += moved;
    n.directories += moved;
    n.sections += moved;
    n.headers_end = headers_end;
    put32(*out, n.optional + 60, (uint32_t)size_of_headers);
    shift(*out, n.pe + 4 + 8, delta); // COFF symbol table
    for (unsigned i = 0; i < p.section_count; ++i) {
        size_t entry = n.sections + SECTION_ENTRY_SIZE * i;
        shift(*out, entry + 20, delta); // data
        shift(*out, entry + 24, delta); // relocations
        shift(*out, entry + 28, delta); // line numbers
    }
    if (DIRECTORY_DEBUG < p.directory_count) {
        size_t directory = n.directories + 8 * DIRECTORY_DEBUG;
        uint32_t rva = get32(*out, directory), size = get32(*out, directory + 4);
        size_t at = file_offset(*out, n, rva);
        if (size != 0 && (at == std::string::npos || at + size > out->size()))
            return fail(pe_path, "debug directory outside the file");
        for (size_t entry = 0; size != 0 && entry + DEBUG_ENTRY_SIZE <= size;
             entry += DEBUG_ENTRY_SIZE)
            shift(*out, at + entry + 24, delta);
    }

    // 5. A checksum the linker wrote is made to match again.
    size_t checksum_field = n.optional + 64;
    if (get32(*out, checksum_field) != 0)
        put32(*out, checksum_field, checksum(*out, checksum_field));
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: splice-stub STUB.EXE LINKED.EXE OUT.EXE\n");
        return 2;
    }
    std::string stub, linked, out;
    if (!read_whole(argv[1], &stub) || !read_whole(argv[2], &linked) ||
        !splice(argv[1], stub, argv[2], linked, &out))
        return 1;
    if (!write_whole(argv[3], out, argv[2]))
        return 1;
    return 0;
}
