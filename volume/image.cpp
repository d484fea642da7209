// Reading the image: straight from its file, or from the user data of its CD sectors, each sector
// checked as it is read.
#include "volume/image.h"

#include "common/byteorder.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/report.h"
#include "host/host_io.h"
#include "volume/volume.h"

namespace {

constexpr uint8_t SYNC[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// Sectors read from the file in one host read: a stream's extent (124 KiB) is 62 of them, and
// fewer, larger reads keep the copy near the speed of reading the file itself.
constexpr int CHUNK_SECTORS = 64;

// Where a sector's user data begins, and the bytes its EDC covers (from byte 0, or from the
// subheader in mode 2) with the EDC right after them, little-endian.
struct sector_form {
    int data_at;
    int edc_from;
    int edc_at;
};
constexpr sector_form MODE1{16, 0, 2064};
constexpr sector_form MODE2_FORM1{24, 16, 2072};

const sector_form& form_of(const sector_layout& l)
{
    return l.mode == 2 ? MODE2_FORM1 : MODE1;
}

// One translated image: its layout, a buffer of raw sectors and the sectors already reported.
struct translation {
    const host_file* f = nullptr;  // null: a free slot
    sector_layout layout;
    std::string name;
    std::unique_ptr<uint8_t[]> raw;
    std::vector<uint8_t> reported;  // a bit per sector of the track
};
translation translations[DISK_SLOTS];

translation* find(const host_file* f)
{
    if (!f)
        return nullptr;
    for (translation& t : translations)
        if (t.f == f)
            return &t;
    return nullptr;
}

// True the first time sector s is met here: every damaged sector is reported once, however
// often its blocks are read.
bool first_report(translation& t, int64_t s)
{
    size_t byte = static_cast<size_t>(s / 8);
    if (byte >= t.reported.size())
        t.reported.resize(byte + 1);
    auto bit = static_cast<uint8_t>(1u << (s % 8));
    if (t.reported[byte] & bit)
        return false;
    t.reported[byte] |= bit;
    return true;
}

__attribute__((format(printf, 3, 4))) void report_sector(translation& t, int64_t s, const char* what, ...)
{
    if (!first_report(t, s))
        return;
    if (before_report)
        before_report();
    std::fprintf(stderr, "%s: sector %lld: ", t.name.c_str(), static_cast<long long>(t.layout.first_sector + s));
    va_list ap;
    va_start(ap, what);
    std::vfprintf(stderr, what, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

// Whether sector s of the track holds user data of the track's mode; says once why not. p is its
// raw bytes, but for its user data, which lies at data. An EDC that does not match is said, and
// the sector still read.
bool sector_sound(translation& t, int64_t s, const uint8_t* p, const uint8_t* data)
{
    const sector_layout& l = t.layout;
    if (std::memcmp(p, SYNC, sizeof SYNC) != 0) {
        report_sector(t, s, "no sync pattern where a sector should begin: its blocks are a read error");
        return false;
    }
    if (p[15] != l.mode) {
        report_sector(t, s, "the header says mode %d, the track is mode %d: its blocks are a read error", p[15], l.mode);
        return false;
    }
    if (l.mode == 2 && (p[18] & 0x20)) {
        report_sector(t, s, "a mode 2 form 2 sector in a track of form 1: its blocks are a read error");
        return false;
    }
    const sector_form& sf = form_of(l);
    if (l.edc) {
        uint32_t edc = cd_edc(cd_edc(0, p + sf.edc_from, static_cast<size_t>(sf.data_at - sf.edc_from)), data, CD_USER_DATA);
        if (edc != load_le32(p + sf.edc_at))
            report_sector(t, s, "EDC mismatch: the sector is damaged; its data is delivered as read");
    }
    return true;
}

// Bytes [offset, offset + len) of the user data of the track. The sectors come in one host read
// per CHUNK_SECTORS, their user data straight into out where a whole sector's is wanted, the rest
// of them into the translation's buffer.
int translated_read(translation& t, int64_t offset, uint8_t* out, size_t len)
{
    const sector_layout& l = t.layout;
    if (offset < 0)
        return 1;
    if (l.sector_bytes == CD_USER_DATA) {
        int64_t at = 0;
        if (__builtin_mul_overflow(l.first_sector, int64_t{CD_USER_DATA}, &at) || __builtin_add_overflow(at, offset, &at))
            return 1;
        return host_read_at(const_cast<host_file*>(t.f), at, out, len);
    }
    const size_t data_at = static_cast<size_t>(form_of(l).data_at), sb = static_cast<size_t>(l.sector_bytes);
    while (len > 0) {
        int64_t s = offset / CD_USER_DATA;
        auto within = static_cast<size_t>(offset % CD_USER_DATA);
        size_t count = (within + len + CD_USER_DATA - 1) / CD_USER_DATA;
        if (count > CHUNK_SECTORS)
            count = CHUNK_SECTORS;
        if (l.sectors >= 0) {
            if (s >= l.sectors) {
                if (s == l.sectors && l.cut_bytes != 0)
                    report_sector(t, s, "cut short by the end of the file (%d of %d bytes): its blocks are a read error",
                                  l.cut_bytes, l.sector_bytes);
                return 2;
            }
            if (static_cast<int64_t>(count) > l.sectors - s)
                count = static_cast<size_t>(l.sectors - s);
        }
        int64_t at = 0;
        if (__builtin_add_overflow(l.first_sector, s, &at) || __builtin_mul_overflow(at, int64_t{l.sector_bytes}, &at))
            return 1;
        host_piece pieces[3 * CHUNK_SECTORS];
        uint8_t* data[CHUNK_SECTORS];
        size_t want = within + len;
        for (size_t k = 0; k < count; ++k) {
            uint8_t* raw = t.raw.get() + k * sb;
            bool whole = (k > 0 || within == 0) && want >= (k + 1) * CD_USER_DATA;
            data[k] = whole ? out + (k * CD_USER_DATA - within) : raw + data_at;
            pieces[3 * k] = {raw, data_at};
            pieces[3 * k + 1] = {data[k], CD_USER_DATA};
            pieces[3 * k + 2] = {raw + data_at + CD_USER_DATA, sb - data_at - CD_USER_DATA};
        }
        if (int rc = host_read_pieces(const_cast<host_file*>(t.f), at, pieces, static_cast<int>(3 * count)); rc != 0)
            return rc;
        for (size_t k = 0; k < count; ++k, ++s) {
            if (!sector_sound(t, s, t.raw.get() + k * sb, data[k]))
                return 2;
            size_t take = CD_USER_DATA - within;
            if (take > len)
                take = len;
            if (data[k] + within != out)  // else it was read into its place
                std::memcpy(out, data[k] + within, take);
            out += take;
            offset += static_cast<int64_t>(take);
            len -= take;
            within = 0;
        }
    }
    return 0;
}

}  // namespace

bool raw_sector_layout(const uint8_t* raw, size_t len, int64_t file_bytes, int64_t at, sector_layout* out)
{
    if (len < 16 || std::memcmp(raw, SYNC, sizeof SYNC) != 0)
        return false;
    sector_layout l;
    l.mode = raw[15];
    // The next sector's sync tells the size; a track of one sector, the file's length.
    bool at_2352 = len >= CD_SECTOR + 12 && std::memcmp(raw + CD_SECTOR, SYNC, sizeof SYNC) == 0;
    bool at_2448 = len >= CD_SECTOR_SUBCHANNEL + 12 && std::memcmp(raw + CD_SECTOR_SUBCHANNEL, SYNC, sizeof SYNC) == 0;
    int64_t rest = file_bytes >= at ? file_bytes - at : -1;
    if (at_2352)
        l.sector_bytes = CD_SECTOR;
    else if (at_2448 || (rest > 0 && rest % CD_SECTOR_SUBCHANNEL == 0 && rest % CD_SECTOR != 0))
        l.sector_bytes = CD_SECTOR_SUBCHANNEL;
    else
        l.sector_bytes = CD_SECTOR;
    l.first_sector = at / l.sector_bytes;
    if (rest >= 0) {
        l.sectors = rest / l.sector_bytes;
        l.cut_bytes = static_cast<int>(rest % l.sector_bytes);
    }
    *out = l;
    return true;
}

bool image_translate(host_file* f, const sector_layout& layout, const char* name)
{
    translation* t = nullptr;
    for (translation& slot : translations)
        if (!slot.f && !t)
            t = &slot;
    if (!t) {
        errno = ENOMEM;
        return false;
    }
    t->raw.reset(new (std::nothrow) uint8_t[size_t{CHUNK_SECTORS} * CD_SECTOR_SUBCHANNEL]);
    if (!t->raw) {
        errno = ENOMEM;
        return false;
    }
    t->layout = layout;
    t->name = name;
    t->reported.clear();
    t->f = f;
    if (layout.sector_bytes == CD_USER_DATA || layout.mode == 0)
        return true;
    // Programs that write no EDC leave its field zero: a track whose first sectors all read so
    // is read without the check.
    int64_t n = layout.sectors < 0 || layout.sectors > CHUNK_SECTORS ? CHUNK_SECTORS : layout.sectors;
    const sector_form& sf = form_of(layout);
    bool any = false;
    for (int64_t s = 0; s < n && !any; ++s) {
        uint8_t edc[4];
        if (host_read_at(f, (layout.first_sector + s) * layout.sector_bytes + sf.edc_at, edc, sizeof edc) != 0)
            break;
        any = load_le32(edc) != 0;
    }
    t->layout.edc = any;
    return true;
}

void image_forget(const host_file* f)
{
    if (translation* t = find(f)) {
        *t = translation{};
    }
}

const sector_layout* image_layout(const host_file* f)
{
    translation* t = find(f);
    return t ? &t->layout : nullptr;
}

int image_read_at(host_file* f, int64_t offset, void* buf, size_t len)
{
    translation* t = find(f);
    if (!t)
        return host_read_at(f, offset, buf, len);
    return translated_read(*t, offset, static_cast<uint8_t*>(buf), len);
}

int image_descriptor(const host_file* f)
{
    return find(f) ? -1 : host_file_descriptor(f);
}

bool image_in_place(const host_file* f)
{
    return !find(f);
}

void print_image_layout(FILE* out, const host_file* f)
{
    const translation* t = find(f);
    if (!t)
        return;
    const sector_layout& l = t->layout;
    std::fprintf(out, "image: %s: ", t->name.c_str());
    if (l.sector_bytes == CD_USER_DATA)
        std::fprintf(out, "sectors of 2048 bytes");
    else
        std::fprintf(out, "raw CD sectors of %d bytes, mode %d%s, user data at byte %d", l.sector_bytes, l.mode,
                     l.mode == 2 ? " form 1" : "", form_of(l).data_at);
    std::fprintf(out, ", first data sector %lld", static_cast<long long>(l.first_sector));
    if (l.sectors >= 0)
        std::fprintf(out, ", %lld sectors", static_cast<long long>(l.sectors));
    if (l.cut_bytes != 0)
        std::fprintf(out, " and %d bytes of one cut short", l.cut_bytes);
    if (l.sector_bytes != CD_USER_DATA)
        std::fprintf(out, l.edc ? ", EDC checked\n" : ", EDC not checked (the dump's EDC fields are zero)\n");
    else
        std::fprintf(out, "\n");
}
