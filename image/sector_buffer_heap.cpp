#include "sector_buffer.h"

#include <stdlib.h>
#include <string.h>

namespace {
unsigned char *sector_buffer = NULL;
uint32_t sector_buffer_size = 0;
} // namespace

bool sector_buffer_allocate(uint32_t size) {
    sector_buffer_release();
    sector_buffer = (unsigned char *)malloc(size);
    if (sector_buffer == NULL)
        return false;
    sector_buffer_size = size;
    return true;
}

void sector_buffer_release() {
    free(sector_buffer);
    sector_buffer = NULL;
    sector_buffer_size = 0;
}

void sector_buffer_fill() {
    if (sector_buffer != NULL)
        memset(sector_buffer, 0xFF, sector_buffer_size);
}

void sector_buffer_store(uint32_t index, unsigned char value) {
    // A window larger than the buffer must not write past its end.
    if (index < sector_buffer_size)
        sector_buffer[index] = value;
}

const unsigned char *sector_buffer_block(uint32_t offset) {
    return sector_buffer + offset;
}
