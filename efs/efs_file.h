// EFS reader: file streams and directory streams over one table of 16 slots.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "efs/efs_io.h"

struct host_out;

constexpr int STREAM_SLOTS = 16;
constexpr int STREAM_BUF_BLOCKS = 248;
constexpr uint32_t STREAM_BUF_SIZE = STREAM_BUF_BLOCKS * 512;  // 126976

struct fs_dirent {
    uint32_t d_ino;
    uint16_t d_reclen;
    uint16_t d_namlen;
    char d_name[256];
};

// What a salvaging directory walk passed over: damaged blocks and extents, counted, and the first
// of them with its block number within the directory and what was wrong (an fs_errno code).
struct fs_dir_damage {
    uint32_t count;
    uint32_t block;
    int32_t code;
};

// Blocks [first, end) of the partition that one extent of a directory covers.
struct dir_span {
    uint32_t first;
    uint32_t end;
};

// The walk state of a directory stream opened by inode, which passes over damage.
struct dir_salvage {
    uint32_t taken = 0;   // extents taken so far, read or passed over
    uint64_t reach = 0;   // where the last extent taken ends in the directory: where the next should start
    uint32_t ext_start = 0;  // the directory block number of the extent in the buffer
    // The extents read so far, sorted and disjoint: at most one per extent of the inode (32767).
    std::vector<dir_span> spans;
    bool block_ok = false;  // the block at cur was looked at and holds entries
    bool ended = false;
    bool resuming = false;  // the next extent read is entered at resume_block, resume_slot
    uint32_t resume_block = 0;
    int32_t resume_slot = 0;
    fs_dir_damage damage{};
};

struct fs_file {
    struct fs* fs;  // null when the slot is free
    std::unique_ptr<disk_inode> inode;
    uint32_t avail;
    uint8_t* cur;
    std::unique_ptr<uint8_t[]> buf;  // STREAM_BUF_SIZE bytes
    int32_t ext_index;
    int32_t ind_block;
    int32_t ind_slot;
    int32_t ext_count;
    std::unique_ptr<extent[]> ind_buf;  // EXTENTS_PER_BLOCK decoded extents
    uint32_t osize;
    fs_dirent dirent;
    int32_t slot;
    bool in_order;  // the image is being read ahead for this stream's runs
    // Directory streams: the walk ended at a block without the directory magic that lies within
    // the directory's size, so entries may be missing though every extent before it was read.
    bool cut_short;
    std::unique_ptr<dir_salvage> salvage;  // directory streams opened by inode
};

using fs_dir = fs_file;

extern fs_file stream_table[STREAM_SLOTS];

fs_file* fs_fopen(const char* path, const char* mode);
// Opens inode n as a stream: a directory walk has the number already, and a lookup by name
// for every entry would make copying a large directory take time in the square of its size.
fs_file* fs_iopen(uint32_t n);
// fs_iopen into a record of the caller's own, outside the table (a lookup that must work however
// many streams are open); false, fs_errno set, with nothing held. fs_fclose releases it.
bool fs_iopen_into(fs_file* s, uint32_t n);
uint32_t fs_fread(void* dst, uint32_t size, uint32_t count, fs_file* s);
int fs_fclose(fs_file* s);
// The extent reader shared with directory streams: the next extent read whole into buf (the
// stream's own). Its byte count, or -1 at the end of the extents or on a failure.
int32_t fs_next_extent(uint8_t* buf, fs_file* s);
// Takes the stream's next extent, direct or indirect, as it stands (no order kept): false at the
// end of the extents or when an indirect block cannot be read (fs_errno set).
bool fs_take_extent(fs_file* s, extent* ex);

