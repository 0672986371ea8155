// CRC-32 (ISO 3309 / V.42 / IEEE 802.3) for sector-mode frames, and its start-up self-test.
#ifndef TRANSFER_CRC32_H
#define TRANSFER_CRC32_H

#include <stdint.h>

// block_crc: CRC-32 of count bytes; 0 for none. Never fails.
uint32_t block_crc(const unsigned char *bytes, uint32_t count);

// crc_self_test: true when the CRC table is sound; otherwise false after printing why ("OUT OF
// MEMORY" or "INTERNAL ERROR IN CRC TABLE").
bool crc_self_test();

// put_u32_be: stores value at dest[0..3], most significant byte first (the wire order).
void put_u32_be(unsigned char *dest, uint32_t value);

#endif
