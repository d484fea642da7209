// The tree walk: directory streams opened by inode, so that neither a path nor the library's
// current directory limits how deep a tree goes, and names never need looking up again.
#include "shell/tree_walk.h"

#include <cstring>
#include <unordered_set>

#include "efs/efs_file.h"

namespace {

// Inodes of the directories entered during this walk: one named again (only a damaged image does
// that) is not walked twice. Remembering the whole walk, not just the directories above, stops
// cycles and also chains of directories that each name the next several times, whose paths would
// multiply at every level.
std::unordered_set<uint32_t> entered;

void walk_dir(uint32_t dir, const walk_entry* self, const walk_sink& sink)
{
    fs_dir* d = fs_iopen(dir);
    if (!d) {
        sink.unreadable(sink.ctx, self);
        return;
    }
    entered.insert(dir);
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
        if (sink.entry(sink.ctx, e) == WALK_INTO && is_dir && !e.entered) {
            walk_dir(e.ino, &e, sink);
            sink.leave(sink.ctx, e);
        }
    }
    fs_closedir(d);
}

}  // namespace

void walk_tree(uint32_t dir, const walk_sink& sink)
{
    entered.clear();
    walk_dir(dir, nullptr, sink);
    entered.clear();
}
