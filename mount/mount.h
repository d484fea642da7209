// efsh-mount: the current file system of the reader library served read-only through libfuse's
// low-level interface, one request at a time.
#pragma once
#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>

#include <cstdint>
#include <string>
#include <vector>

extern const char* mount_name;  // the program's name in messages

// Entries and attributes never change under the mount: the kernel may keep them as long as it likes.
constexpr double CACHE_SECONDS = 365.0 * 24 * 3600;

// What the front end reports on standard error, besides failures at start: names left out of
// listings (with -f or -d).
extern bool report_names;

extern const fuse_lowlevel_ops efs_ops;

// --- Node ids ---------------------------------------------------------------------------------
// The kernel's node id of an inode is its number (the root, inode 2, is the kernel's node 1, and
// inode 1 takes node 2). A directory is shown under one name only, and so has one place, except
// the root: it has none in the mount, and an entry naming it is a loop every walk must be able to
// see. The kernel keeps one name per directory node and refuses a directory inside itself, so
// each such entry gets a node of its own, an alias, with the root's inode number in its attributes.

// The node for the entry `name` of directory node `parent` that names inode ino; counts one
// lookup of an alias (the kernel's count, given back with node_forget).
fuse_ino_t node_for_entry(fuse_ino_t parent, const char* name, uint32_t ino);
// The inode a node stands for; 0 for a node this mount never handed out.
uint32_t inode_of(fuse_ino_t node);
void node_forget(fuse_ino_t node, uint64_t lookups);
// Aliases alive: the kernel's to give back.
size_t alias_count();

// Says, once per inode and with report_names, why inode n fails every call on it (EIO).
void report_inode(uint32_t n, const std::string& why);

// --- Attributes -------------------------------------------------------------------------------

// The host stat record of inode n; 0, or an errno value (EIO when the inode is damaged).
int stat_inode(uint32_t n, struct stat* st);
// The errno value for the library's fs_errno after a failed call.
int host_error();

// --- Lookups ------------------------------------------------------------------------------------

// The inode that `name` in directory inode dir names, as its listing shows it: 0 with *ino set, 0
// with *ino 0 when there is no such entry (or the listing leaves it out), or an errno value (EIO:
// the directory is damaged and no entry of the name was found). A name reads the same whether the
// kernel learnt it from a listing or asks for it.
int lookup_entry(uint32_t dir, const char* name, uint32_t* ino);
// The first usable entry of that name in the listing of dir: 0 with *ino set, ENOENT, or an errno
// value (EIO: the listing met damage before it found it).
int lookup_listed(uint32_t dir, const char* name, uint32_t* ino);
// Whether inode ino is shown as the entry `name` of directory dir. Any but a directory is; a
// directory has one name in the mount, the first entry naming it in the directory its ".." names
// (where that fails, in the first directory by inode number that names it), whether or not its
// attributes can be had; the root, under the first entry of each directory that names it.
bool dir_shown_at(uint32_t dir, const char* name, uint32_t ino);

// --- Directory listings -------------------------------------------------------------------------
// A listing is walked afresh from the position the kernel hands back for each request, so that no
// stream is held between requests and its memory does not grow with the directory. It leaves out
// what no lookup finds and what a host directory cannot hold: names no host can hold, entries
// naming inode 0, every entry of a name but the first, and every name of a directory but the one
// it is shown under (each said once per directory with report_names).

struct fs_file;
struct listing_kept;

// A directory stream and the position of the entry it gives next.
struct dir_cursor {
    fs_file* d = nullptr;
    uint64_t pos = 0;
};

struct listing_walk {
    uint32_t dir = 0;
    dir_cursor stream;
    listing_kept* kept = nullptr;
    bool report = false;
    bool ended = false;  // the directory's entries ran out
};

struct listing_entry {
    uint32_t ino;
    const char* name;  // valid until the next call on the walk
    uint64_t at, next;  // the positions of the entry and of the one after it
    int stat_err;       // stat_inode's answer for the entry's inode, in st
    struct stat st;
};

// Starts a walk of directory inode dir at position pos (0: its start; else one `next` gave);
// 0, or an errno value.
int listing_start(listing_walk* w, uint32_t dir, uint64_t pos);
// The next entry shown; false at the end.
bool listing_next(listing_walk* w, listing_entry* e);
// The entry went into the reply: the next walk of the listing goes on after it.
void listing_keep(listing_walk* w, const listing_entry& e);
// Ends the walk; true when it ran out and the directory met damage anywhere: the listing ends in EIO.
bool listing_end(listing_walk* w);

// Forgets what was learnt of the current file system's directories, for another one.
void listing_reset();

// --- File data ----------------------------------------------------------------------------------

// Where bytes of a file lie in the image.
struct image_piece {
    int64_t offset;
    uint32_t length;
};

// Up to size bytes of inode n from offset, never past its size: copied into dst, or (dst null)
// found in the image as pieces in file order, each in an extent that lies whole in the image, for
// the kernel to move itself. The byte count, or -1 with an errno value in *err when the bytes
// asked for cannot all be had.
int64_t read_inode_data(uint32_t n, uint64_t offset, size_t size, uint8_t* dst, std::vector<image_piece>* pieces,
                        int* err);
// Gives back the streams kept for reading on.
void close_data_streams();
