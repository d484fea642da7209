// The archive writer: pax interchange format, ustar headers, blocks of 512 bytes gathered into
// large writes, optionally through zlib's gzip stream.
#include "walk/tar_archive.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "efs/efs_file.h"
#include "host/host_io.h"
#include "walk/gzip_out.h"
#include "walk/progress.h"
#include "walk/work.h"


namespace {

constexpr size_t BLOCK = 512;
constexpr size_t RECORD = 20 * BLOCK;  // archives end on a whole record, as tar has always written them
// Bytes gather here and go to the host (or the compressor) half a megabyte at a time; a file's run
// is read straight into the free space behind them, so the buffer keeps room for one whole extent.
constexpr size_t GATHER = 512 * 1024;
constexpr size_t GATHER_ROOM = GATHER + STREAM_BUF_SIZE;
// ustar names hold 100 bytes, with up to 155 more in the prefix; longer ones go in a pax record.
constexpr size_t NAME_LEN = 100;
constexpr size_t PREFIX_LEN = 155;

}  // namespace

struct tar_archive {
    host_out* out = nullptr;
    bool failed = false;
    int failed_errno = 0;
    std::unique_ptr<uint8_t[]> buf;
    size_t fill = 0;
    uint64_t total = 0;  // archive bytes so far, before compression
    gzip_out* gzip = nullptr;  // null: plain
};

namespace {

void put(tar_archive* a, const void* data, size_t len)
{
    if (a->failed)
        return;
    if (host_write(a->out, data, len) != len) {
        a->failed = true;
        a->failed_errno = errno;
    }
}

bool put_compressed(void* ctx, const void* bytes, size_t len)
{
    auto* a = static_cast<tar_archive*>(ctx);
    put(a, bytes, len);
    return !a->failed;
}

// Writes what has gathered (last: the end of the archive, which ends a gzip stream).
void flush(tar_archive* a, bool last = false)
{
    if (a->gzip) {
        if (!a->failed && !gzip_write(a->gzip, a->buf.get(), a->fill, last) && !a->failed) {
            a->failed = true;  // the compressor's own failure: it found no memory
            a->failed_errno = ENOMEM;
        }
    } else {
        put(a, a->buf.get(), a->fill);
    }
    a->fill = 0;
}

// Room for n more bytes at the end of the buffer (n at most GATHER_ROOM).
uint8_t* room(tar_archive* a, size_t n)
{
    if (a->fill + n > GATHER_ROOM || a->fill >= GATHER)
        flush(a);
    return a->buf.get() + a->fill;
}

void advance(tar_archive* a, size_t n)
{
    a->fill += n;
    a->total += n;
}

void emit(tar_archive* a, const void* data, size_t len)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (len > 0) {
        size_t k = len < GATHER ? len : GATHER;
        std::memcpy(room(a, k), p, k);
        advance(a, k);
        p += k;
        len -= k;
    }
}

void emit_zeros(tar_archive* a, uint64_t len)
{
    while (len > 0 && !a->failed) {
        size_t k = len < GATHER ? static_cast<size_t>(len) : GATHER;
        std::memset(room(a, k), 0, k);
        advance(a, k);
        len -= k;
    }
}

void pad_to(tar_archive* a, uint64_t unit)
{
    emit_zeros(a, (unit - a->total % unit) % unit);
}

// Octal digits filling a field but its last byte, which is NUL. False when the value does not fit.
bool octal(char* field, size_t width, uint64_t v)
{
    char text[24];
    std::snprintf(text, sizeof text, "%0*llo", static_cast<int>(width - 1), static_cast<unsigned long long>(v));
    if (std::strlen(text) != width - 1)
        return false;
    std::memcpy(field, text, width);
    return true;
}

// "length key=value\n", the length counting the whole record with its own digits.
void pax_record(std::string* recs, const char* key, const std::string& value)
{
    size_t body = 1 + std::strlen(key) + 1 + value.size() + 1;
    size_t len = body + 1;
    while (std::to_string(len).size() + body != len)
        ++len;
    *recs += std::to_string(len) + " " + key + "=" + value + "\n";
}

bool valid_utf8(const std::string& s)
{
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
        if (n == 9 || i + n >= s.size())
            return false;
        for (size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n + 1;
    }
    return true;
}

// Puts name into the ustar name field, or its head into the prefix and its tail into the name,
// split at a '/'. False when neither fits.
bool ustar_name(char* hdr, const std::string& name)
{
    if (name.size() <= NAME_LEN) {
        std::memcpy(hdr, name.data(), name.size());
        return true;
    }
    size_t from = name.size() - NAME_LEN - 1;
    for (size_t p = name.find('/', from); p != std::string::npos && p <= PREFIX_LEN; p = name.find('/', p + 1)) {
        if (p == 0 || p + 1 == name.size())
            continue;
        std::memcpy(hdr + 345, name.data(), p);
        std::memcpy(hdr, name.data() + p + 1, name.size() - p - 1);
        return true;
    }
    return false;
}

