// EFS reader: mount and superblock, inodes and extents, directory search, path lookup, current directory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/stat.h>

// The host's <sys/stat.h> defines st_atime, st_mtime and st_ctime as macros for its own record;
// they would rename the fields of fs_statbuf. Host code reads st_atim and friends instead.
#undef st_atime
#undef st_mtime
#undef st_ctime

struct disk;
struct host_file;
struct volume_header;
struct fs_file;

constexpr int32_t SB_MAGIC = 0x072959;
constexpr int MOUNT_SLOTS = 16;
constexpr uint32_t ROOT_INODE = 2;
constexpr int PATH_BUF = 1024;            // path buffers hold 1023 characters and a NUL
constexpr int LOOKUP_BLOCKS = 256;        // lookup buffer: one whole directory extent
constexpr int DIRECT_EXTENTS = 12;
constexpr int EXTENTS_PER_BLOCK = 64;
constexpr uint16_t S_TYPE_MASK = 0xF000;
constexpr uint16_t S_TYPE_DIR = 0x4000;
constexpr uint16_t S_TYPE_REG = 0x8000;
constexpr uint16_t S_TYPE_LNK = 0xA000;
constexpr uint16_t S_TYPE_CHR = 0x2000;
constexpr uint16_t S_TYPE_BLK = 0x6000;
constexpr uint16_t S_TYPE_FIFO = 0x1000;
constexpr uint16_t S_TYPE_SOCK = 0xC000;
constexpr uint16_t DB_MAGIC = 0xBEEF;

// The superblock in host order (bytes 0 to 91 of the partition's block 1).
struct superblock {
    int32_t sb_size;
    int32_t sb_first_cg;
    int32_t sb_cg_size;
    int16_t sb_cg_inode_blocks;
    int16_t sb_sectors;
    int16_t sb_heads;
    int16_t sb_cg_count;
    int16_t sb_dirty;
    int32_t sb_time;
    int32_t sb_magic;
    char sb_name[6];
    char sb_pack[6];
    int32_t sb_bitmap_size;
    int32_t sb_free_blocks;
    int32_t sb_free_inodes;
    int32_t sb_bitmap_block;
    int32_t sb_replica_block;
    int32_t sb_last_inode;
    int32_t sb_checksum;
};

struct fs {
    host_file* handle;  // shared with the disk; null when the slot is free
    const volume_header* header;
    int partition;
    struct superblock* superblock;  // owned
    char* cwd_path;                 // owned, PATH_BUF bytes
    int32_t cwd_inode;
    // The inode block read last and where it lies (-1: none): a directory walk asks for each
    // entry's inode twice (its type, then its stream) and finds its neighbours in the same block.
    int64_t inode_block_at;
    uint8_t inode_block[512];
    // Blocks the file system can hold: sb_size, cut to the partition and to what the image holds
    // from the partition's start. Every walk that trusts sb_size for a bound takes this instead.
    int64_t block_bound;
};

// The smaller of sb_size, the partition's block count and the blocks the image holds from the
// partition's start (found by reading), for fs::block_bound.
int64_t fs_size_bound(const fs* f);

extern fs mount_table[MOUNT_SLOTS];

fs* fs_mount(disk* d, int partition, int flags);
int fs_umount(fs* f);
fs* fs_current();

// Checksum over the 44 big-endian 16-bit words of bytes 0 to 87, as read.
uint32_t superblock_checksum(const uint8_t* raw);
// Decodes bytes 0 to 91 as read into sb; true when magic, checksum and counts are plausible.
bool superblock_check(const uint8_t* raw, superblock* sb);

// One extent in decoded form.
struct extent {
    uint8_t ex_magic;
    uint32_t ex_block;   // 24 bits, partition-relative
    uint8_t ex_length;   // blocks
    uint32_t ex_offset;  // 24 bits, logical block in the file (count of indirect extents in slot 0 of an indirect inode)
};

void decode_extent(const uint8_t* raw, extent* ex);

// A 128-byte on-disk inode in decoded form.
struct disk_inode {
    uint16_t di_mode;
    int16_t di_nlink;
    uint16_t di_uid;
    uint16_t di_gid;
    int32_t di_size;
    int32_t di_atime;
    int32_t di_mtime;
    int32_t di_ctime;
    uint32_t di_generation;
    int16_t di_extent_count;
    uint8_t di_spare[2];
    extent di_extents[DIRECT_EXTENTS];
    uint8_t di_u_head[8];  // the first bytes of the extent area as read: a device keeps its number there
};

