// The tree walk: the library's current directory goes down with it, so that each directory is
// opened as "." and its entries are found by their own names.
#include "shell/tree_walk.h"

#include <cstring>
#include <unordered_set>

#include "efs/efs_file.h"

namespace {

// Inodes of the directories this walk has entered: an entry leading to one of them again (only a
// damaged image names a directory twice) is not walked into. Remembering the whole walk, not just
// the directories above, stops cycles and also chains of directories that each name the next
// several times, whose paths multiply at every level and would never finish.
std::unordered_set<uint32_t> entered;

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
                walk_entry e{};
                e.name = de->d_name;
                e.name_len = de->d_namlen;
                e.ino = de->d_ino;
                e.stat_ok = fs_istat(de->d_ino, &e.st) == 0;
                bool is_dir = e.stat_ok && (e.st.st_mode & S_TYPE_MASK) == S_TYPE_DIR;
                if (is_dir && (std::strcmp(e.name, ".") == 0 || std::strcmp(e.name, "..") == 0))
                    continue;
                e.entered = is_dir && entered.count(e.ino) != 0;
                if (sink.entry(sink.ctx, e, saved, name) == WALK_INTO && is_dir && !e.entered) {
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

}  // namespace

void walk_tree(const char* path, const walk_sink& sink)
{
    entered.clear();
    walk_dir(path, sink);
    entered.clear();
}
