// Directory streams: file streams opened on a directory, walked entry by entry.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/byteorder.h"
#include "common/report.h"
#include "efs/efs_file.h"
#include "efs/fs_error.h"

namespace {

// Slot i of a directory block: where its entry starts in the block, or 0 for a free slot and for
// an entry that would reach past its block (only a damaged block holds one), which are passed over.
size_t slot_entry(const uint8_t* b, int i)
{
    size_t pos = size_t{b[4 + i]} * 2;
    if (pos == 0 || pos + 5 > 512 || pos + 5 + b[pos + 4] > 512)
        return 0;
    return pos;
}

fs_dirent* fill_entry(fs_dir* d, const uint8_t* b, size_t pos)
{
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

fs_dir* open_dir(uint32_t n)
{
    if (!fs_is_dir_inode(n))
        return nullptr;
    return fs_iopen(n);
}

// The walk of a stream opened by fs_opendir or fs_iopendir, as listings have always shown a directory.
fs_dirent* readdir_stopping(fs_dir* d)
{
    for (;;) {
        if (d->avail == 0) {
            int32_t got = fs_next_extent(d->buf.get(), d);
            if (got < 0)
                return nullptr;
            // No directory holds more than its file system: extents that read the same blocks over
            // and over (a crafted inode can name 32767 of them) end the walk there, so a listing
            // stays linear in the size of the image.
            if (uint64_t{d->osize} + static_cast<uint32_t>(got) > uint64_t(d->fs->block_bound) * 512) {
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
        size_t pos = slot_entry(b, d->slot);
        ++d->slot;
        if (pos != 0)
            return fill_entry(d, b, pos);
    }
}

void note_damage(dir_salvage& v, uint64_t block, int32_t code)
{
    if (v.damage.count++ == 0) {
        v.damage.block = static_cast<uint32_t>(std::min<uint64_t>(block, UINT32_MAX));
        v.damage.code = code;
    }
}

// Whether an extent is read as the directory's next, by the rule of the salvaging walk; `count`
// says whether damage is counted (not while a position is found again). Decided from the
// extents' descriptions alone, so that a position is found again without reading.
bool accept_extent(const fs_dir* d, dir_salvage& v, const extent& ex, bool count)
{
    if (ex.ex_length == 0)
        return false;
    uint64_t at = uint64_t{ex.ex_offset} * 512;
    // Out of order: the blocks between are in no extent, or some are in two. Either way what the
    // extent holds is still the directory's, read unless another extent read its blocks.
    if (at != v.reach && count)
        note_damage(v, at < v.reach ? at / 512 : v.reach / 512, FS_EREAD);
    v.reach = at + uint64_t{ex.ex_length} * 512;
    uint32_t first = ex.ex_block, end = ex.ex_block + ex.ex_length;
    auto it = std::lower_bound(v.spans.begin(), v.spans.end(), first,
                               [](const dir_span& s, uint32_t b) { return s.first < b; });
    bool past = end > d->fs->block_bound;
    if (past || (it != v.spans.end() && it->first < end) || (it != v.spans.begin() && std::prev(it)->end > first)) {
        if (count)
            note_damage(v, ex.ex_offset, past ? FS_ESEEK : FS_EREAD);
        return false;
    }
    v.spans.insert(it, dir_span{first, end});
    return true;
}

// Reads the next extent the rule takes into the stream's buffer; false at the end of the extents.
bool fetch_salvaging(fs_dir* d)
{
    dir_salvage& v = *d->salvage;
    while (!v.ended) {
        extent ex;
        fs_errno = FS_OK;
        if (!fs_take_extent(d, &ex)) {
            v.ended = true;
            if (fs_errno != FS_OK)
                note_damage(v, v.reach / 512, fs_errno);
            else if (d->inode->di_size > 0 && v.reach < static_cast<uint64_t>(d->inode->di_size))
                note_damage(v, v.reach / 512, FS_EREAD);  // the size promises blocks no extent holds
            break;
        }
        ++v.taken;
        if (!accept_extent(d, v, ex, true))
            continue;
        int32_t got = fs_read_extent(d->fs, &ex, d->buf.get(), STREAM_BUF_SIZE);
        if (got <= 0) {
            note_damage(v, ex.ex_offset, fs_errno);
            continue;
        }
        d->avail = static_cast<uint32_t>(got);
        d->cur = d->buf.get();
        d->slot = 0;
        v.ext_start = ex.ex_offset;
        v.block_ok = false;
        if (v.resuming) {
            v.resuming = false;
            if (v.resume_block < d->avail / 512) {
                d->cur += size_t{v.resume_block} * 512;
                d->avail -= v.resume_block * 512;
                d->slot = v.resume_slot;
            }
        }
        return true;
    }
    d->avail = 0;
    return false;
}

fs_dirent* readdir_salvaging(fs_dir* d)
{
    dir_salvage& v = *d->salvage;
    for (;;) {
        if (d->avail == 0 && !fetch_salvaging(d))
            return nullptr;
        const uint8_t* b = d->cur;
        uint32_t in_ext = static_cast<uint32_t>(b - d->buf.get()) / 512;
        if (!v.block_ok && load_be16(b) == DB_MAGIC) {
            v.block_ok = true;
        } else if (!v.block_ok) {
            uint64_t block = uint64_t{v.ext_start} + in_ext;
            if (d->inode->di_size > 0 && block * 512 < static_cast<uint64_t>(d->inode->di_size))
                note_damage(v, block, FS_EBADMAGIC);
            d->slot = b[3];  // its slots are not walked
        }
        if (d->slot >= b[3]) {
            d->avail -= 512;
            d->cur += 512;
            d->slot = 0;
            v.block_ok = false;
            continue;
        }
        size_t pos = slot_entry(b, d->slot);
        ++d->slot;
        if (pos != 0)
            return fill_entry(d, b, pos);
    }
}

// A block number within an extent and a slot fit 8 bits each; the extent's number goes above them.
constexpr int POS_EXTENT_SHIFT = 16;

}  // namespace

int fs_dir_search(uint8_t* buf, size_t nbytes, const char* name, uint32_t* ino)
{
    *ino = 0;
    size_t namelen = std::strlen(name);
    int bad = 0;
    for (size_t off = 0; off + 512 <= nbytes; off += 512) {
        const uint8_t* b = buf + off;
        if (load_be16(b) != DB_MAGIC) {
            fs_errno = FS_EBADMAGIC;
            ++bad;
            continue;
        }
        for (int i = 0; i < b[3]; ++i) {
            size_t pos = slot_entry(b, i);
            if (pos != 0 && b[pos + 4] == namelen && std::memcmp(b + pos + 5, name, namelen) == 0) {
                *ino = (uint32_t{load_be16(b + pos)} << 16) | load_be16(b + pos + 2);
                return bad;
            }
        }
    }
    return bad;
}

fs_dir* fs_opendir(const char* path)
{
    // The path is looked up once; the inode-keyed call checks the kind and opens it.
    if (!fs_current())
        return nullptr;
    uint32_t n = fs_namei(path);
    return n != 0 ? open_dir(n) : nullptr;
}

fs_dir* fs_iopendir(uint32_t n)
{
    return open_dir(n);
}

fs_dir* fs_iopendir_at(uint32_t n, uint64_t pos)
{
    fs_dir* d = open_dir(n);
    if (!d)
        return nullptr;
    d->salvage.reset(new (std::nothrow) dir_salvage{});
    if (!d->salvage) {
        fs_closedir(d);
        fs_errno = FS_ENOMEM;
        return nullptr;
    }
    dir_salvage& v = *d->salvage;
    // The extents before the position are taken again, as descriptions only: which of them were
    // read decides which of the later ones are.
    uint64_t k = pos >> POS_EXTENT_SHIFT;
    while (v.taken < k) {
        extent ex;
        if (!fs_take_extent(d, &ex)) {
            v.ended = true;
            break;
        }
        ++v.taken;
        accept_extent(d, v, ex, false);
    }
    v.resume_block = static_cast<uint32_t>(pos >> 8) & 0xFF;
    v.resume_slot = static_cast<int32_t>(pos & 0xFF);
    v.resuming = v.resume_block != 0 || v.resume_slot != 0;
    return d;
}

uint64_t fs_telldir(const fs_dir* d)
{
    if (!d->salvage)
        return 0;
    const dir_salvage& v = *d->salvage;
    // Opened at a position and not read yet: that position still.
    if (v.resuming)
        return (uint64_t{v.taken} << POS_EXTENT_SHIFT) | (uint64_t{v.resume_block} << 8) | static_cast<uint64_t>(v.resume_slot);
    if (d->avail == 0)
        return uint64_t{v.taken} << POS_EXTENT_SHIFT;
    auto block = static_cast<uint64_t>(d->cur - d->buf.get()) / 512;
    return (uint64_t{v.taken - 1} << POS_EXTENT_SHIFT) | (block << 8) | static_cast<uint64_t>(d->slot);
}

fs_dirent* fs_readdir(fs_dir* d)
{
    return d->salvage ? readdir_salvaging(d) : readdir_stopping(d);
}

bool fs_dir_incomplete(const fs_dir* d)
{
    if (d->salvage)
        return d->salvage->damage.count != 0;
    return d->cut_short || int64_t{d->osize} < int64_t{d->inode->di_size};
}

const fs_dir_damage* fs_dir_damaged(const fs_dir* d)
{
    return d->salvage && d->salvage->damage.count != 0 ? &d->salvage->damage : nullptr;
}

int fs_closedir(fs_dir* d)
{
    return fs_fclose(d);
}

void fs_report_damage(const char* path, const fs_dir_damage& d)
{
    // Entries passed over are entries not taken: the command that met them has failed, though it
    // took every other one.
    ++failures_reported;
    if (before_report)
        before_report();
    int32_t code = d.code > 0 && d.code < FS_NERR ? d.code : FS_EREAD;
    if (d.count > 1)
        std::fprintf(stderr, "%s: block %u: %s, %u damaged in all\n", path, d.block, fs_errlist[code], d.count);
    else
        std::fprintf(stderr, "%s: block %u: %s\n", path, d.block, fs_errlist[code]);
}

int fs_isearch(uint32_t dir, const char* name, uint32_t* ino)
{
    *ino = 0;
    if (!fs_current())
        return -1;
    // A record of the lookup's own: a walk may hold every slot of the table open.
    fs_file s{};
    if (!fs_is_dir_inode(dir))
        return -1;
    if (!fs_iopen_into(&s, dir))
        return -1;
    s.salvage.reset(new (std::nothrow) dir_salvage{});
    if (!s.salvage) {
        fs_fclose(&s);
        fs_errno = FS_ENOMEM;
        return -1;
    }
    size_t len = std::strlen(name);
    int rc = -1;
    while (fs_dirent* e = readdir_salvaging(&s)) {
        if (e->d_namlen == len && std::memcmp(e->d_name, name, len) == 0) {
            *ino = e->d_ino;
            rc = 0;
            break;
        }
    }
    if (rc != 0)
        fs_errno = s.salvage->damage.count != 0 ? s.salvage->damage.code : FS_ENOENT;
    fs_fclose(&s);
    return rc;
}
