// The sector buffer of the DOS build: up to 131072 bytes, more than a segment, so it lives in
// memory allocated from DOS and is reached by segment arithmetic through ES and FS.
#include "image/sector_buffer.h"

#include "dos.h"

namespace {

const uint32_t FILL_PIECE_SIZE = 16384;

uint16_t buffer_segment = 0; // 0: none held
uint32_t buffer_size = 0;
unsigned char block[BLOCK_SIZE];

} // namespace

bool sector_buffer_allocate(uint32_t size) {
    sector_buffer_release();
    uint32_t paragraphs = (size + 15) / 16;
    if (size == 0 || paragraphs > 0xFFFF)
        return false;
    dos_regs regs;
    dos_regs_init(&regs, DOS_ALLOCATE);
    regs.ebx = paragraphs;
    dos_call(DOS_INTERRUPT, &regs);
    if (regs.flags & DOS_CARRY)
        return false;
    buffer_segment = (uint16_t)regs.eax;
    buffer_size = size;
    return true;
}

void sector_buffer_release() {
    if (buffer_segment == 0)
        return;
    dos_regs regs;
    dos_regs_init(&regs, DOS_FREE);
    regs.es = buffer_segment;
    dos_call(DOS_INTERRUPT, &regs);
    buffer_segment = 0;
    buffer_size = 0;
}

void sector_buffer_fill() {
    if (buffer_segment == 0)
        return;
    for (uint32_t start = 0; start < buffer_size; start += FILL_PIECE_SIZE) {
        uint32_t count =
            buffer_size - start < FILL_PIECE_SIZE ? buffer_size - start : FILL_PIECE_SIZE;
        uint16_t segment = (uint16_t)(buffer_segment + (start >> 4));
        uint32_t offset = 0;
        __asm__ volatile("pushw %%es\n\t"
                         "mov %w[segment], %%es\n\t"
                         "rep stosb\n\t"
                         "popw %%es"
                         : "+D"(offset), "+c"(count)
                         : [segment] "r"(segment), "a"(0xFF)
                         : "memory");
    }
}

void sector_buffer_store(uint32_t index, unsigned char value) {
    // A window larger than the buffer must not write past its end.
    if (index < buffer_size)
        dos_far_write8((uint16_t)(buffer_segment + (index >> 4)), (uint16_t)(index & 0xF), value);
}

const unsigned char *sector_buffer_block(uint32_t offset) {
    uint16_t segment = (uint16_t)(buffer_segment + (offset >> 4));
    uint16_t start = (uint16_t)(offset & 0xF);
    for (unsigned i = 0; i < BLOCK_SIZE; ++i)
        block[i] = dos_far_read8(segment, (uint16_t)(start + i));
    return block;
}
