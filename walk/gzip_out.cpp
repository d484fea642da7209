// The gzip stream: each piece is cut in two halves deflated at once, the second on another core,
// each primed with the 32 KiB before it, so that the halves join into one deflate stream (a sync
// flush ends every part but the last). Where the pieces fall depends on the data alone: the
// stream is the same whatever the timing and the host.
#include "walk/gzip_out.h"

#ifdef EFSH_HAVE_ZLIB

#include <cstring>
#include <memory>
#include <new>

#include <zlib.h>

#include "host/host_io.h"

namespace {

constexpr size_t WINDOW = 32 * 1024;
constexpr size_t SPLIT_FROM = 2 * WINDOW;  // smaller pieces go whole, on this core

// One half: raw deflate of in[0, len) after dict, into out.
struct half_job {
    z_stream z{};
    bool ready = false;  // z is initialised
    const uint8_t* in = nullptr;
    size_t len = 0;
    const uint8_t* dict = nullptr;
    size_t dict_len = 0;
    bool last = false;
    std::unique_ptr<uint8_t[]> out;
    size_t out_cap = 0, out_len = 0;
    uLong crc = 0;
    bool ok = false;
};

void deflate_half(void* arg)
{
    auto* j = static_cast<half_job*>(arg);
    j->ok = false;
    if (deflateReset(&j->z) != Z_OK || (j->dict_len != 0 && deflateSetDictionary(&j->z, j->dict, static_cast<uInt>(j->dict_len)) != Z_OK))
        return;
    j->z.next_in = const_cast<uint8_t*>(j->in);
    j->z.avail_in = static_cast<uInt>(j->len);
    j->z.next_out = j->out.get();
    j->z.avail_out = static_cast<uInt>(j->out_cap);
    int rc = deflate(&j->z, j->last ? Z_FINISH : Z_SYNC_FLUSH);
    j->out_len = j->out_cap - j->z.avail_out;
    j->ok = j->last ? rc == Z_STREAM_END : rc == Z_OK && j->z.avail_in == 0 && j->z.avail_out != 0;
    j->crc = crc32(0, j->in, static_cast<uInt>(j->len));
}

void put32le(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

struct gzip_out {
    gzip_sink sink;
    void* ctx;
    bool failed = false;
    bool started = false;
    half_job half[2];
    uint8_t window[WINDOW];  // the last bytes compressed, the dictionary of the next piece
    size_t window_len = 0;
    uLong crc = 0;
    uint64_t total = 0;
};

namespace {

bool put(gzip_out* g, const void* bytes, size_t len)
{
    if (!g->failed && len != 0 && !g->sink(g->ctx, bytes, len))
        g->failed = true;
    return !g->failed;
}

// Room for the deflated half: deflate's bound, and a sync flush's few bytes.
bool room_for(half_job* j, size_t len)
{
    size_t need = deflateBound(&j->z, static_cast<uLong>(len)) + 64;
    if (j->out_cap >= need)
        return true;
    j->out.reset(new (std::nothrow) uint8_t[need]);
    j->out_cap = j->out ? need : 0;
    return j->out != nullptr;
}

void keep_window(gzip_out* g, const uint8_t* data, size_t len)
{
    if (len >= WINDOW) {
        std::memcpy(g->window, data + len - WINDOW, WINDOW);
        g->window_len = WINDOW;
        return;
    }
    size_t keep = g->window_len + len > WINDOW ? WINDOW - len : g->window_len;
    std::memmove(g->window, g->window + g->window_len - keep, keep);
    std::memcpy(g->window + keep, data, len);
    g->window_len = keep + len;
}

}  // namespace

gzip_out* gzip_open(gzip_sink sink, void* ctx, const char** why)
{
    std::unique_ptr<gzip_out> g(new (std::nothrow) gzip_out);
    bool ok = g != nullptr;
    for (int i = 0; ok && i < 2; ++i) {
        ok = deflateInit2(&g->half[i].z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        g->half[i].ready = ok;
    }
    if (!ok) {
        if (g)
            gzip_close(g.release());
        *why = "out of memory";
        return nullptr;
    }
    g->sink = sink;
    g->ctx = ctx;
    g->crc = crc32(0, nullptr, 0);
    return g.release();
}

bool gzip_write(gzip_out* g, const uint8_t* data, size_t len, bool last)
{
    if (!g->started) {
        // No time and no name; the operating system "unknown", so every host writes the same bytes.
        const uint8_t header[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 255};
        g->started = put(g, header, sizeof header);
    }
    size_t first = len >= SPLIT_FROM ? len / 2 : len;
    half_job& a = g->half[0];
    half_job& b = g->half[1];
    a.in = data;
    a.len = first;
    a.dict = g->window;
    a.dict_len = g->window_len;
    a.last = last && first == len;
    b.in = data + first;
    b.len = len - first;
    b.dict = b.len != 0 ? data + first - WINDOW : nullptr;  // a split leaves a window before it
    b.dict_len = b.len != 0 ? WINDOW : 0;
    b.last = last;
    if (!room_for(&a, a.len) || (b.len != 0 && !room_for(&b, b.len))) {
        g->failed = true;
        return false;
    }
    host_thread* t = b.len != 0 ? host_thread_start(deflate_half, &b) : nullptr;
    deflate_half(&a);
    if (t)
        host_thread_join(t);
    else if (b.len != 0)
        deflate_half(&b);
    if (!a.ok || (b.len != 0 && !b.ok)) {
        g->failed = true;
        return false;
    }
    put(g, a.out.get(), a.out_len);
    g->crc = crc32_combine(g->crc, a.crc, static_cast<z_off_t>(a.len));
    if (b.len != 0) {
        put(g, b.out.get(), b.out_len);
        g->crc = crc32_combine(g->crc, b.crc, static_cast<z_off_t>(b.len));
    }
    g->total += len;
    keep_window(g, data, len);
    if (last) {
        uint8_t trailer[8];
        put32le(trailer, static_cast<uint32_t>(g->crc));
        put32le(trailer + 4, static_cast<uint32_t>(g->total));
        put(g, trailer, sizeof trailer);
    }
    return !g->failed;
}

void gzip_close(gzip_out* g)
{
    for (half_job& j : g->half)
        if (j.ready)
            deflateEnd(&j.z);
    delete g;
}

#else

gzip_out* gzip_open(gzip_sink, void*, const char** why)
{
    *why = "this efsh was built without zlib";
    return nullptr;
}

bool gzip_write(gzip_out*, const uint8_t*, size_t, bool)
{
    return false;
}

void gzip_close(gzip_out*) {}

#endif