struct fs_statbuf {
    uint16_t st_ino;
    uint16_t st_mode;
    int16_t st_nlink;
    int16_t st_uid;
    int16_t st_gid;
    int32_t st_size;
    int32_t st_atime;
    int32_t st_mtime;
    int32_t st_ctime;
    uint32_t st_major;  // character and block devices: the device's number; 0 for other kinds
    uint32_t st_minor;
};

// Byte position of the first block of a partition-relative block number; false when it cannot be represented.
bool fs_block_offset(const fs* f, int64_t block, int64_t* offset);

// Reads inode n through the 512-byte block buffer and decodes it into *ip.
// 0 on success; 1 seek error; 2 read error; else the number of bad extent magics.
int fs_iread(fs* f, uint32_t n, uint8_t* block, disk_inode* ip);
// Decodes 128 raw bytes into *ip; returns the number of in-use extents with a non-zero magic.
int fs_iswap(const uint8_t* raw, disk_inode* ip);
int fs_istat(uint32_t n, fs_statbuf* st);
// Whether inode n is a directory: false with fs_errno set (FS_ENOTDIR, or why it cannot be read).
bool fs_is_dir_inode(uint32_t n);
// A device's number from the first 8 bytes of its extent area: a 16-bit number at byte 0 (major in
// the high byte, minor in the low one), or, where that reads 0xFFFF, the 32-bit number at byte 4
// (major in the top 14 bits, minor in the low 18).
void fs_device_number(const uint8_t* u, uint32_t* major, uint32_t* minor);
// The stat record of inode n from its decoded inode.
void fs_stat_of(const disk_inode& ino, uint32_t n, fs_statbuf* st);
// Reads one extent whole into dst (capacity cap bytes). Bytes read, or -1 with fs_errno set.
int32_t fs_read_extent(fs* f, const extent* ex, uint8_t* dst, size_t cap);
// Loads block ind_block of indirect extent ext_index of the stream's inode into ind_buf; nonzero on success.
int fs_read_indirect(fs_file* s);
// Reads and decodes 64 extents of one indirect block at a partition-relative block number.
int fs_read_extent_block(fs* f, int64_t block, extent* out);

// Number of indirect extents of an inode with more than 12 extents, or -1 when it is impossible.
int fs_indirect_count(const disk_inode* ip);

uint32_t fs_namei(const char* path);
// An image file as a command names it: "<N>" (a decimal number in angle brackets, nothing else in
// the word) is inode N, whether or not a directory names it; any other word is a path, so that
// "./<12>" reaches an entry of that name. 0 with fs_errno FS_ENOENT when N lies outside the file
// system or its inode holds no file type (or the lookup's code).
uint32_t fs_word_inode(const char* word);
// Whether a word is of the form "<N>".
bool fs_is_inode_word(const char* word);
// Inode numbers of the file system: every one below this lies in its inode tables.
uint32_t fs_inode_count(const fs* f);
// Whether a mode holds one of the file types (directory, file, link, devices, pipe, socket).
bool fs_is_file_type(uint16_t mode);
// Looks up one name in directory inode dir, for callers that hold inode numbers rather than paths.
// 0 with *ino set; -1 with fs_errno FS_ENOENT when every block of the directory, to its size, was
// read and none names it, FS_ENOTDIR, or the code of what was damaged on the way.
int fs_ilookup(uint32_t dir, const char* name, uint32_t* ino);
int fs_dir_search(uint8_t* buf, size_t nbytes, const char* name, uint32_t* ino);
int fs_stat(const char* path, fs_statbuf* st);
int fs_chdir(const char* path);
// Enters directory inode n, an entry of the current directory named `name` (one component), as
// fs_chdir(name) would but without looking the name up: a walk that listed the entry has its
// inode, and a lookup by name can miss what a salvaging listing gives. Same failures as fs_chdir.
int fs_ichdir(uint32_t n, const char* name);
// Makes the current directory again one that fs_getcwd and cwd_inode gave, without a lookup.
void fs_setcwd(const char* path, uint32_t n);
char* fs_getcwd(char* buf);

void print_superblock(FILE* out, const superblock* sb);
// The -d line after the superblock when sb_size is more than the partition or the image holds:
// the blocks that bound every walk instead. Nothing when sb_size is the bound.
void print_size_bound(FILE* out, const fs* f);
