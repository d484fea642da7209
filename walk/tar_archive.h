// The tar command's archive writer: pax interchange entries (ustar headers, with an extended header
// where a field does not fit and for the access and change times), into a host file, plain or gzip.
#pragma once
#include <cstdint>
#include <string>

struct host_out;
struct fs_file;
struct fs_statbuf;

struct tar_archive;

// What an entry is, as tar types it.
enum tar_type : char {
    TAR_FILE = '0',
    TAR_HARD_LINK = '1',
    TAR_SYMLINK = '2',
    TAR_CHAR = '3',
    TAR_BLOCK = '4',
    TAR_DIR = '5',
    TAR_FIFO = '6',
};

// Starts an archive into out (which stays the caller's); gzip: compressed at level 6. Null when
// the compressor cannot be had (no zlib in this build, or no memory): *why says which.
tar_archive* tar_open(host_out* out, bool gzip, const char** why);

// True when this build can write gzip.
bool tar_has_gzip();

// One header for an entry named `name` (a directory's with its trailing '/'), of the given type,
// with the inode's owner, group, twelve permission bits and times; size is the data to follow
// (files), link the target (links). False once a write has failed.
bool tar_header(tar_archive* a, const std::string& name, tar_type type, const fs_statbuf& st, uint64_t size,
                const std::string& link = {});

// The data of the file entry just started: every run of the stream, then zeros up to `size` when
// the stream ends early, then padding to the block. False once a write has failed.
bool tar_file_data(tar_archive* a, fs_file* s, uint64_t size);

// Ends the archive (two zero blocks, padding to the record, the gzip trailer) and flushes it; the
// host file is not closed. False when a write has failed, now or before.
bool tar_finish(tar_archive* a);

// True once a write into the host file has failed (errno as it left it).
bool tar_failed(const tar_archive* a);

// Releases the writer (after tar_finish, or to give up).
void tar_close(tar_archive* a);

// The tree walk into an archive: `source` (inode ino, stat st) as the entry named by its last
// component and, for a directory, its tree; the root's entries from the root down. Every entry
// that cannot go in is reported and the walk goes on; a failed write ends it.
void archive_tree(tar_archive* archive, bool verbose, const char* source, uint32_t ino, const fs_statbuf& st);
