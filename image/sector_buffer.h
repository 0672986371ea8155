// The one sector buffer of a sector-mode transfer (at most 131072 bytes). It is reached only
// through these operations, so a build can keep it outside its data segment.
#ifndef IMAGE_SECTOR_BUFFER_H
#define IMAGE_SECTOR_BUFFER_H

#include <stdint.h>

const unsigned BLOCK_SIZE = 128;

// sector_buffer_allocate: obtains size bytes; false when memory is short.
bool sector_buffer_allocate(uint32_t size);

// sector_buffer_release: gives the buffer back; harmless when none is held.
void sector_buffer_release();

// sector_buffer_fill: sets every byte to 0xFF (unprogrammed flash).
void sector_buffer_fill();

// sector_buffer_store: byte `index` of the buffer takes value; index is below the size.
void sector_buffer_store(uint32_t index, unsigned char value);

// sector_buffer_block: BLOCK_SIZE bytes from offset, valid until the next call.
const unsigned char *sector_buffer_block(uint32_t offset);

#endif
