// What a file that is no disk image holds, said on the line after "open disk: ...": the kinds of
// file people take for disk images (compressed and archived images, emulator images, other file
// systems), each with what to do. Only the few blocks each check needs are read.
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <string>

#include "common/byteorder.h"
#include "host/host_io.h"
#include "volume/image.h"
#include "volume/volume.h"

namespace {

char note[1024];

bool starts(const uint8_t* p, size_t len, const char* magic, size_t n, size_t at = 0)
{
    return len >= at + n && std::memcmp(p + at, magic, n) == 0;
}

// The command that unpacks a file of one kind; on Windows 7-Zip unpacks them all.
struct packed_kind {
    const char* magic;
    size_t magic_len;
    size_t at;
    const char* what;
    const char* posix_command;  // the name follows
    const char* then;
};
const packed_kind packed[] = {
    {"\x1F\x8B", 2, 0, "a gzip-compressed file", "gzip -dk", "decompress it first"},
    {"\xFD" "7zXZ\0", 6, 0, "an xz-compressed file", "xz -dk", "decompress it first"},
    {"BZh", 3, 0, "a bzip2-compressed file", "bzip2 -dk", "decompress it first"},
    {"\x28\xB5\x2F\xFD", 4, 0, "a zstd-compressed file", "zstd -d", "decompress it first"},
    {"PK\x03\x04", 4, 0, "a zip archive", "unzip", "unpack it first"},
    {"PK\x05\x06", 4, 0, "a zip archive", "unzip", "unpack it first"},
    {"7z\xBC\xAF\x27\x1C", 6, 0, "a 7-Zip archive", "7z x", "unpack it first"},
    {"ustar", 5, 257, "a tar archive", "tar -xf", "unpack it first"},
};

// The name without its last extension when that is ext (any case), for the name of a product.
std::string without(const char* name, const char* ext)
{
    std::string s = name;
    size_t n = std::strlen(ext);
    if (s.size() <= n)
        return s;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != std::tolower(static_cast<unsigned char>(ext[i])))
            return s;
    s.resize(s.size() - n);
    return s;
}

// What a MAME CHD image holds, from the tags of its metadata: 'h' a hard disk, 'c' a CD (or a
// GD-ROM), 'd' a DVD, 0 when it cannot be told.
char chd_kind(host_file* f, const uint8_t* head, size_t len)
{
    if (len < 64)
        return 0;
    uint32_t version = load_be32(head + 12);
    int64_t meta = version >= 5 ? static_cast<int64_t>(load_be64(head + 48))
                   : version >= 3 ? static_cast<int64_t>(load_be64(head + 36))
                                  : -1;
    for (int i = 0; i < 16 && meta > 0; ++i) {
        uint8_t entry[16];
        if (host_read_at(f, meta, entry, sizeof entry) != 0)
            return 0;
        if (starts(entry, 16, "GDDD", 4))
            return 'h';
        if (starts(entry, 16, "CHT2", 4) || starts(entry, 16, "CHTR", 4) || starts(entry, 16, "CHCD", 4) ||
            starts(entry, 16, "CHGT", 4) || starts(entry, 16, "CHGD", 4))
            return 'c';
        if (starts(entry, 16, "DVD ", 4))
            return 'd';
        meta = static_cast<int64_t>(load_be64(entry + 8));
    }
    return 0;
}

void chd_note(host_file* f, const char* name, const uint8_t* head, size_t len)
{
    std::string base = without(name, ".chd");
    switch (chd_kind(f, head, len)) {
    case 'h':
        open_note("%s: a MAME CHD image of a hard disk: convert it first (chdman extracthd -i %s -o %s.img), then open %s.img",
                  name, name, base.c_str(), base.c_str());
        break;
    case 'c':
        open_note("%s: a MAME CHD image of a CD: convert it first (chdman extractcd -i %s -o %s.cue), then open %s.cue",
                  name, name, base.c_str(), base.c_str());
        break;
    case 'd':
        open_note("%s: a MAME CHD image of a DVD: convert it first (chdman extractdvd -i %s -o %s.iso), then open %s.iso",
                  name, name, base.c_str(), base.c_str());
        break;
    default:
        open_note("%s: a MAME CHD image: convert it first with chdman (extracthd -i %s -o %s.img for a hard disk, "
                  "extractcd -i %s -o %s.cue for a CD), then open what it makes",
                  name, name, base.c_str(), name, base.c_str());
    }
}

// A raw-sector image is named by its form as well: the file is a CD's, its contents are not a disk.
std::string in_form(const host_file* f)
{
    const sector_layout* l = image_layout(f);
    if (!l || l->sector_bytes == CD_USER_DATA)
        return "";
    return " (in raw CD sectors of " + std::to_string(l->sector_bytes) + " bytes)";
}

}  // namespace

void open_note(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(note, sizeof note, format, ap);
    va_end(ap);
}

void clear_open_note()
{
    note[0] = '\0';
}

bool open_note_given()
{
    return note[0] != '\0';
}

void print_open_note(FILE* out)
{
    if (note[0])
        std::fprintf(out, "%s\n", note);
}

void identify_file(host_file* f, const char* name, int64_t size)
{
    uint8_t head[1024] = {};
    size_t len = size < 0 || size > static_cast<int64_t>(sizeof head) ? sizeof head : static_cast<size_t>(size);
    if (image_read_at(f, 0, head, len) != 0)
        return;
    const char* sgi = "efsh reads SGI disks and their EFS file systems";
    std::string form = in_form(f);
    for (const packed_kind& k : packed) {
        if (!starts(head, len, k.magic, k.magic_len, k.at) || !form.empty())
            continue;
#ifdef _WIN32
        open_note("%s: %s: %s (with 7-Zip: 7z x %s), then open what it holds", name, k.what, k.then, name);
#else
        open_note("%s: %s: %s (%s %s), then open what it holds", name, k.what, k.then, k.posix_command, name);
#endif
        return;
    }
    if (starts(head, len, "MComprHD", 8) && form.empty()) {
        chd_note(f, name, head, len);
        return;
    }
    if (starts(head, len, "XFSB", 4)) {
        open_note("%s: a bare XFS file system%s (an IRIX partition copied alone): %s; the host's XFS driver may read it",
                  name, form.c_str(), sgi);
        return;
    }
    if (starts(head, len, "EFI PART", 8, 512)) {
        open_note("%s: a PC disk with a GPT partition table%s: %s", name, form.c_str(), sgi);
        return;
    }
    uint8_t volume_descriptor[8];
    if (image_read_at(f, 16 * 2048, volume_descriptor, sizeof volume_descriptor) == 0 &&
        std::memcmp(volume_descriptor + 1, "CD001", 5) == 0) {
        open_note("%s: an ISO 9660 file system%s with no SGI volume header: %s; the host reads ISO 9660 itself", name,
                  form.c_str(), sgi);
        return;
    }
    if (len >= 512 && head[510] == 0x55 && head[511] == 0xAA) {
        open_note("%s: a PC disk with an MBR partition table (or a PC boot sector)%s: %s", name, form.c_str(), sgi);
        return;
    }
    if (const sector_layout* l = image_layout(f); l && !form.empty())
        open_note("%s: raw CD sectors of %d bytes that hold no SGI volume header: %s", name, l->sector_bytes, sgi);
}
