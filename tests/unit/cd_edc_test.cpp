// The CD's EDC, both ways it is taken, against the CRC bit by bit, and a sector of a real dump.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "volume/image.h"

namespace {

uint32_t bitwise(uint32_t crc, const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xD8018001u : 0);
    }
    return crc;
}

TEST(CdEdc, EveryLengthAndAlignmentAndContinuation)
{
    std::mt19937 rng(27);
    std::vector<uint8_t> bytes(2 * 2352 + 64);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(rng());
    // Lengths around each step (16, 64, 128 bytes) and a sector's 2,064 and 2,056, at odd starts.
    for (size_t n : {0, 1, 15, 16, 17, 63, 64, 127, 128, 129, 200, 2056, 2064, 4700})
        for (size_t at : {0, 1, 7}) {
            SCOPED_TRACE(testing::Message() << n << " bytes at " << at);
            uint32_t want = bitwise(0, bytes.data() + at, n);
            EXPECT_EQ(cd_edc(0, bytes.data() + at, n), want);
            EXPECT_EQ(cd_edc_by_tables(0, bytes.data() + at, n), want);
            EXPECT_EQ(cd_edc(cd_edc(0, bytes.data() + at, n / 3), bytes.data() + at + n / 3, n - n / 3), want);
            EXPECT_EQ(cd_edc(0x12345678, bytes.data() + at, n), bitwise(0x12345678, bytes.data() + at, n));
        }
}

}  // namespace
