// Mounting a partition: the mount table, the current file system and the superblock check.
#include <cstring>
#include <memory>
#include <new>

#include "common/byteorder.h"
#include "efs/efs_io.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "volume/volume.h"

fs mount_table[MOUNT_SLOTS];

namespace {
fs* current_fs = nullptr;
}

uint32_t superblock_checksum(const uint8_t* raw)
{
    uint32_t c = 0;
    for (int i = 0; i < 44; ++i) {
        c ^= load_be16(raw + 2 * i);
        c = (c << 1) | (c >> 31);
    }
    return c;
}

bool superblock_check(const uint8_t* raw, superblock* sb)
{
    uint32_t sum = superblock_checksum(raw);
    sb->sb_size = load_be32s(raw + 0);
    sb->sb_first_cg = load_be32s(raw + 4);
    sb->sb_cg_size = load_be32s(raw + 8);
    sb->sb_cg_inode_blocks = load_be16s(raw + 12);
    sb->sb_sectors = load_be16s(raw + 14);
    sb->sb_heads = load_be16s(raw + 16);
    sb->sb_cg_count = load_be16s(raw + 18);
    sb->sb_dirty = load_be16s(raw + 20);
    sb->sb_time = load_be32s(raw + 24);
    sb->sb_magic = load_be32s(raw + 28);
    std::memcpy(sb->sb_name, raw + 32, sizeof sb->sb_name);
    std::memcpy(sb->sb_pack, raw + 38, sizeof sb->sb_pack);
    sb->sb_bitmap_size = load_be32s(raw + 44);
    sb->sb_free_blocks = load_be32s(raw + 48);
    sb->sb_free_inodes = load_be32s(raw + 52);
    sb->sb_bitmap_block = load_be32s(raw + 56);
    sb->sb_replica_block = load_be32s(raw + 60);
    sb->sb_last_inode = load_be32s(raw + 64);
    sb->sb_checksum = load_be32s(raw + 88);
    // A full file system (no free blocks or inodes left) is perfectly valid to read; only a negative count is nonsense.
    return sb->sb_magic == SB_MAGIC && static_cast<uint32_t>(sb->sb_checksum) == sum && sb->sb_size > 0 &&
           sb->sb_cg_count > 0 && sb->sb_first_cg > 0 && sb->sb_cg_size > 0 && sb->sb_cg_inode_blocks > 0 &&
           sb->sb_free_blocks >= 0 && sb->sb_free_inodes >= 0;
}

bool fs_block_offset(const fs* f, int64_t block, int64_t* offset)
{
    int64_t first = f->header->partition_table[f->partition].first_block;
    int64_t abs = 0;
    if (__builtin_add_overflow(first, block, &abs) || abs < 0 || __builtin_mul_overflow(abs, int64_t{512}, offset))
        return false;
    return true;
}

namespace {

// Whether block b of the partition lies whole in the image: its last byte can be read.
bool block_readable(const fs* f, int64_t b)
{
    int64_t at = 0;
    uint8_t byte;
    return fs_block_offset(f, b, &at) && host_read_at(f->handle, at + 511, &byte, 1) == 0;
}

}  // namespace

int64_t fs_size_bound(const fs* f)
{
    int64_t bound = f->superblock->sb_size;
    int64_t part = static_cast<uint32_t>(f->header->partition_table[f->partition].block_count);
    // A header of the image's own (no volume header) claims no size for its one partition.
    if (part > 0 && part < bound)
        bound = part;
    // A device or file need not tell its size: the end is found by reading, some 30 reads.
    if (bound <= 0 || block_readable(f, bound - 1))
        return bound;
    int64_t lo = 0, hi = bound - 1;  // block lo - 1 is readable (or lo is 0), block hi is not
    while (lo < hi) {
        int64_t mid = lo + (hi - lo) / 2;
        if (block_readable(f, mid))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

fs* fs_mount(disk* d, int partition, int flags)
{
    // An image of one partition has no other.
    if (partition < 0 || partition >= VH_PARTITIONS || (d->one_partition && partition != 0)) {
        fs_errno = FS_EBADPART;
        return nullptr;
    }
    const partition_entry& pe = d->header->partition_table[partition];
    if (pe.block_count == 0) {
        fs_errno = FS_EEMPTY;
        return nullptr;
    }
    if (!(flags & 1) && pe.type != 5 && pe.type != 7) {
        fs_errno = FS_EBADPART;
        return nullptr;
    }
    fs* slot = nullptr;
    for (fs& f : mount_table) {
        if (!f.handle) {
            slot = &f;
            break;
        }
    }
    if (!slot) {
        fs_errno = FS_EMFILE;
        return nullptr;
    }
    std::unique_ptr<superblock> sb(new (std::nothrow) superblock{});
    if (!sb) {
        fs_errno = FS_ENOMEM;
        return nullptr;
    }
    char* path = new (std::nothrow) char[PATH_BUF];
    if (!path) {
        fs_errno = FS_ENOMEM;
        return nullptr;
    }
    slot->handle = d->handle;
    slot->header = d->header;
    slot->partition = partition;
    slot->superblock = sb.release();
    slot->cwd_path = path;
    std::memset(path, 0, PATH_BUF);
    path[0] = '/';
    slot->cwd_inode = ROOT_INODE;
    slot->inode_block_at = -1;

    uint8_t raw[BLOCK_SIZE];
    int64_t offset = 0;
    int rc = fs_block_offset(slot, 1, &offset) ? host_read_at(slot->handle, offset, raw, sizeof raw) : 1;
    if (rc != 0) {
        fs_errno = rc == 1 ? FS_ESEEK : FS_EREAD;
        fs_umount(slot);
        return nullptr;
    }
    if (!superblock_check(raw, slot->superblock)) {
        fs_errno = FS_EBADMAGIC;
        fs_umount(slot);
        return nullptr;
    }
    slot->block_bound = fs_size_bound(slot);
    if (!current_fs)
        current_fs = slot;
    return slot;
}

int fs_umount(fs* f)
{
    f->handle = nullptr;
    delete f->superblock;
    f->superblock = nullptr;
    delete[] f->cwd_path;
    f->cwd_path = nullptr;
    if (current_fs == f)
        current_fs = nullptr;
    return 0;
}

fs* fs_current()
{
    return current_fs;
}
