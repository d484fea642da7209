// cp -r: the tree walk's sink that fills host directories, step by step with the walk.
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/report.h"
#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "walk/copy.h"
#include "walk/progress.h"
#include "walk/tree_walk.h"
#include "walk/work.h"

namespace {

// One directory being copied: the host directory it fills and how its copy went.
struct cp_level {
    const char* host;          // null: the target directory itself
    host_place* back = nullptr;  // the host working directory to come back to
    host_id here{};
    bool carry = false;        // -p: self_st goes onto the host directory once it is full
    fs_statbuf self_st{};
    // The copy's outcome as the directory above sees it: the last entry's result, 2 (not entered in
    // the image), 5 (no host directory) or NAME_TAKEN (something else is there).
    int result = 0;
};

struct cp_run {
    int flags;
    const char* target;  // for the verbose line of the top directory
    const char* top_host;
    std::vector<cp_level> levels;
    int last = 0;       // the outcome of the directory just left,
    host_id last_here{};  // and the host directory it filled
};

// Makes the host directory (or reuses one left by an earlier copy) and enters it, only when it is
// a real directory: 0 (*id its id), NAME_TAKEN when a link or anything else is there, 5 when it
// cannot be had, named with the host's reason so that no subtree goes missing unseen.
int enter_host_dir(const char* host, host_id* id)
{
    int rc = host_enter_dir(host, id);
    if (rc < 0)
        report_errno(host);
    return rc == 0 ? 0 : rc > 0 ? NAME_TAKEN : 5;
}

void on_arrive(void* ctx, const char* name)
{
    auto* c = static_cast<cp_run*>(ctx);
    bool top = c->levels.empty();
    progress_hide();
    if (c->flags & CP_VERBOSE)
        std::fprintf(stderr, "copy_dir %s %s\n", name, top ? c->target : ".");
    c->levels.push_back(cp_level{top ? c->top_host : name});
}

void on_cannot_enter(void* ctx, const char* name)
{
    auto* c = static_cast<cp_run*>(ctx);
    fs_perror(name);
    c->last = 2;
    c->last_here = {};
    c->levels.pop_back();
}

bool on_enter(void* ctx, const char* name, uint32_t self)
{
    auto* c = static_cast<cp_run*>(ctx);
    cp_level& l = c->levels.back();
    if (l.host && (c->flags & CP_PERM)) {
        l.carry = fs_istat(self, &l.self_st) == 0;
        if (!l.carry)
            fs_perror(name);
    }
    // The way back is kept before going in: ".." of a host directory reached through a symbolic
    // link (the target the user named may be one) is not the directory the copy came from.
    if (l.host) {
        l.back = host_here();
        int rc = 5;
        if (!l.back)
            report_errno(l.host);
        else if ((rc = enter_host_dir(l.host, &l.here)) != 0)
            (void)host_go_back(l.back);  // still where it was: nothing to undo
        if (!l.back || rc != 0) {
            c->last = rc;
            c->last_here = {};
            c->levels.pop_back();
            return false;
        }
    }
    // This directory's records go on top of those of the directories above and go when it is left.
    enter_level();
    return true;
}

void on_unreadable(void* ctx, const char* name)
{
    progress_hide();
    std::fprintf(stderr, "opendir %s\n", name);
    fs_perror(name);
    static_cast<cp_run*>(ctx)->levels.back().result = 1;
}

// The library stands in the directory: its path is the one the report names.
void on_damaged(void* ctx, const char* /*name*/, const fs_dir_damage& d)
{
    progress_hide();
    char here[PATH_BUF];
    fs_report_damage(fs_getcwd(here) ? here : "?", d);
    static_cast<cp_run*>(ctx)->levels.back().result = 1;
}

void not_copied(const char* above, const char* name, const char* entry)
{
    progress_hide();
    std::fprintf(stderr, "%s/%s/%s not copied\n", above, name, entry);
}

walk_step on_entry(void* ctx, const walk_entry& e, const char* above, const char* name)
{
    auto* c = static_cast<cp_run*>(ctx);
    if (!e.stat_ok) {
        fs_perror(e.name);
        return WALK_NEXT;
    }
    uint16_t type = e.st.st_mode & S_TYPE_MASK;
    bool copyable = (type == S_TYPE_DIR && !e.entered) || type == S_TYPE_REG;
    // Short-circuit: a name that is no host name is never looked up on the host.
    bool ok = copyable && host_name_ok(e.name) && e.name_len == std::strlen(e.name) &&
              !(type == S_TYPE_DIR && written_from_another(e.name, e.ino));
    if (ok && type == S_TYPE_DIR)
        return WALK_INTO;
    int r = ok ? copy_file(e.name, e.name, c->flags, e.ino) : NAME_TAKEN;
    if (r == NAME_TAKEN)
        not_copied(above, name, e.name);
    else
        c->levels.back().result = r;
    return WALK_NEXT;
}

void on_leave(void* ctx, const char* /*name*/)
{
    auto* c = static_cast<cp_run*>(ctx);
    cp_level& l = c->levels.back();
    leave_level();
    bool left = true;
    if (l.back && host_go_back(l.back) != 0) {
        report_errno("..");
        left = false;
    }
    // Mode and times go on last, once the directory is full: a read-only directory of the image
    // can still be filled, and filling it does not overwrite the modification time just set. They
    // go onto the directory the copy filled, never onto what a link there would lead to.
    if (l.carry && left && host_set_dir_perm(l.host, l.here, l.self_st.st_mode, l.self_st.st_atime, l.self_st.st_mtime) != 0)
        report_errno(l.host);
    c->last = l.result;
    c->last_here = l.here;
    c->levels.pop_back();
}

void on_back(void* ctx, const walk_entry& e, const char* above, const char* name)
{
    auto* c = static_cast<cp_run*>(ctx);
    if (c->last != NAME_TAKEN && c->last != 5)
        record_written(c->last_here, e.ino);
    if (c->last == NAME_TAKEN)
        not_copied(above, name, e.name);
    else
        c->levels.back().result = c->last;
}

bool on_stop(void*)
{
    return work_stopped();
}

}  // namespace

int copy_tree(const char* name, const char* host, const char* target, int flags, uint32_t ino)
{
    start_records();
    cp_run c{flags, target, host, {}, 0};
    walk_sink sink{&c, on_arrive, on_cannot_enter, on_enter, on_unreadable, on_damaged, on_entry, on_leave, on_back, on_stop};
    if (ino != 0)
        walk_tree_listed(name, ino, sink);
    else
        walk_tree(name, sink);
    return c.last;
}