// One run of a file's bytes: the stream's next extent, where it lies in the image and how many of
// its bytes belong to the file. fs_fread hands runs out piece by piece; a caller that moves whole
// runs (cp into a host file, more into the pager) takes them with the calls below instead.
struct fs_run {
    extent ex;
    int64_t offset;   // byte position of the extent in the image
    uint32_t length;  // bytes of the extent (and of those joined to it)
    uint32_t bytes;   // bytes of the file in it: the length, less what lies past the size
    int32_t joined;   // extents after ex joined to the run by fs_join_run
};
// Takes the next run of a stream whose buffered bytes are all consumed; resets fs_errno as
// fs_fread does. False when there is none: the stream is then at its end exactly as fs_fread
// leaves it (osize one past the bytes delivered; fs_errno 0 when the extents ran out, else the
// failure's code).
bool fs_next_run(fs_file* s, fs_run* r);
// Reads the run's extent whole, as fs_fread would, into `into` (room for STREAM_BUF_SIZE bytes;
// null: the stream's buffer, valid until the next call on the stream) and delivers the run's
// bytes, the first r->bytes bytes there. The run is one as fs_next_run gave it, not joined. Null
// when the read fails, which ends the stream as in fs_fread.
const uint8_t* fs_read_run(fs_file* s, const fs_run* r, uint8_t* into);
// Moves the stream past the run without reading it, for a reader that only follows the extents
// (to learn whether they reach the size).
void fs_skip_run(fs_file* s, const fs_run* r);
// Reads bytes [from, from + len) of the run (within r->bytes) straight from the image into dst,
// for a reader that takes a file in pieces that do not fall on extents (the kernel reading a
// mounted file); the stream does not move. False, fs_errno set, when the read fails or the run's
// extent does not lie whole in the image (a stream reading it whole would fail there).
bool fs_read_run_part(const fs_file* s, const fs_run* r, uint32_t from, uint32_t len, uint8_t* dst);
// Joins to the run the extents after it that lie back to back with it in the image, each in order
// and whole in the file (the last may end past the size), for a copy in one piece. They are only
// looked at: fs_copy_run takes them, and without it fs_next_run hands them out one by one.
void fs_join_run(const fs_file* s, fs_run* r);
// Delivers the run's bytes (joined or not) straight into the end of a host file, shared by the
// host (host_copy_range). False, with the stream and the file as they were, when the host
// cannot or the run's last extent is not all readable; the caller then reads the run's extents.
bool fs_copy_run(fs_file* s, const fs_run* r, host_out* o);

// Two kinds of directory stream. Opened by fs_opendir or fs_iopendir (the prompt's listings), a
// stream stops at damage as listings always have: the first block of each extent is walked
// without looking at its magic, and the walk ends at the first further block without it, at an
// extent out of order or unreadable. Opened by fs_iopendir_at (tree walks, the mount), a stream
// salvages: one rule, the same for fs_isearch, decides which blocks count. Extents are taken in
// order; one of no blocks is passed over; one that does not start where the one before ended
// (a gap, or bytes in two extents) is damage but is read; one that covers blocks of the
// partition an earlier extent of the directory covered, lies past the file system or cannot be
// read is damage and is passed over. Of each extent read, every block with the directory magic
// counts and its slots are walked; a block without it is passed over, damage when it lies
// within the directory's size. Blocks the size promises that no extent holds, and an indirect
// block that cannot be read, are damage too. Every block is read at most once, so a walk's work
// is bounded by the file system.
fs_dir* fs_opendir(const char* path);
// fs_opendir for a directory known by its inode number.
fs_dir* fs_iopendir(uint32_t n);
// The salvaging stream of directory inode n opened at a position fs_telldir gave on a salvaging
// stream of the same directory (0: its start): from there it gives the same entries and meets
// the same damage as that stream did. Damage before the position is not counted again.
fs_dir* fs_iopendir_at(uint32_t n, uint64_t pos);
// The position of the entry fs_readdir gives next on a salvaging stream (0: the start; any other
// stream says 0). Opaque; valid for fs_iopendir_at while the image is unchanged.
uint64_t fs_telldir(const fs_dir* d);
fs_dirent* fs_readdir(fs_dir* d);
// Once fs_readdir has returned null: whether entries may be missing. A salvaging stream: whether
// the walk passed over damage (fs_dir_damaged says what; the mount ends its listing in an error
// after the entries). Any other: whether the walk
// stopped short of the directory's size (damage, even where no read failed: extents that end
// before the size), rather than at its end; a walk stopped at damage after the whole size lost
// nothing.
bool fs_dir_incomplete(const fs_dir* d);
// The damage a salvaging stream passed over so far; null when none (and for other streams).
const fs_dir_damage* fs_dir_damaged(const fs_dir* d);
int fs_closedir(fs_dir* d);
// Says on stderr, once for a directory, what its salvaging walk passed over: "PATH: block N:
// MESSAGE" with the first damaged block (its number within the directory), and ", K damaged in
// all" when there were others.
void fs_report_damage(const char* path, const fs_dir_damage& d);
// Looks up one name in directory inode dir as its salvaging stream lists it: the first entry of
// that name in listing order. 0 with *ino set; -1 with fs_errno FS_ENOENT when the directory was
// walked whole without damage and none names it, FS_ENOTDIR, or the code of the damage met.
int fs_isearch(uint32_t dir, const char* name, uint32_t* ino);
