// The cp command: single files and whole trees copied out of the image onto the host.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "common/report.h"
#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "walk/copy.h"
#include "shell/getopt.h"
#include "shell/progress.h"
#include "shell/shell.h"
#include "shell/work.h"

namespace {

// The host name a cp -r source is copied under: its last component. An empty text for the root,
// "." or "..", whose entries go straight into the target directory; null when the component is
// no valid host name, so that nothing of it is copied.
const char* host_name_of(const char* source)
{
    const char* end = source + std::strlen(source);
    while (end > source && end[-1] == '/')
        --end;
    const char* start = end;
    while (start > source && start[-1] != '/')
        --start;
    static char name[256];
    size_t len = static_cast<size_t>(end - start);
    if (len >= sizeof name)
        return nullptr;
    std::memcpy(name, start, len);
    name[len] = '\0';
    if (len == 0 || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return "";
    return host_name_ok(name) ? name : nullptr;
}

}  // namespace

void cp_usage()
{
    std::fprintf(stderr, "Use: cp [-rpv] fs-file unix-file\n");
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
        if (why == HOST_IS_IMAGE) {
            progress_hide();
            std::fprintf(stderr, "%s: the image being read is never written\n", target);
            errno = 0;  // said in full: the prompt adds no reason of its own
        } else if (!taken) {
            report_errno("fopen");
        }
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

int do_cp(int argc, char** argv)
{
    efsh::getopt_reset();
    int flags = 0;
    int c;
    while ((c = efsh::getopt(argc, argv, "rpv")) != -1) {
        switch (c) {
        case 'r': flags |= CP_RECURSIVE; break;
        case 'p': flags |= CP_PERM; break;
        case 'v': flags |= CP_VERBOSE; break;
        default:
            cp_usage();
            return 1;
        }
    }
    if (argc - efsh::optind != 2) {
        std::fprintf(stderr, "%d:%d\n", efsh::optind, argc);
        cp_usage();
        return 2;
    }
    const char* source = argv[efsh::optind];
    const char* target = argv[efsh::optind + 1];
    fs_statbuf st;
    uint32_t source_ino = fs_word_inode(source);
    if (source_ino == 0 || fs_istat(source_ino, &st) != 0) {
        fs_perror(source);
        return 3;
    }
    if (!(flags & CP_RECURSIVE))
        return copy_file(source, target, flags | CP_ONE_FILE | CP_NAMED_TARGET, source_ino);

    int kind = host_path_kind(target);
    bool exists = kind >= 0;
    bool is_dir = (st.st_mode & S_TYPE_MASK) == S_TYPE_DIR;
    if (is_dir && !exists) {
        std::fprintf(stderr, "%s: directory, target %s does not exist\n", source, target);
        return 3;
    }
    if (is_dir && kind != 1) {
        std::fprintf(stderr, "%s: directory, target %s not directory\n", source, target);
        return 4;
    }
    if (!is_dir && !exists) {
        std::fprintf(stderr, "-r makes no sense here\n");
        return 0;
    }
    if (!is_dir && kind != 1) {
        std::fprintf(stderr, "target %s exists\n", target);
        return 6;
    }
    // The way back is the host's own, not a path: a working directory of any length will do.
    host_place* home = host_here();
    if (!home) {
        report_errno("getcwd");
        return 5;
    }
    if (host_chdir(target) != 0) {
        int reason = errno;
        (void)host_go_back(home);
        errno = reason;
        return 5;
    }
    const char* host = host_name_of(source);
    int r = 0;
    if (!host || (!is_dir && !*host)) {
        r = NAME_TAKEN;
    } else if (is_dir) {
        // A directory named by its number has no path to walk down: it is walked by inode.
        r = copy_tree(source, *host ? host : nullptr, ".", flags, fs_is_inode_word(source) ? source_ino : 0);
    } else {
        // A file copied into a directory under its own name is one entry of a tree copy.
        r = copy_file(source, host, flags | CP_ONE_FILE, source_ino);
    }
    progress_hide();
    if (r == NAME_TAKEN)
        std::fprintf(stderr, "%s not copied\n", source);
    if (host_go_back(home) != 0)
        report_errno(".");
    // Stopped between two files: the tree's directories are as the walk left them on its way out.
    if (work_stopped()) {
        report_stopped();
        errno = 0;
        return 1;
    }
    if (!is_dir)
        std::fprintf(stderr, "-r makes no sense here\n");
    return 0;
}
