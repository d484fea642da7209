// File streams: the stream table, opening by path, the extent reader and buffered reads.
#include <cstring>
#include <new>

#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "volume/image.h"

fs_file stream_table[STREAM_SLOTS];

namespace {

// Files at least this long, moved run by run, have the image read ahead of them: from a disk not
// yet in memory, waiting for each extent in turn took a copy more than twice as long as cat's.
// Smaller files, and everything else, are read as asked: metadata lies all over the image.
constexpr uint32_t READ_AHEAD_FROM = 1024 * 1024;

void release(fs_file* s)
{
    if (s->in_order && s->fs && s->fs->handle)
        host_read_in_order(s->fs->handle, false);
    s->in_order = false;
    s->ind_buf.reset();
    s->salvage.reset();
    s->inode.reset();
    s->buf.reset();
    s->fs = nullptr;
}

}  // namespace

fs_file* fs_fopen(const char* path, const char* /*mode*/)
{
    if (!fs_current())
        return nullptr;
    uint32_t n = fs_namei(path);
    if (n == 0)
        return nullptr;
    return fs_iopen(n);
}

fs_file* fs_iopen(uint32_t n)
{
    if (!fs_current())
        return nullptr;
    for (fs_file& slot : stream_table)
        if (!slot.fs)
            return fs_iopen_into(&slot, n) ? &slot : nullptr;
    fs_errno = FS_EMFILE;
    return nullptr;
}

bool fs_iopen_into(fs_file* s, uint32_t n)
{
    fs* f = fs_current();
    if (!f)
        return false;
    s->buf.reset(new (std::nothrow) uint8_t[STREAM_BUF_SIZE]);
    s->inode.reset(new (std::nothrow) disk_inode{});
    s->ind_buf.reset(new (std::nothrow) extent[EXTENTS_PER_BLOCK]);
    if (!s->buf || !s->inode || !s->ind_buf) {
        release(s);
        fs_errno = FS_ENOMEM;
        return false;
    }
    uint8_t scratch[512];
    if (fs_iread(f, n, scratch, s->inode.get()) != 0) {
        release(s);
        return false;
    }
    s->fs = f;
    s->avail = 0;
    s->cur = s->buf.get();
    s->ext_index = s->ind_block = s->ind_slot = s->ext_count = 0;
    s->osize = 0;
    s->cut_short = false;
    s->salvage = nullptr;
    if (s->inode->di_extent_count > DIRECT_EXTENTS && !fs_read_indirect(s)) {
        release(s);
        return false;
    }
    return true;
}

int fs_fclose(fs_file* s)
{
    release(s);
    return 0;
}

namespace {

// Makes the stream's next extent the one at ind_slot of the loaded indirect block, loading the
// next block when that one is used up; false at the end or when a block cannot be loaded.
bool indirect_ready(fs_file* s)
{
    const disk_inode& ip = *s->inode;
    int nind = fs_indirect_count(&ip);
    if (nind < 0) {
        // More indirect extents than an inode can hold: a damaged inode, refused as a failed read.
        fs_errno = FS_EREAD;
        return false;
    }
    if (s->ext_count >= ip.di_extent_count || s->ext_index >= nind)
        return false;
    while (s->ind_slot >= EXTENTS_PER_BLOCK) {
        s->ind_slot = 0;
        ++s->ind_block;
        while (s->ind_block >= ip.di_extents[s->ext_index].ex_length) {
            ++s->ext_index;
            s->ind_block = 0;
            if (s->ext_index >= nind)
                return false;
        }
        if (!fs_read_indirect(s)) {
            s->ext_index = nind;  // a lost indirect block ends the stream for good
            return false;
        }
    }
    return true;
}

// The extent `ahead` places after the stream's next one, without taking anything; false when
// there is none or it lies in an indirect block not loaded yet.
bool peek_extent(const fs_file* s, int ahead, extent* ex)
{
    const disk_inode& ip = *s->inode;
    int n = ip.di_extent_count;
    if (n <= DIRECT_EXTENTS) {
        if (n <= 0 || s->ext_index + ahead >= n)
            return false;
        *ex = ip.di_extents[s->ext_index + ahead];
        return true;
    }
    if (s->ext_count + ahead >= n || s->ind_slot + ahead >= EXTENTS_PER_BLOCK)
        return false;
    *ex = s->ind_buf[s->ind_slot + ahead];
    return true;
}

// Moves the stream past k extents that peek_extent has shown.
void skip_extents(fs_file* s, int k)
{
    if (s->inode->di_extent_count <= DIRECT_EXTENTS) {
        s->ext_index += k;
    } else {
        s->ind_slot += k;
        s->ext_count += k;
    }
}

// An extent taken when osize bytes have gone before it must start there: out of order or after a
// gap, its data would land at the wrong offset.
bool in_order(uint32_t osize, const extent& ex)
{
    return osize == ex.ex_offset * 512u;
}

}  // namespace

bool fs_take_extent(fs_file* s, extent* ex)
{
    if (s->inode->di_extent_count > DIRECT_EXTENTS && !indirect_ready(s))
        return false;
    if (!peek_extent(s, 0, ex))
        return false;
    skip_extents(s, 1);
    return true;
}

