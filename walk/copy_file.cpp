// One file of the image into one host file: what cp does for a file, alone or in a tree.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "common/report.h"
#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "walk/copy.h"
#include "walk/progress.h"
#include "walk/work.h"

void report_early_end(const fs_file* s)
{
    // A stream read to its end leaves osize one past the size; less means the data stopped early.
    if (static_cast<int64_t>(s->osize) <= s->inode->di_size) {
        // Extents that end before the size leave no code; say "Read error", not a stale host errno.
        if (fs_errno == 0)
            fs_errno = FS_EREAD;
        fs_perror("fs_fread");
    }
}

int copy_file(const char* source, const char* target, int flags, uint32_t ino)
{
    if (!(flags & CP_ONE_FILE))
        progress_file(source);
    if (flags & CP_VERBOSE) {
        progress_hide();
        std::fprintf(stderr, "copy_file %s %s\n", source, target);
    }
    // The image file is opened first, so a source that cannot be read never truncates a host file.
    fs_file* s = ino != 0 ? fs_iopen(ino) : fs_fopen(source, "rb");
    if (!s) {
        fs_perror("fs_fopen");
        return 1;
    }
    bool taken = false;
    host_refusal why = HOST_ERRNO;
    bool in_tree = ino != 0 && !(flags & CP_NAMED_TARGET);
    host_out* out = in_tree ? create_in_tree(target, ino, &taken, &why) : host_create(target, HOST_NAMED, &why);
    if (!out) {
        if (why == HOST_IS_IMAGE || !taken)
            report_not_made(target, why, "fopen");
        if (why == HOST_IS_IMAGE)
            errno = 0;  // said in full: the prompt adds no reason of its own
        fs_fclose(s);
        return taken ? NAME_TAKEN : 1;
    }
    // cp -p takes the mode and times from the stream's own copy of the inode: no second read.
    fs_statbuf st;
    fs_stat_of(*s->inode, ino, &st);
    if (flags & CP_ONE_FILE)
        progress_one(source, static_cast<uint64_t>(std::max<int64_t>(st.st_size, 0)));
    if (st.st_size >= static_cast<int64_t>(RESERVE_FROM))
        host_reserve(out, static_cast<uint64_t>(st.st_size));
    bool write_failed = !move_bytes(s, out);
    bool stopped = work_stopped();
    if (!stopped)
        report_early_end(s);
    fs_fclose(s);
    // A copy that cannot be whole goes: only the regular file this copy made or cut to nothing (a
    // device or pipe is only closed), and never one left looking complete.
    if (write_failed || stopped) {
        if (flags & CP_ONE_FILE)
            work.size = st.st_size;  // one file: the line tells how far it got
        bool regular = host_out_regular(out);
        bool removed = host_discard_out(out, target) == 0 && regular;
        if (stopped) {
            report_stopped(removed ? std::string(target) + " removed" : std::string());
        } else if (removed) {
            progress_hide();
            std::fprintf(stderr, "%s removed: the copy is not whole\n", target);
        }
        errno = 0;  // said in full: the prompt adds no reason of its own
        return 1;
    }
    work_file_done();
    // Only the permission bits: set-user-ID, set-group-ID and sticky bits from an untrusted image
    // are never handed to the host, nor the owner and group. They go onto the file the copy
    // opened, whatever its name leads to by now.
    if ((flags & CP_PERM) && host_out_set_perm(out, st.st_mode & 0777u, st.st_atime, st.st_mtime) != 0)
        report_errno(target);
    if (host_close_out(out) != 0 && !write_failed)
        report_errno("fclose");
    return 0;
}

int copy_dir(const char* name, const char* target, int flags)
{
    return copy_tree(name, name, target, flags);
}

