// CRC-32 vectors and the start-up self-test.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/test_console.h"
#include "transfer/crc32.h"

namespace {

uint32_t crc_of(const std::vector<unsigned char> &bytes) {
    return block_crc(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

TEST(BlockCrc, KnownVectors) {
    const unsigned char digits[] = "123456789";
    EXPECT_EQ(block_crc(digits, 0), 0x00000000u);
    EXPECT_EQ(block_crc(digits, 9), 0xCBF43926u);
    EXPECT_EQ(crc_of({'S', 'I', 'Z', 'E'}), 0xC155C9DEu);
    EXPECT_EQ(crc_of({0, 0, 0, 1}), 0x5643EF8Au); // sector 1 in a header
    EXPECT_EQ(crc_of({0, 0, 0, 2}), 0xCF4ABE30u); // sector 2
    EXPECT_EQ(crc_of(std::vector<unsigned char>(128, 0xFF)), 0x652D544Cu);
    EXPECT_EQ(crc_of(std::vector<unsigned char>(128, 0x00)), 0xC2A8FA9Du);
}

TEST(BlockCrc, WireOrderIsMostSignificantFirst) {
    unsigned char wire[4];
    put_u32_be(wire, 0xC155C9DEu);
    EXPECT_EQ(std::vector<unsigned char>(wire, wire + 4),
              std::vector<unsigned char>({0xC1, 0x55, 0xC9, 0xDE}));
}

TEST(CrcSelfTest, PassesSilentlyAndCatchesAnyAlteredEntry) {
    test_console::reset();
    EXPECT_TRUE(crc_self_test());
    EXPECT_EQ(test_console::output(), "");

    for (unsigned entry : {0u, 1u, 128u, 255u}) {
        uint32_t copy[256];
        std::memcpy(copy, CRC_TABLE, sizeof copy);
        copy[entry] ^= 0x00000100u;
        test_console::reset();
        EXPECT_FALSE(crc_table_sound(copy)) << "entry " << entry;
        EXPECT_EQ(test_console::output(), "\r\nINTERNAL ERROR IN CRC TABLE\r\n");
    }
}

} // namespace