namespace {

// The one extent walker: takes the stream's next extent, direct or indirect, and holds it to the
// stream's order. False at the end of the extents or on a failure (fs_errno says which).
bool take_extent(fs_file* s, extent* ex)
{
    if (!fs_take_extent(s, ex))
        return false;
    if (!in_order(s->osize, *ex)) {
        fs_errno = FS_EREAD;  // the stream stops here
        return false;
    }
    return true;
}

// Where an extent's bytes lie in the image: FS_OK, or the code of the failed read it would be.
// An extent of no blocks is FS_OK with length 0.
int locate(const fs_file* s, const extent& ex, uint32_t* length, int64_t* offset)
{
    *length = uint32_t{ex.ex_length} * 512;
    if (*length == 0)
        return FS_OK;
    if (*length > STREAM_BUF_SIZE)
        return FS_EREAD;  // longer than the stream's buffer: only a corrupt inode says so
    return fs_block_offset(s->fs, ex.ex_block, offset) ? FS_OK : FS_ESEEK;
}

}  // namespace

int32_t fs_next_extent(uint8_t* buf, fs_file* s)
{
    extent ex;
    if (!take_extent(s, &ex))
        return -1;
    return fs_read_extent(s->fs, &ex, buf, STREAM_BUF_SIZE);
}

bool fs_next_run(fs_file* s, fs_run* r)
{
    fs_errno = FS_OK;
    uint32_t file_size = static_cast<uint32_t>(s->inode->di_size);
    if (!s->in_order && file_size >= READ_AHEAD_FROM) {
        host_read_in_order(s->fs->handle, true);
        s->in_order = true;
    }
    // Extents past the size could only yield nothing; not reading them keeps a crafted inode with
    // thousands of extents beyond a small size from costing gigabytes of reads. The end is met
    // exactly as after reading them: osize goes one past the size.
    while (s->osize < file_size && take_extent(s, &r->ex)) {
        uint32_t length = 0;
        if (int rc = locate(s, r->ex, &length, &r->offset); rc != FS_OK) {
            fs_errno = rc;
            break;
        }
        if (length == 0)
            continue;  // an empty extent holds no byte; the file goes on in the next one
        uint32_t left = file_size - s->osize;
        r->length = length;
        r->bytes = length < left ? length : left;
        r->joined = 0;
        return true;
    }
    ++s->osize;
    return false;
}

namespace {

// Reads the run's whole extent into the stream's buffer for handing out; false when the read
// fails, which ends the stream.
bool load_run(fs_file* s, const fs_run* r)
{
    if (fs_read_extent(s->fs, &r->ex, s->buf.get(), STREAM_BUF_SIZE) < 0) {
        ++s->osize;
        return false;
    }
    s->cur = s->buf.get();
    s->avail = r->bytes;
    return true;
}

}  // namespace

const uint8_t* fs_read_run(fs_file* s, const fs_run* r, uint8_t* into)
{
    uint8_t* dst = into ? into : s->buf.get();
    if (fs_read_extent(s->fs, &r->ex, dst, STREAM_BUF_SIZE) < 0) {
        ++s->osize;
        return nullptr;
    }
    s->osize += r->bytes;
    s->avail = 0;
    return dst;
}

void fs_skip_run(fs_file* s, const fs_run* r)
{
    s->osize += r->bytes;
    s->avail = 0;
}

void fs_join_run(const fs_file* s, fs_run* r)
{
    uint32_t file_size = static_cast<uint32_t>(s->inode->di_size);
    extent ex;
    while (r->bytes == r->length && s->osize + r->bytes < file_size && peek_extent(s, r->joined, &ex) &&
           in_order(s->osize + r->bytes, ex)) {
        uint32_t next = 0;
        int64_t offset = 0;
        if (locate(s, ex, &next, &offset) != FS_OK || next == 0 || offset != r->offset + r->length)
            break;
        uint32_t left = file_size - (s->osize + r->bytes);
        r->bytes += next < left ? next : left;
        r->length += next;
        ++r->joined;
    }
}

bool fs_copy_run(fs_file* s, const fs_run* r, host_out* o)
{
    // The stream reads every extent whole, and an extent it cannot read delivers nothing: the part
    // past the size (less than a block in a sound file) must be readable too.
    // A translated image's bytes are not where the run says in its file: the host cannot take them.
    if (!image_in_place(s->fs->handle))
        return false;
    uint32_t tail = r->length - r->bytes;
    if (tail != 0 && image_read_at(s->fs->handle, r->offset + r->bytes, s->buf.get(), tail) != 0)
        return false;
    if (host_copy_range(o, s->fs->handle, r->offset, r->bytes) != static_cast<int64_t>(r->bytes))
        return false;
    skip_extents(s, r->joined);
    s->osize += r->bytes;
    s->avail = 0;
    return true;
}

bool fs_read_run_part(const fs_file* s, const fs_run* r, uint32_t from, uint32_t len, uint8_t* dst)
{
    // A stream reads every extent whole, and one it cannot read delivers nothing: its last byte
    // must be there too, or a piece would come out that a stream never gives.
    uint8_t last;
    int rc = image_read_at(s->fs->handle, r->offset + r->length - 1, &last, 1);
    if (rc == 0 && len != 0)
        rc = image_read_at(s->fs->handle, r->offset + from, dst, len);
    if (rc != 0) {
        fs_errno = rc == 1 ? FS_ESEEK : FS_EREAD;
        return false;
    }
    return true;
}

uint32_t fs_fread(void* dst, uint32_t size, uint32_t count, fs_file* s)
{
    uint32_t request = size * count;
    if (request == 0)
        return 0;
    fs_errno = FS_OK;
    uint32_t result = 0;
    auto* out = static_cast<uint8_t*>(dst);
    while (request > 0) {
        uint32_t k = s->avail < request ? s->avail : request;
        if (k == 0) {
            fs_run r;
            if (!fs_next_run(s, &r) || !load_run(s, &r))
                return result;
            continue;
        }
        if (out) {
            std::memcpy(out, s->cur, k);
            out += k;
        }
        s->cur += k;
        s->osize += k;
        result += k;
        s->avail -= k;
        request -= k;
    }
    return result;
}
