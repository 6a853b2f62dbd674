#include <gtest/gtest.h>

#include "packer/pe/pe_checksum.h"

using tavrik::pe_checksum;

// Values worked out by hand: 16-bit little-endian words summed with the
// carry folded back in, the checksum field skipped, the length added.
TEST(PeChecksum, HandComputedValues) {
    EXPECT_EQ(pe_checksum({0x01, 0x00, 0x02, 0x00, 0xAA, 0xBB, 0xCC, 0xDD}, 4), 3u + 8u);
    EXPECT_EQ(pe_checksum({0xAA, 0xBB, 0xCC, 0xDD, 0x01, 0x00, 0x02, 0x00}, 0), 3u + 8u);
    // 0xFFFF + 0x0002 folds to 0x0002.
    EXPECT_EQ(pe_checksum({0xFF, 0xFF, 0x02, 0x00, 0x12, 0x34, 0x56, 0x78}, 4), 2u + 8u);
    // An odd last byte counts as a word with a zero high byte.
    EXPECT_EQ(pe_checksum({0x01, 0x00, 0x05}, 100), 6u + 3u);
    EXPECT_EQ(pe_checksum({0x34, 0x12, 0x00, 0x00, 0x00, 0x00}, 2), 0x1234u + 6u);
}
