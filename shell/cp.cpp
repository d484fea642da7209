// The cp command: single files and whole trees copied out of the image onto the host.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "common/report.h"
#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "shell/getopt.h"
#include "shell/shell.h"
#include "walk/copy.h"
#include "walk/progress.h"
#include "walk/work.h"

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
    uint32_t source_ino = find_source(source, &st);
    if (source_ino == 0)
        return 3;
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
