// Copies out of the image onto the host, as cp makes them: one file, a tree, and what they share
// (the byte mover, the records of a tree copy).
#pragma once
#include <cstddef>
#include <cstdint>

#include "host/host_io.h"

struct fs_file;

// How a file or tree is copied.
constexpr int CP_RECURSIVE = 1;
constexpr int CP_PERM = 2;
constexpr int CP_VERBOSE = 4;
// The command copies this one file (no tree): its status line tells the share done and the time left.
constexpr int CP_ONE_FILE = 8;
// Not an option: the target is the one the user named, though the source's inode is given.
constexpr int CP_NAMED_TARGET = 16;

// Image file source into host file target: 0 when copied, 1 when it failed (reported).
// ino: the source's inode when the caller has it from a directory entry (0: look source up).
// ino (given by a tree copy's directory walk) also makes it return NAME_TAKEN, having written
// nothing, when the host takes target for a file this copy wrote from another inode, or when a
// link, pipe or device is there.
constexpr int NAME_TAKEN = -1;
int copy_file(const char* source, const char* target, int flags, uint32_t ino = 0);
int copy_dir(const char* name, const char* target, int flags);

// After a file has been read through: "fs_fread" and the reason when its data ended early.
void report_early_end(const fs_file* s);

// Files at least this long have their space set aside before the copy (where the host does that
// without writing it). The size comes from the image and may claim more than the extents hold:
// what the copy does not fill is given back when the file is closed.
constexpr size_t RESERVE_FROM = 1024 * 1024;

// Every byte of the stream into the host file. Extents that lie back to back in the image for a
// megabyte or more are shared with the file where the host can (no byte copied); everything else
// is read and gathered. After a failed write (reported; the result is false) the file is still
// read to its end, so that a later read error is reported.
bool move_bytes(fs_file* s, host_out* out);

// The records of a tree copy: what it wrote into each host directory it is filling, with the image
// inode each came from. Cleared when a tree copy starts; a level per directory being filled.
void start_records();
void enter_level();
void leave_level();
void record_written(const host_id& id, uint32_t ino);
// Whether the host object at `host` is one this copy wrote from another inode than ino.
bool written_from_another(const char* host, uint32_t ino);

// The host file for a file of a tree copy. A name not yet taken costs one call, which is what a
// large tree is made of; a taken one is a copy to overwrite, unless this copy wrote it from another
// inode or it is no regular file (a link, pipe or device: null, *taken set, nothing touched).
host_out* create_in_tree(const char* target, uint32_t ino, bool* taken, host_refusal* why);

// Copies the image directory `name` (relative to the library's current directory, or absolute)
// into host directory `host` of the current host directory (null: into the current host
// directory itself, which keeps its own mode and times); target names the host directory's
// parent for the verbose line.
// ino, when not 0, is the directory's inode, walked by number: `name` then only names it in reports.
int copy_tree(const char* name, const char* host, const char* target, int flags, uint32_t ino = 0);
