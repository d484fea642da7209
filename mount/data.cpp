// File data: a few streams kept open between reads, so that a file read from start to end (as
// nearly every reader does, the kernel's read-ahead included) is one stream reading on. The
// kernel asks for pieces that do not fall on extents; each is read from the image straight into
// the reply, or only found there, never read through the stream's buffer.
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
    fs_run run{};       // the run being read; its bytes are counted in the stream from the start
    uint32_t run_at = 0;  // bytes of the run already passed
    bool in_run = false;
    uint64_t pos = 0;  // where in the file the next byte comes from
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
        if (k.s && k.ino == n && k.pos <= offset)
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

// Moves k to `offset` and then takes `want` bytes: read into dst, or found as pieces; false on any
// shortfall.
bool read_from(kept_stream& k, uint64_t offset, uint32_t want, uint8_t* dst, std::vector<image_piece>* pieces)
{
    uint64_t end = offset + want;
    while (k.pos < end) {
        if (!k.in_run || k.run_at == k.run.bytes) {
            if (!fs_next_run(k.s, &k.run))
                return false;  // the extents end before the size: damage
            k.s->osize += k.run.bytes;
            k.run_at = 0;
            k.in_run = true;
        }
        uint32_t left = k.run.bytes - k.run_at;
        if (k.pos < offset) {
            // Passed over without reading: only its place in the file counts.
            uint64_t gap = offset - k.pos;
            uint32_t skip = gap < left ? static_cast<uint32_t>(gap) : left;
            k.run_at += skip;
            k.pos += skip;
            continue;
        }
        uint64_t rest = end - k.pos;
        uint32_t take = rest < left ? static_cast<uint32_t>(rest) : left;
        if (!fs_read_run_part(k.s, &k.run, k.run_at, dst ? take : 0, dst ? dst + (k.pos - offset) : nullptr))
            return false;
        if (!dst) {
            int64_t at = k.run.offset + k.run_at;
            if (!pieces->empty() && pieces->back().offset + pieces->back().length == at)
                pieces->back().length += take;
            else
                pieces->push_back({at, take});
        }
        k.run_at += take;
        k.pos += take;
    }
    return true;
}

}  // namespace

int64_t read_inode_data(uint32_t n, uint64_t offset, size_t size, uint8_t* dst, std::vector<image_piece>* pieces,
                        int* err)
{
    if (pieces)
        pieces->clear();
    kept_stream* k = stream_for(n, offset);
    if (!k) {
        *err = host_error();
        return -1;
    }
    k->used = ++clock_now;
    uint64_t file_size = k->s->inode->di_size < 0 ? 0 : static_cast<uint64_t>(k->s->inode->di_size);
    if (offset >= file_size)
        return 0;
    uint64_t left = file_size - offset;
    auto want = static_cast<uint32_t>(size < left ? size : left);
    // Anything short of what the size promises is damage: the stream is given up, the call fails,
    // and a later read starts afresh.
    if (!read_from(*k, offset, want, dst, pieces)) {
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
