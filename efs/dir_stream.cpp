// Directory streams: file streams opened on a directory, walked entry by entry.
#include <cstring>

#include "common/byteorder.h"
#include "efs/efs_file.h"
#include "efs/fs_error.h"

fs_dir* fs_opendir(const char* path)
{
    // The path is looked up once; the inode-keyed call checks the kind and opens it.
    if (!fs_current())
        return nullptr;
    uint32_t n = fs_namei(path);
    return n != 0 ? fs_iopendir(n) : nullptr;
}

fs_dir* fs_iopendir(uint32_t n)
{
    fs_statbuf st;
    if (fs_istat(n, &st) != 0)
        return nullptr;
    if ((st.st_mode & S_TYPE_MASK) != S_TYPE_DIR) {
        fs_errno = FS_ENOTDIR;
        return nullptr;
    }
    return fs_iopen(n);
}

fs_dirent* fs_readdir(fs_dir* d)
{
    for (;;) {
        if (d->avail == 0) {
            int32_t got = fs_next_extent(d->buf.get(), d);
            if (got < 0)
                return nullptr;
            // No directory holds more than its file system: extents that read the same blocks over
            // and over (a crafted inode can name 32767 of them) end the walk there, so a listing
            // stays linear in the size of the image.
            if (uint64_t{d->osize} + static_cast<uint32_t>(got) >
                uint64_t(static_cast<uint32_t>(d->fs->superblock->sb_size)) * 512) {
                d->avail = 0;
                return nullptr;
            }
            d->avail = static_cast<uint32_t>(got);
            d->cur = d->buf.get();
            d->slot = 0;
            d->osize += static_cast<uint32_t>(got);
            // An empty extent holds no block; the directory goes on in the next one, as lookups and
            // file reads find it, so that cp -r does not silently leave out the entries after it.
            // The first block of an extent is walked without looking at its magic: its slots are
            // checked one by one, and what they name may still be reached by inode number.
            if (d->avail == 0)
                continue;
        }
        const uint8_t* b = d->cur;
        if (d->slot >= b[3]) {
            d->avail -= 512;
            d->cur += 512;
            if (d->avail == 0)
                continue;
            if (load_be16(d->cur) != DB_MAGIC) {
                // Blocks of the last extent past the size hold no entries: only one within it
                // loses some.
                uint32_t at = d->osize - d->avail;
                d->cut_short = d->inode->di_size > 0 && at < static_cast<uint32_t>(d->inode->di_size);
                d->avail = 0;
                return nullptr;
            }
            d->slot = 0;
            continue;
        }
        size_t pos = size_t{b[4 + d->slot]} * 2;
        ++d->slot;
        // A free slot, or an entry that would reach past its block (a damaged block), is passed over.
        if (pos == 0 || pos + 5 > 512 || pos + 5 + b[pos + 4] > 512)
            continue;
        fs_dirent& e = d->dirent;
        e.d_ino = (uint32_t{load_be16(b + pos)} << 16) | load_be16(b + pos + 2);
        uint16_t len = b[pos + 4];
        std::memset(e.d_name, 0, sizeof e.d_name);
        const uint8_t* name = b + pos + 5;
        const void* nul = std::memchr(name, 0, len);
        size_t copy = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - name) : len;
        std::memcpy(e.d_name, name, copy);
        e.d_namlen = len;
        e.d_reclen = static_cast<uint16_t>((len & ~3u) + 12);
        return &e;
    }
}

bool fs_dir_incomplete(const fs_dir* d)
{
    return d->cut_short || int64_t{d->osize} < int64_t{d->inode->di_size};
}

int fs_closedir(fs_dir* d)
{
    return fs_fclose(d);
}
