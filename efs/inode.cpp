// Inodes and extents: placement, decoding, the stat record and raw extent reads.
#include <cstring>

#include "common/byteorder.h"
#include "efs/efs_file.h"
#include "efs/efs_io.h"
#include "efs/fs_error.h"
#include "volume/image.h"

void decode_extent(const uint8_t* raw, extent* ex)
{
    uint32_t w0 = load_be32(raw);
    uint32_t w1 = load_be32(raw + 4);
    ex->ex_magic = static_cast<uint8_t>(w0 >> 24);
    ex->ex_block = w0 & 0xFFFFFF;
    ex->ex_length = static_cast<uint8_t>(w1 >> 24);
    ex->ex_offset = w1 & 0xFFFFFF;
}

namespace {

// In-use extent slots of a raw inode: the extent count read as signed, within 0 to 12.
int extents_in_use(const uint8_t* raw)
{
    int16_t n = load_be16s(raw + 28);
    return n < 0 ? 0 : n > DIRECT_EXTENTS ? DIRECT_EXTENTS : n;
}

// In-use extents of a raw inode with a non-zero magic; sets fs_errno when there is one.
int bad_magics(const uint8_t* raw)
{
    int bad = 0;
    for (int i = 0, k = extents_in_use(raw); i < k; ++i)
        bad += raw[32 + 8 * i] != 0;
    if (bad)
        fs_errno = FS_EBADMAGIC;
    return bad;
}

// Reads the block holding inode n into block; the inode's 128 bytes, or null with fs_errno set
// (*rc 1 for a seek error, 2 for a read error).
const uint8_t* read_inode(fs* f, uint32_t n, uint8_t* block, int* rc)
{
    const superblock* sb = f->superblock;
    uint32_t per_cg = 4u * static_cast<uint32_t>(sb->sb_cg_inode_blocks);
    uint32_t g = n / per_cg;
    uint32_t i = n % per_cg;
    int64_t blk = int64_t{sb->sb_first_cg} + int64_t{g} * sb->sb_cg_size + i / 4;
    int64_t offset = 0;
    if (!fs_block_offset(f, blk, &offset)) {
        *rc = 1;
    } else if (offset == f->inode_block_at) {
        std::memcpy(block, f->inode_block, sizeof f->inode_block);
        *rc = 0;
    } else {
        *rc = image_read_at(f->handle, offset, block, 512);
        f->inode_block_at = *rc == 0 ? offset : -1;
        if (*rc == 0)
            std::memcpy(f->inode_block, block, sizeof f->inode_block);
    }
    if (*rc != 0) {
        fs_errno = *rc == 1 ? FS_ESEEK : FS_EREAD;
        return nullptr;
    }
    return block + (i % 4) * 128;
}

}  // namespace

namespace {

// The fixed fields of a raw inode, everything but the extents.
void decode_head(const uint8_t* raw, disk_inode* ip)
{
    ip->di_mode = load_be16(raw + 0);
    ip->di_nlink = load_be16s(raw + 2);
    ip->di_uid = load_be16(raw + 4);
    ip->di_gid = load_be16(raw + 6);
    ip->di_size = load_be32s(raw + 8);
    ip->di_atime = load_be32s(raw + 12);
    ip->di_mtime = load_be32s(raw + 16);
    ip->di_ctime = load_be32s(raw + 20);
    ip->di_generation = load_be32(raw + 24);
    ip->di_extent_count = load_be16s(raw + 28);
    ip->di_spare[0] = raw[30];
    ip->di_spare[1] = raw[31];
    std::memcpy(ip->di_u_head, raw + 32, sizeof ip->di_u_head);
}

}  // namespace

int fs_iswap(const uint8_t* raw, disk_inode* ip)
{
    decode_head(raw, ip);
    int k = extents_in_use(raw);
    for (int i = 0; i < DIRECT_EXTENTS; ++i) {
        if (i < k)
            decode_extent(raw + 32 + 8 * i, &ip->di_extents[i]);
        else
            ip->di_extents[i] = extent{};
    }
    return bad_magics(raw);
}

