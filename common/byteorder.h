// Field loads for on-disk records, big-endian (SGI's) and little-endian (a CD sector's EDC);
// nothing depends on host byte order or packing.
#pragma once
#include <cstdint>

inline uint16_t load_be16(const uint8_t* p)
{
    return static_cast<uint16_t>((static_cast<uint16_t>(p[0]) << 8) | p[1]);
}

inline uint32_t load_be32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline int16_t load_be16s(const uint8_t* p) { return static_cast<int16_t>(load_be16(p)); }
inline int32_t load_be32s(const uint8_t* p) { return static_cast<int32_t>(load_be32(p)); }

inline uint64_t load_be64(const uint8_t* p)
{
    return (static_cast<uint64_t>(load_be32(p)) << 32) | load_be32(p + 4);
}

inline uint32_t load_le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
