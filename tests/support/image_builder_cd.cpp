// The image builder's CD sectors: a plain image written again as the raw sectors of a data track,
// the way disc-dumping programs write a CD (sync, header, user data, EDC; the ECC left zero).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "tests/support/image_builder.h"

namespace imgb {

namespace {

// The CD's EDC bit by bit, as the standard defines it: no tables, nothing shared with efsh.
uint32_t edc(const uint8_t* p, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xD8018001u : 0);
    }
    return crc;
}

uint8_t bcd(int v)
{
    return static_cast<uint8_t>((v / 10) << 4 | (v % 10));
}

}  // namespace

void cd_sector(const CdSectors& how, int64_t lba, const uint8_t* data, uint8_t* out)
{
    std::memset(out, 0, static_cast<size_t>(how.sector_bytes));
    out[0] = 0;
    std::memset(out + 1, 0xFF, 10);
    int64_t a = lba + 150;  // the first sector of a disc's program area is 00:02:00
    out[12] = bcd(static_cast<int>(a / 75 / 60 % 100));
    out[13] = bcd(static_cast<int>(a / 75 % 60));
    out[14] = bcd(static_cast<int>(a % 75));
    out[15] = static_cast<uint8_t>(how.mode);
    int data_at = how.mode == 2 ? 24 : 16, edc_from = how.mode == 2 ? 16 : 0, edc_at = data_at + 2048;
    if (how.mode == 2) {
        out[18] = out[22] = 0x08;  // submode: data, form 1
    }
    std::memcpy(out + data_at, data, 2048);
    uint32_t e = how.edc ? edc(out + edc_from, static_cast<size_t>(edc_at - edc_from)) : 0;
    for (int i = 0; i < 4; ++i)
        out[edc_at + i] = static_cast<uint8_t>(e >> (8 * i));
}

bool write_cd_sectors(const std::string& plain, const std::string& raw, const CdSectors& how)
{
    std::ifstream in(plain, std::ios::binary);
    std::ofstream out(raw, std::ios::binary | std::ios::trunc);
    if (!in || !out)
        return false;
    std::vector<uint8_t> data(2048), sector(static_cast<size_t>(how.sector_bytes));
    for (int64_t lba = 0;; ++lba) {
        std::fill(data.begin(), data.end(), 0);
        in.read(reinterpret_cast<char*>(data.data()), 2048);
        if (in.gcount() == 0)
            break;
        cd_sector(how, lba, data.data(), sector.data());
        out.write(reinterpret_cast<const char*>(sector.data()), how.sector_bytes);
        if (in.gcount() < 2048)
            break;
    }
    return static_cast<bool>(out);
}

}  // namespace imgb
