// The walk over a directory tree of the image, shared by the commands that take a whole tree out:
// directory order, "." and ".." passed over, every directory entered at most once.
#pragma once
#include <cstddef>
#include <cstdint>

#include "efs/efs_io.h"

struct walk_entry {
    const char* name;  // up to its first NUL
    size_t name_len;   // the length the directory gives it (more than strlen: the name holds a NUL)
    uint32_t ino;
    bool stat_ok;      // false: the inode could not be read (fs_errno says why), st is not filled
    bool entered;      // a directory this walk has entered before (a cycle, or a second name)
    fs_statbuf st;
};

// What a sink does with an entry: only a directory is walked into.
enum walk_step { WALK_NEXT, WALK_INTO };

struct walk_sink {
    void* ctx;
    walk_step (*entry)(void* ctx, const walk_entry& e);
    // After the entries of a directory the sink walked into (not after the top one).
    void (*leave)(void* ctx, const walk_entry& dir);
    // The directory's entries cannot be read: fs_errno tells why (top: the first directory).
    void (*unreadable)(void* ctx, const walk_entry* dir);
    // True once the walk is to end (the sink's output failed): no further entry is offered.
    bool (*stop)(void* ctx);
};

// Walks the directory with inode dir and every directory below it the sink walks into, one
// directory stream open per level.
void walk_tree(uint32_t dir, const walk_sink& sink);
