// Test-support image builder: writes whole SGI disk images with EFS partitions, with switches for damage.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace imgb {

enum class Kind { dir, file, symlink, chardev, blockdev, fifo, socket };

// What to break in one node's inode, extents or directory blocks.
struct NodeDamage {
    int bad_extent_magic_slot = -1;            // di_extents[slot].ex_magic = 0x5A (slot may be unused)
    std::optional<int16_t> raw_extent_count{};   // di_extent_count as written, whatever the layout
    std::optional<uint32_t> raw_indirect_count{};  // ex_offset of di_extents[0] of an indirect inode
    std::optional<int32_t> raw_size{};           // di_size as written
    std::vector<int> bad_dir_magic_blocks{};     // logical directory block indexes written with magic 0xDEAD
    bool entry_past_end = false;               // adds a directory entry whose name runs past its block
    int break_invariant_at = -1;               // extent k (logical order) gets ex_offset + 1
    int long_extent_at = -1;                   // extent k gets ex_length 255 (the blocks are allocated)
    int extent_past_image_at = -1;             // extent k points past the end of the image
    int slot_count_255_block = -1;             // directory block k gets db_slot_count 255 (junk slots)
};

struct Node {
    Kind kind = Kind::file;
    std::string name;                  // raw entry name in the parent (may be crafted: "", "a/b", "..")
    uint16_t perm = 0644;              // permission bits, 07777
    std::optional<uint16_t> mode;      // whole di_mode, overriding kind and perm
    int16_t nlink = 0;                 // 0: 1 for non-directories, 2 + subdirectories for directories
    uint16_t uid = 0, gid = 0;
    int32_t atime = 0, mtime = 0, ctime = 0;
    std::string data;                  // file bytes; symlink target
    uint32_t rdev = 0;                 // devices: the 16-bit number (major << 8 | minor) at byte 0 of di_u,
    bool rdev_wide = false;            // or, set, the 32-bit one (major << 18 | minor) at byte 4 after 0xFFFF
    std::vector<Node> children;        // directories
    uint32_t inode = 0;                // force this inode number (0: allocate)
    uint32_t link_to = 0;              // entry only: names this existing inode number (hard link, cycle); no inode written
    bool unnamed = false;              // its inode is written but no entry in the parent names it (an orphan)

    // Layout of the data (files, symlinks and directories).
    int extent_blocks = 0;             // most blocks per extent (0: 248 for files, 1 for directories)
    int extents = 0;                   // exactly this many extents (blocks padded past the size if needed)
    std::vector<int> zero_length_at;   // zero-length extents inserted before these logical extent indexes
    int indirect_extent_blocks = 0;    // blocks per indirect extent (0: as few extents as possible)
    bool extent_gaps = true;           // a block of 0xEE between data extents, which a reader running past an
                                       // extent's end would deliver (false: back to back, as a file written in one go)
    int dir_entries_per_block = 0;     // directories: at most this many entries per block (0: as many as fit)
    NodeDamage damage;

    // Data sources other than `data`, streamed while the image is written (files and symlinks).
    uint64_t pattern_size = 0;         // when data is empty: pattern(pattern_size, pattern_seed)
    uint32_t pattern_seed = 1;
    std::string host_file;             // when set: the bytes of this host file
};

struct FsDamage {
    bool bad_magic = false;
    bool bad_checksum = false;
    bool zero_free_blocks = false;     // a full file system
    bool zero_free_inodes = false;
    bool negative_free_blocks = false; // -1
    bool negative_free_inodes = false;
};

struct Fs {
    Node root = [] {                   // inode 2; a directory 0755 (set field by field: partial
        Node n;                        // brace initialisation of Node trips -Wmissing-field-initializers)
        n.kind = Kind::dir;
        n.perm = 0755;
        return n;
    }();
    int16_t cg_inode_blocks = 0;       // 0: chosen to fit every inode
    int32_t cg_size = 0;               // 0: chosen
    int16_t cg_count = 0;              // 0: chosen
    int32_t first_cg = 0;              // 0: chosen
    std::string name = "efsh";         // sb_name, up to 6 bytes
    std::string pack = "test";         // sb_pack, up to 6 bytes
    int32_t time = 0;
    int16_t dirty = 0;
    int16_t sectors = 32, heads = 8;
    FsDamage damage;
};

