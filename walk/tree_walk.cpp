// The tree walk. Held open, the library's current directory goes down with it, so that each
// directory is opened as "." and its entries are found by their own names; read whole, each
// directory is opened by its inode and closed before its entries are walked.
#include "walk/tree_walk.h"

#include <cstring>
#include <string>
#include <unordered_set>

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

// ino: the directory's inode as its parent's listing gave it, entered without a lookup; 0 for
// the top, found by its path.
void walk_dir(const char* name, uint32_t ino, const walk_sink& sink)
{
    sink.arrive(sink.ctx, name);
    char saved[PATH_BUF];
    fs_getcwd(saved);
    const fs* f = fs_current();
    uint32_t saved_ino = f ? static_cast<uint32_t>(f->cwd_inode) : 0;
    if ((ino != 0 ? fs_ichdir(ino, name) : fs_chdir(name)) != 0) {
        sink.cannot_enter(sink.ctx, name);
        return;
    }
    uint32_t self = f ? static_cast<uint32_t>(f->cwd_inode) : 0;
    if (sink.enter(sink.ctx, name, self)) {
        fs_dir* d = fs_iopendir_at(self, 0);
        if (!d) {
            sink.unreadable(sink.ctx, name);
        } else {
            entered.insert(self);
            bool stopped = false;
            for (;;) {
                if ((stopped = sink.stop(sink.ctx)))
                    break;
                fs_dirent* de = fs_readdir(d);
                if (!de)
                    break;
                walk_entry e;
                if (!take_entry(de->d_name, de->d_namlen, de->d_ino, &e))
                    continue;
                if (sink.entry(sink.ctx, e, saved, name) == WALK_INTO && walk_into(e)) {
                    walk_dir(e.name, e.ino, sink);
                    sink.back(sink.ctx, e, saved, name);
                }
            }
            // Said once the listing has ended: the damage is met as the walk goes.
            if (const fs_dir_damage* dmg = fs_dir_damaged(d); dmg && !stopped)
                sink.damaged(sink.ctx, name, *dmg);
        }
        sink.leave(sink.ctx, name);
        if (d)
            fs_closedir(d);
    }
    fs_setcwd(saved, saved_ino);
}

// Levels of the walk by inode that keep their stream open while below them is walked; deeper
// ones close it and open it again at its position: the table's 16 slots are shared with the
// files the sink reads, and nothing of a directory's size is held.
constexpr int HELD_LEVELS = 8;

void walk_listed(const char* name, uint32_t self, const walk_sink& sink, int depth)
{
    sink.arrive(sink.ctx, name);
    if (!sink.enter(sink.ctx, name, self))
        return;
    // A first pass through the listing: what it passes over is said before the entries there are.
    fs_dir* d = fs_iopendir_at(self, 0);
    if (d) {
        entered.insert(self);
        while (fs_readdir(d)) {
        }
        if (const fs_dir_damage* dmg = fs_dir_damaged(d))
            sink.damaged(sink.ctx, name, *dmg);
        fs_closedir(d);
        d = fs_iopendir_at(self, 0);
    }
    if (!d)
        sink.unreadable(sink.ctx, name);
    while (d && !sink.stop(sink.ctx)) {
        fs_dirent* de = fs_readdir(d);
        if (!de)
            break;
        // The name as the directory gives it (d_namlen bytes, which may hold a NUL), kept while
        // the stream's slot serves others.
        std::string entry(de->d_name, de->d_namlen);
        walk_entry e;
        if (!take_entry(entry.c_str(), entry.size(), de->d_ino, &e))
            continue;
        if (sink.entry(sink.ctx, e, "", name) != WALK_INTO || !walk_into(e))
            continue;
        bool held = depth < HELD_LEVELS;
        uint64_t at = fs_telldir(d);
        if (!held)
            fs_closedir(d);
        walk_listed(e.name, e.ino, sink, depth + 1);
        sink.back(sink.ctx, e, "", name);
        if (!held && !(d = fs_iopendir_at(self, at)))
            sink.unreadable(sink.ctx, name);
    }
    if (d)
        fs_closedir(d);
    sink.leave(sink.ctx, name);
}

}  // namespace

void walk_tree(const char* path, const walk_sink& sink)
{
    entered.clear();
    walk_dir(path, 0, sink);
    entered.clear();
}

void walk_tree_listed(const char* name, uint32_t ino, const walk_sink& sink)
{
    entered.clear();
    walk_listed(name, ino, sink, 0);
    entered.clear();
}
