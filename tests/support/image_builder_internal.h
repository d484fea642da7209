// Pieces shared by the image builder's sources: byte stores, the output file and directory packing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/image_builder.h"

namespace imgb::detail {

constexpr int64_t kBlock = 512;

inline void store_be16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void store_be32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t read_be32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// One 8-byte extent: magic, 24-bit block, 8-bit length, 24-bit logical offset.
inline void store_extent(uint8_t* p, uint32_t block, uint32_t length, uint32_t offset, uint8_t magic = 0)
{
    store_be32(p, (static_cast<uint32_t>(magic) << 24) | (block & 0xFFFFFF));
    store_be32(p + 4, ((length & 0xFF) << 24) | (offset & 0xFFFFFF));
}

// Copies text into a fixed NUL-padded field (no terminator when it fills the field).
inline void store_chars(uint8_t* p, size_t n, const std::string& s)
{
    for (size_t i = 0; i < n; ++i) p[i] = i < s.size() ? static_cast<uint8_t>(s[i]) : 0;
}

// The image file being written; remembers the first failure.
struct Out {
    int fd = -1;
    std::string error;
    bool write(int64_t offset, const void* data, size_t len);
};

struct DirEntry {
    uint32_t inode;
    std::string name;
};

// Packs entries into 512-byte directory blocks, in order, at most per_block (0: no limit) per block.
// Fails (returns false) when an entry cannot fit a block.
bool pack_dir(const std::vector<DirEntry>& entries, int per_block, std::vector<std::string>& blocks,
              std::string& error);

// An empty directory block: magic and no slots.
std::string empty_dir_block();

// A directory block whose single entry has a name running past the end of the block.
std::string past_end_dir_block(uint32_t inode);

// Geometry and writing of one file system, placed at first_block (blocks) of the image.
struct FsWriter;

class FsBuild {
public:
    FsBuild(const Fs& fs, int part_index);
    ~FsBuild();
    FsBuild(const FsBuild&) = delete;
    FsBuild& operator=(const FsBuild&) = delete;
    // Assigns inodes, lays out data and chooses the geometry; false with error set on failure.
    bool plan(std::string& error);
    int64_t size_blocks() const;
    // Writes everything at first_block; fills result nodes.
    bool write(Out& out, int64_t first_block, Result& result);

private:
    FsWriter* w_;
};

}  // namespace imgb::detail