struct Partition {
    int index = 7;                     // 0..15
    int32_t type = 7;
    int32_t first_block = 0;           // 0: placed after the previous partition (block 0 is the header)
    int32_t block_count = 0;           // 0: as large as the file system it holds
    std::optional<Fs> fs;              // none: an entry only, nothing written
};

struct VolDirEntry {
    std::string name;
    int32_t block_number = 0;
    int32_t byte_count = 0;
};

struct DiskDamage {
    bool bad_magic = false;
    bool bad_checksum = false;
    int64_t truncate_to = -1;          // cut the image to this many bytes
};

struct Disk {
    uint16_t cylinders = 1024, tracks_per_cyl = 8, sectors_per_track = 64, sector_length = 512;
    uint32_t controller_flags = 0;
    std::string boot_file = "/unix";
    int16_t root_partition = 0, swap_partition = 1;
    std::vector<VolDirEntry> volume_directory;
    std::vector<Partition> partitions;
    int32_t fill = 0;
    DiskDamage damage;
};

struct ExtentInfo {
    uint32_t block, length, offset;    // as written, partition-relative
};

struct NodeInfo {
    uint32_t inode = 0;
    int64_t inode_offset = 0;          // byte position of the inode in the image
    std::vector<ExtentInfo> extents;   // data extents in logical order
    std::vector<ExtentInfo> indirect;  // indirect extents, when more than 12
};

struct Result {
    bool ok = false;
    std::string error;
    uint64_t image_size = 0;
    // Keyed by partition index and path, e.g. "7:/", "7:/usr/lib/libc.a".
    std::map<std::string, NodeInfo> nodes;
};

// Writes the image to path (sparse: untouched stretches are holes).
Result write_image(const Disk& d, const std::string& path);

// Convenience constructors.
Node file(const std::string& name, const std::string& data, uint16_t perm = 0644);
Node dir(const std::string& name, std::vector<Node> children, uint16_t perm = 0755);
Node symlink(const std::string& name, const std::string& target);
Node device(Kind kind, const std::string& name, uint32_t rdev, uint16_t perm = 0600);
// A disk with one EFS partition (index 7) holding root's children.
Disk simple_disk(std::vector<Node> children);

// Deterministic test bytes: n bytes of a pattern keyed by seed.
std::string pattern(size_t n, uint32_t seed = 1);

// Fills dst with bytes [offset, offset + len) of pattern(..., seed), without building the rest.
void pattern_fill(uint8_t* dst, uint64_t offset, size_t len, uint32_t seed);

// Checksum of the first 88 bytes of a superblock as the file system stores it.
uint32_t superblock_checksum(const uint8_t* bytes);

// A data track of raw CD sectors holding a plain image as its user data, 2,048 bytes a sector.
struct CdSectors {
    int mode = 1;              // 1, or 2 (form 1)
    int sector_bytes = 2352;   // or 2448: 96 bytes of (zero) subchannel after each sector
    bool edc = true;           // false: the EDC fields left zero, as some dumping programs leave them
};
// Sector lba of such a track, holding 2,048 bytes of data, into out (how.sector_bytes bytes).
void cd_sector(const CdSectors& how, int64_t lba, const uint8_t* data, uint8_t* out);
// Writes the image at plain again as such a track at raw; a last piece short of 2,048 bytes is
// padded with zeros.
bool write_cd_sectors(const std::string& plain, const std::string& raw, const CdSectors& how);
// Overwrites bytes of an existing image file.
bool patch(const std::string& path, int64_t offset, const std::vector<uint8_t>& bytes);

}  // namespace imgb
