// The tree walk. Held open, the library's current directory goes down with it, so that each
// directory is opened as "." and its entries are found by their own names; read whole, each
// directory is opened by its inode and closed before its entries are walked.
#include "walk/tree_walk.h"

#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "efs/efs_file.h"
#include "efs/fs_error.h"

namespace {

// Inodes of the directories this walk has entered: an entry leading to one of them again (only a
// damaged image names a directory twice) is not walked into. Remembering the whole walk, not just
// the directories above, stops cycles and also chains of directories that each name the next
// several times, whose paths multiply at every level and would never finish.
std::unordered_set<uint32_t> entered;

// One entry as the directory gives it (its name NUL-terminated after name_len bytes), stated;
// false for "." and "..", which are passed over.
bool take_entry(const char* name, size_t name_len, uint32_t ino, walk_entry* e)
{
    *e = walk_entry{};
    e->name = name;
    e->name_len = name_len;
    e->ino = ino;
    e->stat_ok = fs_istat(ino, &e->st) == 0;
    bool is_dir = e->stat_ok && (e->st.st_mode & S_TYPE_MASK) == S_TYPE_DIR;
    if (is_dir && (std::strcmp(e->name, ".") == 0 || std::strcmp(e->name, "..") == 0))
        return false;
    e->entered = is_dir && entered.count(e->ino) != 0;
    return true;
}

bool walk_into(const walk_entry& e)
{
    return e.stat_ok && (e.st.st_mode & S_TYPE_MASK) == S_TYPE_DIR && !e.entered;
}

void walk_dir(const char* name, const walk_sink& sink)
{
    sink.arrive(sink.ctx, name);
    char saved[PATH_BUF];
    fs_getcwd(saved);
    if (fs_chdir(name) != 0) {
        sink.cannot_enter(sink.ctx, name);
        return;
    }
    const fs* f = fs_current();
    uint32_t self = f ? static_cast<uint32_t>(f->cwd_inode) : 0;
    if (sink.enter(sink.ctx, name, self)) {
        fs_dir* d = fs_opendir(".");
        if (!d) {
            sink.unreadable(sink.ctx, name);
        } else {
            entered.insert(self);
            while (!sink.stop(sink.ctx)) {
                fs_dirent* de = fs_readdir(d);
                if (!de)
                    break;
                walk_entry e;
                if (!take_entry(de->d_name, de->d_namlen, de->d_ino, &e))
                    continue;
                if (sink.entry(sink.ctx, e, saved, name) == WALK_INTO && walk_into(e)) {
                    walk_dir(e.name, sink);
                    sink.back(sink.ctx, e, saved, name);
                }
            }
        }
        sink.leave(sink.ctx, name);
        if (d)
            fs_closedir(d);
    }
    fs_chdir(saved);
}

// A name as the directory gives it: d_namlen bytes, which may hold a NUL.
struct listed_name {
    std::string name;
    uint32_t ino;
};

void walk_listed(const char* name, uint32_t self, const walk_sink& sink)
{
    sink.arrive(sink.ctx, name);
    if (!sink.enter(sink.ctx, name, self))
        return;
    std::vector<listed_name> names;
    fs_dir* d = fs_iopendir(self);
    if (!d) {
        sink.unreadable(sink.ctx, name);
    } else {
        entered.insert(self);
        fs_errno = FS_OK;
        while (fs_dirent* de = fs_readdir(d))
            names.push_back({std::string(de->d_name, de->d_namlen), de->d_ino});
        // Entries may be missing: said before those there are, which the sink still takes.
        if (fs_dir_incomplete(d)) {
            if (fs_errno == FS_OK)
                fs_errno = FS_EREAD;
            sink.unreadable(sink.ctx, name);
        }
        fs_closedir(d);
    }
    // Frames stay small: a walk as deep as an archive path allows is some 2,000 levels.
    for (const listed_name& n : names) {
        if (sink.stop(sink.ctx))
            break;
        walk_entry e;
        if (!take_entry(n.name.c_str(), n.name.size(), n.ino, &e))
            continue;
        if (sink.entry(sink.ctx, e, "", name) == WALK_INTO && walk_into(e)) {
            walk_listed(e.name, e.ino, sink);
            sink.back(sink.ctx, e, "", name);
        }
    }
    sink.leave(sink.ctx, name);
}

}  // namespace

void walk_tree(const char* path, const walk_sink& sink)
{
    entered.clear();
    walk_dir(path, sink);
    entered.clear();
}

void walk_tree_listed(const char* name, uint32_t ino, const walk_sink& sink)
{
    entered.clear();
    walk_listed(name, ino, sink);
    entered.clear();
}