int fs_iread(fs* f, uint32_t n, uint8_t* block, disk_inode* ip)
{
    int rc = 0;
    const uint8_t* raw = read_inode(f, n, block, &rc);
    return raw ? fs_iswap(raw, ip) : rc;
}

void fs_stat_of(const disk_inode& ino, uint32_t n, fs_statbuf* st)
{
    st->st_ino = static_cast<uint16_t>(n);
    st->st_mode = ino.di_mode;
    st->st_nlink = ino.di_nlink;
    st->st_uid = static_cast<int16_t>(ino.di_uid);
    st->st_gid = static_cast<int16_t>(ino.di_gid);
    st->st_size = ino.di_size;
    st->st_atime = ino.di_atime;
    st->st_mtime = ino.di_mtime;
    st->st_ctime = ino.di_ctime;
    st->st_major = st->st_minor = 0;
    uint16_t type = ino.di_mode & S_TYPE_MASK;
    if (type == S_TYPE_CHR || type == S_TYPE_BLK)
        fs_device_number(ino.di_u_head, &st->st_major, &st->st_minor);
}

void fs_device_number(const uint8_t* u, uint32_t* major, uint32_t* minor)
{
    uint16_t old = load_be16(u);
    if (old != 0xFFFF) {
        *major = old >> 8;
        *minor = old & 0xFFu;
        return;
    }
    uint32_t wide = load_be32(u + 4);
    *major = wide >> 18;
    *minor = wide & 0x3FFFFu;
}

int fs_istat(uint32_t n, fs_statbuf* st)
{
    fs* f = fs_current();
    if (!f)
        return -1;
    // Only the fixed fields are decoded, not the extents: a long listing stats every entry.
    uint8_t block[512];
    int rc = 0;
    const uint8_t* raw = read_inode(f, n, block, &rc);
    if (!raw || bad_magics(raw) != 0)
        return -1;
    disk_inode ino;
    decode_head(raw, &ino);
    fs_stat_of(ino, n, st);
    return 0;
}

int32_t fs_read_extent(fs* f, const extent* ex, uint8_t* dst, size_t cap)
{
    size_t len = size_t{ex->ex_length} * 512;
    if (len == 0)
        return 0;
    if (len > cap) {
        // Longer than the buffer it must go into: only a corrupt inode says so.
        fs_errno = FS_EREAD;
        return -1;
    }
    int64_t offset = 0;
    int rc = fs_block_offset(f, ex->ex_block, &offset) ? image_read_at(f->handle, offset, dst, len) : 1;
    if (rc != 0) {
        fs_errno = rc == 1 ? FS_ESEEK : FS_EREAD;
        return -1;
    }
    return static_cast<int32_t>(len);
}

int fs_read_extent_block(fs* f, int64_t block, extent* out)
{
    uint8_t raw[512];
    int64_t offset = 0;
    int rc = fs_block_offset(f, block, &offset) ? image_read_at(f->handle, offset, raw, sizeof raw) : 1;
    if (rc != 0) {
        fs_errno = rc == 1 ? FS_ESEEK : FS_EREAD;
        return 0;
    }
    for (int i = 0; i < EXTENTS_PER_BLOCK; ++i)
        decode_extent(raw + 8 * i, &out[i]);
    return 1;
}

int fs_indirect_count(const disk_inode* ip)
{
    uint32_t n = ip->di_extents[0].ex_offset;
    return n > DIRECT_EXTENTS ? -1 : static_cast<int>(n);
}

int fs_read_indirect(fs_file* s)
{
    if (s->ext_index < 0 || s->ext_index >= DIRECT_EXTENTS) {
        fs_errno = FS_EREAD;
        return 0;
    }
    const extent& ind = s->inode->di_extents[s->ext_index];
    return fs_read_extent_block(s->fs, int64_t{ind.ex_block} + s->ind_block, s->ind_buf.get());
}
