// The CD's error detection code: a CRC-32 over each data sector, taken sixteen bytes a step through
// tables made when the program is built (16 KiB: they stay in the processor's first cache).
#include "volume/image.h"

#include "common/byteorder.h"

#include <array>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define EFSH_EDC_FOLDED 1
#endif

namespace {

constexpr uint32_t EDC_POLY = 0xD8018001;  // 0x8001801B with its bits reflected
constexpr int SLICES = 16;

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

#ifdef EFSH_EDC_FOLDED
// Sixteen bytes a step by carry-less multiplication, where the processor has it (x86-64 since
// 2010): the CRC then costs a small part of the copy instead of half of it. Four lanes of 16 bytes
// are folded at once (one lane alone waits on each multiplication in turn), then into one. The
// constants are x^(512+32), x^(512-32), x^(128+32), x^(128-32) and x^64 modulo the polynomial,
// x^64 divided by it, and the polynomial itself, all bit-reflected (the CRC takes each byte's
// lowest bit first).
constexpr long long FOLD_512_PLUS_32 = 0x1F8931102, FOLD_512_MINUS_32 = 0x12E7928A2;
constexpr long long FOLD_128_PLUS_32 = 0x06C90C100, FOLD_128_MINUS_32 = 0x1D5934102, FOLD_64 = 0x1F1030002;
constexpr long long QUOTIENT_64 = 0x17000FFFF, POLY = 0x1B0030003;

// x times x^k modulo the polynomial (the k of the constants), plus y.
__attribute__((target("pclmul"))) inline __m128i fold_in(__m128i x, __m128i k, __m128i y)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), y);
}

// The CRC continued over n bytes, n a nonzero multiple of 16.
__attribute__((target("pclmul"))) uint32_t edc_folded(uint32_t crc, const uint8_t* p, size_t n)
{
    auto load = [p](size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)); };
    const __m128i fold = _mm_set_epi64x(FOLD_128_MINUS_32, FOLD_128_PLUS_32);
    __m128i x = _mm_xor_si128(load(0), _mm_cvtsi32_si128(static_cast<int>(crc)));
    size_t i = 16;
    if (n >= 128) {
        const __m128i fold4 = _mm_set_epi64x(FOLD_512_MINUS_32, FOLD_512_PLUS_32);
        __m128i x1 = load(16), x2 = load(32), x3 = load(48);
        for (i = 64; i + 64 <= n; i += 64) {
            x = fold_in(x, fold4, load(i));
            x1 = fold_in(x1, fold4, load(i + 16));
            x2 = fold_in(x2, fold4, load(i + 32));
            x3 = fold_in(x3, fold4, load(i + 48));
        }
        x = fold_in(fold_in(fold_in(x, fold, x1), fold, x2), fold, x3);
    }
    for (; i < n; i += 16)
        x = fold_in(x, fold, load(i));
    // 128 bits to 64, 64 to 32, then the remainder by Barrett's reduction.
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, fold, 0x10), _mm_srli_si128(x, 8));
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), _mm_set_epi64x(0, FOLD_64), 0x00), _mm_srli_si128(x, 4));
    const __m128i barrett = _mm_set_epi64x(QUOTIENT_64, POLY);
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10);
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(q, low32), barrett, 0x00), x);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x, 4)));
}

const bool folds = __builtin_cpu_supports("pclmul");
#endif

}  // namespace

uint32_t cd_edc_by_tables(uint32_t crc, const uint8_t* p, size_t n)
{
    // A sector's 2,064 or 2,056 bytes are 129 steps of sixteen and a half: the byte loop only ends
    // them. Eight bytes a step took a 200 MB copy out of raw sectors to 2.5 times cat's time.
    for (; n >= 16; n -= 16, p += 16) {
        uint32_t a = load_le32(p) ^ crc, b = load_le32(p + 4), c = load_le32(p + 8), d = load_le32(p + 12);
        crc = tables[15][a & 0xFF] ^ tables[14][(a >> 8) & 0xFF] ^ tables[13][(a >> 16) & 0xFF] ^ tables[12][a >> 24] ^
              tables[11][b & 0xFF] ^ tables[10][(b >> 8) & 0xFF] ^ tables[9][(b >> 16) & 0xFF] ^ tables[8][b >> 24] ^
              tables[7][c & 0xFF] ^ tables[6][(c >> 8) & 0xFF] ^ tables[5][(c >> 16) & 0xFF] ^ tables[4][c >> 24] ^
              tables[3][d & 0xFF] ^ tables[2][(d >> 8) & 0xFF] ^ tables[1][(d >> 16) & 0xFF] ^ tables[0][d >> 24];
    }
    for (; n > 0; --n, ++p)
        crc = (crc >> 8) ^ tables[0][(crc ^ *p) & 0xFF];
    return crc;
}

uint32_t cd_edc(uint32_t crc, const uint8_t* p, size_t n)
{
#ifdef EFSH_EDC_FOLDED
    if (folds && n >= 16) {
        size_t whole = n & ~size_t{15};
        crc = edc_folded(crc, p, whole);
        p += whole;
        n -= whole;
    }
#endif
    return cd_edc_by_tables(crc, p, n);
}
