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
// inode 1 takes node 2), except for a directory met under a second name: the kernel keeps one
// name per directory node and refuses a directory inside itself, so every further place of a
// directory gets a node of its own, an alias, with the same inode number in its attributes.

// The node for the entry `name` of directory node `parent` that names inode ino; counts one
// lookup of an alias (the kernel's count, given back with node_forget).
fuse_ino_t node_for_entry(fuse_ino_t parent, const char* name, uint32_t ino, bool is_dir);
// The inode a node stands for; 0 for a node this mount never handed out.
uint32_t inode_of(fuse_ino_t node);
void node_forget(fuse_ino_t node, uint64_t lookups);

// --- Attributes -------------------------------------------------------------------------------

// The host stat record of inode n; 0, or an errno value (EIO when the inode is damaged).
int stat_inode(uint32_t n, struct stat* st);
// The errno value for the library's fs_errno after a failed call.
int host_error();

// --- Lookups ------------------------------------------------------------------------------------

// The inode that `name` in directory inode dir names: 0 with *ino set, 0 with *ino 0 when there is
// no such entry, or an errno value. A name reads the same whether the kernel learnt it from a
// listing or asks for it: a lookup that meets damage asks the listing instead.
int lookup_entry(uint32_t dir, const char* name, uint32_t* ino);

// --- Directory listings -------------------------------------------------------------------------

struct listing_entry {
    uint32_t ino;
    std::string name;
};

// A directory's entries taken whole when it is opened: the stream's slot is given back at once,
// so a walk holding many directories open (find, cp -a, rsync) never runs out of slots.
struct listing {
    uint32_t ino;
    std::vector<listing_entry> entries;
    bool damaged;  // the walk stopped short of the directory's size: the listing ends in EIO
};

// The entries of directory inode n, in the image's order, without names that cannot be host names
// (reported once per directory with report_names). Null with an errno value in *err.
listing* listing_open(uint32_t n, int* err);
void listing_close(listing* l);

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
