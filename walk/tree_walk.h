// The walk over a directory tree of the image, shared by the commands that take a whole tree out
// (cp -r into a host directory, tar into an archive): directory order, "." and ".." passed over,
// every directory entered at most once.
#pragma once
#include <cstddef>
#include <cstdint>

#include "efs/efs_file.h"

struct walk_entry {
    const char* name;  // up to its first NUL
    size_t name_len;   // the length the directory gives it (more than strlen: the name holds a NUL)
    uint32_t ino;
    bool stat_ok;      // false: the inode could not be read (fs_errno says why), st is not filled
    bool entered;      // a directory this walk has entered before (a cycle, or a second name)
    fs_statbuf st;
};

// What a sink does with an entry: only a directory that has not been entered is walked into.
enum walk_step { WALK_NEXT, WALK_INTO };

// What the walk tells its sink. `name` is a directory's name as the walk enters it (the path given
// at the top, an entry's name below); `above` the library's current directory before entering it.
struct walk_sink {
    void* ctx;
    // A directory is about to be entered.
    void (*arrive)(void* ctx, const char* name);
    // The library cannot enter it (fs_errno says why).
    void (*cannot_enter)(void* ctx, const char* name);
    // The library stands in it (self: its inode); false: its entries are not walked.
    bool (*enter)(void* ctx, const char* name, uint32_t self);
    // Its entries cannot be read (fs_errno says why).
    void (*unreadable)(void* ctx, const char* name);
    // Its listing passed over damage (once, after enter; the entries of every intact block are
    // still offered).
    void (*damaged)(void* ctx, const char* name, const fs_dir_damage& d);
    // One entry of directory `name`.
    walk_step (*entry)(void* ctx, const walk_entry& e, const char* above, const char* name);
    // Its entries are done (after enter said true).
    void (*leave)(void* ctx, const char* name);
    // Back in directory `name` from its entry e, walked into.
    void (*back)(void* ctx, const walk_entry& e, const char* above, const char* name);
    // True once the walk is to end (the sink's output failed): no further entry is offered.
    bool (*stop)(void* ctx);
};

// Walks the directory at path and every directory below it the sink walks into, with one
// directory stream open per level: as deep as the library's stream slots and current-directory
// path reach. The library's current directory follows the walk and is as before at the end.
// Directories are listed by salvaging streams (damage is `damaged`, after their entries) and
// entered by inode: no name is looked up below path, so a damaged "." or ".." hinders nothing.
void walk_tree(const char* path, const walk_sink& sink);
// The same walk at any depth, by inode, the library's current directory left alone: below the
// first levels each directory's stream is closed while the trees below it are walked and opened
// again at its position after, so that nothing of a directory's size is held. `above` is given
// as "". A directory whose listing passed over damage is `damaged` before its entries are walked.
void walk_tree_listed(const char* name, uint32_t ino, const walk_sink& sink);
