// The image as the reader sees it: a plain copy of the disk in 512-byte blocks. A CD dumped in raw
// sectors (2,352 bytes, or 2,448 with subchannel data) holds that copy as the user data of its
// sectors, 2,048 bytes each; it is read through a translation that checks every sector it reads.
// Every read of an image's bytes, efsh's and efsh-mount's, goes through image_read_at.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct host_file;

constexpr int CD_SECTOR = 2352;
constexpr int CD_SECTOR_SUBCHANNEL = 2448;
constexpr int CD_USER_DATA = 2048;

// Where a track of CD sectors lies in its file and how its sectors are laid out.
struct sector_layout {
    int sector_bytes = 0;       // 2352, 2448, or 2048 (user data only: no header, nothing to check)
    int mode = 0;               // 1, 2 (form 1), or 0 for 2048-byte sectors
    int64_t first_sector = 0;   // the track's first sector in the file
    int64_t sectors = -1;       // whole sectors of the track in the file; -1 when the size is unknown
    int cut_bytes = 0;          // bytes of a last sector that the file cuts short (0: none)
    bool edc = true;            // the sectors' EDC is checked (false: the dump wrote none)
};

// The layout of raw sectors whose first one (at byte `at` of the file) is in raw[0..len): its
// sector size and mode, or false when raw does not begin with a sector's sync pattern.
bool raw_sector_layout(const uint8_t* raw, size_t len, int64_t file_bytes, int64_t at, sector_layout* out);

// Reads image f through the layout from now on; name (kept) is the file's name for reports.
// False when no slot or buffer is left (errno ENOMEM).
bool image_translate(host_file* f, const sector_layout& layout, const char* name);
// Forgets f's translation (before the file is closed).
void image_forget(const host_file* f);
// f's translation, or null when the image is the file's bytes as they are.
const sector_layout* image_layout(const host_file* f);

// As host_read_at, in the image's own bytes: 0, 1 (seek error), or 2 (read error, and for a CD
// sector that cannot be trusted to hold what its place says: a header of another mode, a missing
// sync, a sector cut short; each reported once on stderr). A sector whose EDC does not match is
// reported once and its bytes delivered.
int image_read_at(host_file* f, int64_t offset, void* buf, size_t len);

// The descriptor through which the kernel may move the image's bytes itself (efsh-mount's spliced
// replies): host_file_descriptor, or -1 for a translated image, whose bytes lie elsewhere in its file.
int image_descriptor(const host_file* f);

// Whether the image's bytes lie in its file as they are, so that the host may copy a range of them
// into another file itself (host_copy_range).
bool image_in_place(const host_file* f);

// The layout line of the -d report ("image: ..."); nothing for an image read as it is.
void print_image_layout(FILE* out, const host_file* f);

// The data track of a cue sheet (sheet, open, named path): the file its first FILE ... BINARY with
// a data track names, relative to the sheet's folder, open and translated as the track's type
// says. Null when there is none or it cannot be opened: errno set (the host's reason), or
// fs_errno FS_EBADMAGIC; either way with an open note naming the sheet and its line.
host_file* cue_open(host_file* sheet, const char* path);
// Whether a file named path that begins with head[0..len) is a cue sheet.
bool is_cue_sheet(const char* path, const uint8_t* head, size_t len);

// The line that says what a file that is no disk image is (printed after "open disk: ..."); each
// failed open sets it anew or clears it.
void open_note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void clear_open_note();
// Whether a note is waiting to be printed.
bool open_note_given();
// Says (as an open note) what file f, of size bytes (-1: unknown), holds, when it is a kind
// efsh knows but does not read; reads only a few of its blocks.
void identify_file(host_file* f, const char* name, int64_t size);

// CRC-32 of the CD's error detection code (polynomial 0x8001801B, bits reflected, no inversion),
// continuing from crc (0 at the start).
uint32_t cd_edc(uint32_t crc, const uint8_t* p, size_t n);
// The same through tables alone, as on a processor without carry-less multiplication.
uint32_t cd_edc_by_tables(uint32_t crc, const uint8_t* p, size_t n);
