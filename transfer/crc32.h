// CRC-32 (ISO 3309 / V.42 / IEEE 802.3) for sector-mode frames, and its start-up self-test.
#ifndef TRANSFER_CRC32_H
#define TRANSFER_CRC32_H

#include <stdint.h>

extern const uint32_t CRC_TABLE[256];

// block_crc: CRC-32 of count bytes; 0 for none. Never fails.
uint32_t block_crc(const unsigned char *bytes, uint32_t count);

// crc_self_test: true when CRC_TABLE is sound; otherwise false after printing why.
bool crc_self_test();

// crc_table_sound: the self-test over any 256-entry table, which is both the data checked and
// the means of checking it. Prints "OUT OF MEMORY" or "INTERNAL ERROR IN CRC TABLE" on false.
bool crc_table_sound(const uint32_t *table);

// put_u32_be: stores value at dest[0..3], most significant byte first (the wire order).
void put_u32_be(unsigned char *dest, uint32_t value);

#endif
