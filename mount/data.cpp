// File data: a few streams kept open between reads, so that a file read from start to end (as
// nearly every reader does, the kernel's read-ahead included) is one stream reading on.
#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "mount/mount.h"

namespace {

// Files being read at once (cp -a of a tree reads one at a time; a few more readers are served
// without reopening). Far below the library's 16 stream slots.
constexpr int KEPT = 4;

struct kept_stream {
    uint32_t ino = 0;
    fs_file* s = nullptr;
    uint64_t used = 0;  // when it served last, for giving back the longest idle one
};
kept_stream kept[KEPT];
uint64_t clock_now = 0;

void give_back(kept_stream& k)
{
    if (k.s)
        fs_fclose(k.s);
    k = kept_stream{};
}

// A stream of inode n at most at `offset`: a kept one if one has not passed it yet, else a new one.
kept_stream* stream_for(uint32_t n, uint64_t offset)
{
    kept_stream* idle = &kept[0];
    for (kept_stream& k : kept) {
        if (k.s && k.ino == n && k.s->osize <= offset)
            return &k;
        if (!k.s || (idle->s && k.used < idle->used))
            idle = &k;
    }
    give_back(*idle);
    idle->s = fs_iopen(n);
    if (!idle->s)
        return nullptr;
    idle->ino = n;
    return idle;
}

}  // namespace

int64_t read_inode_data(uint32_t n, uint64_t offset, uint8_t* dst, size_t size, int* err)
{
    kept_stream* k = stream_for(n, offset);
    if (!k) {
        *err = host_error();
        return -1;
    }
    k->used = ++clock_now;
    fs_file* s = k->s;
    uint64_t file_size = s->inode->di_size < 0 ? 0 : static_cast<uint64_t>(s->inode->di_size);
    if (offset >= file_size)
        return 0;
    uint64_t left = file_size - offset;
    auto want = static_cast<uint32_t>(size < left ? size : left);
    auto skip = static_cast<uint32_t>(offset - s->osize);
    // Anything short of what the size promises is damage: the stream is given up, the call fails,
    // and a later read starts afresh.
    if (fs_skip(s, skip) != skip || fs_fread(dst, 1, want, s) != want) {
        *err = EIO;
        give_back(*k);
        return -1;
    }
    return want;
}

void close_data_streams()
{
    for (kept_stream& k : kept)
        give_back(k);
}