// A 512-byte ustar header; its name and link fields are filled by the caller's choice.
void fill_header(char* h, tar_type type, unsigned mode, unsigned uid, unsigned gid, uint64_t size, int64_t mtime,
                 uint32_t major, uint32_t minor)
{
    octal(h + 100, 8, mode);
    octal(h + 108, 8, uid);
    octal(h + 116, 8, gid);
    octal(h + 124, 12, size);
    octal(h + 136, 12, mtime < 0 ? 0 : static_cast<uint64_t>(mtime));
    h[156] = static_cast<char>(type);
    std::memcpy(h + 257, "ustar", 6);
    std::memcpy(h + 263, "00", 2);
    octal(h + 329, 8, major);
    octal(h + 337, 8, minor);
    std::memset(h + 148, ' ', 8);
    unsigned sum = 0;
    for (size_t i = 0; i < BLOCK; ++i)
        sum += static_cast<unsigned char>(h[i]);
    std::snprintf(h + 148, 8, "%06o", sum);
    h[155] = ' ';
}

}  // namespace

bool tar_has_gzip()
{
#ifdef EFSH_HAVE_ZLIB
    return true;
#else
    return false;
#endif
}

tar_archive* tar_open(host_out* out, bool gzip, const char** why)
{
    std::unique_ptr<tar_archive> a(new (std::nothrow) tar_archive);
    if (a)
        a->buf.reset(new (std::nothrow) uint8_t[GATHER_ROOM]);
    if (!a || !a->buf) {
        *why = "out of memory";
        return nullptr;
    }
    a->out = out;
    if (gzip && !(a->gzip = gzip_open(put_compressed, a.get(), why)))
        return nullptr;
    return a.release();
}

bool tar_header(tar_archive* a, const std::string& name, tar_type type, const fs_statbuf& st, uint64_t size,
                const std::string& link)
{
    char h[BLOCK] = {};
    std::string recs;
    if (!ustar_name(h, name)) {
        pax_record(&recs, "path", name);
        std::memcpy(h, name.data(), NAME_LEN);
    }
    if (link.size() > NAME_LEN)
        pax_record(&recs, "linkpath", link);
    std::memcpy(h + 157, link.data(), link.size() < NAME_LEN ? link.size() : NAME_LEN);
    if (!recs.empty() && !(valid_utf8(name) && valid_utf8(link)))
        pax_record(&recs, "hdrcharset", "BINARY");
    if (st.st_mtime < 0)
        pax_record(&recs, "mtime", std::to_string(st.st_mtime));
    pax_record(&recs, "atime", std::to_string(st.st_atime));
    pax_record(&recs, "ctime", std::to_string(st.st_ctime));

    unsigned uid = static_cast<uint16_t>(st.st_uid), gid = static_cast<uint16_t>(st.st_gid);
    // The extended header's own name is for readers that do not know the format: they extract it
    // as a file beside the entry's.
    std::string base = name.substr(0, name.size() - (type == TAR_DIR));
    base = "PaxHeaders/" + base.substr(base.rfind('/') + 1);
    char x[BLOCK] = {};
    std::memcpy(x, base.data(), base.size() < NAME_LEN ? base.size() : NAME_LEN);
    fill_header(x, static_cast<tar_type>('x'), 0644, uid, gid, recs.size(), st.st_mtime, 0, 0);
    emit(a, x, BLOCK);
    emit(a, recs.data(), recs.size());
    pad_to(a, BLOCK);

    fill_header(h, type, st.st_mode & 07777u, uid, gid, size, st.st_mtime, st.st_major, st.st_minor);
    emit(a, h, BLOCK);
    return !a->failed;
}

bool tar_file_data(tar_archive* a, fs_file* s, uint64_t size)
{
    uint64_t start = a->total;
    fs_run r;
    while (!a->failed && !work_stopped() && fs_next_run(s, &r)) {
        if (!fs_read_run(s, &r, room(a, STREAM_BUF_SIZE)))
            break;
        advance(a, r.bytes);
        progress_bytes(r.bytes);
        work_bytes(r.bytes);
    }
    if (work_stopped())
        return false;  // the archive is given up: no zeros for the rest
    uint64_t got = a->total - start;
    emit_zeros(a, got < size ? size - got : 0);
    pad_to(a, BLOCK);
    return !a->failed;
}

bool tar_finish(tar_archive* a)
{
    emit_zeros(a, 2 * BLOCK);
    pad_to(a, RECORD);
    flush(a, true);
    if (a->failed)
        errno = a->failed_errno;
    return !a->failed;
}

bool tar_failed(const tar_archive* a)
{
    if (a->failed)
        errno = a->failed_errno;
    return a->failed;
}

void tar_close(tar_archive* a)
{
    if (a->gzip)
        gzip_close(a->gzip);
    delete a;
}
