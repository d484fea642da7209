// The CD's error detection code: a CRC-32 over each data sector, taken eight bytes a step through
// tables made when the program is built.
#include "volume/image.h"

#include "common/byteorder.h"

#include <array>

namespace {

constexpr uint32_t EDC_POLY = 0xD8018001;  // 0x8001801B with its bits reflected
constexpr int SLICES = 8;

using edc_tables = std::array<std::array<uint32_t, 256>, SLICES>;

constexpr edc_tables make_tables()
{
    edc_tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ ((c & 1) ? EDC_POLY : 0);
        t[0][i] = c;
    }
    for (int s = 1; s < SLICES; ++s)
        for (uint32_t i = 0; i < 256; ++i)
            t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

constexpr edc_tables tables = make_tables();

}  // namespace

uint32_t cd_edc(uint32_t crc, const uint8_t* p, size_t n)
{
    // A sector's 2,064 or 2,056 bytes are 258 or 257 steps of eight: the byte loop only starts
    // and ends them.
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t a = load_le32(p) ^ crc;
        uint32_t b = load_le32(p + 4);
        crc = tables[7][a & 0xFF] ^ tables[6][(a >> 8) & 0xFF] ^ tables[5][(a >> 16) & 0xFF] ^ tables[4][a >> 24] ^
              tables[3][b & 0xFF] ^ tables[2][(b >> 8) & 0xFF] ^ tables[1][(b >> 16) & 0xFF] ^ tables[0][b >> 24];
    }
    for (; n > 0; --n, ++p)
        crc = (crc >> 8) ^ tables[0][(crc ^ *p) & 0xFF];
    return crc;
}
