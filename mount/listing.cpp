// Directory listings taken whole at open, and the names that cannot be shown.
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_set>

#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "mount/mount.h"

namespace {

// Directories whose left-out names were reported already: the kernel may list one many times.
std::unordered_set<uint32_t> reported;

void report_left_out(uint32_t dir, const char* name, const char* why)
{
    std::fprintf(stderr, "%s: directory inode %u: entry \"", mount_name, dir);
    for (const char* p = name; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\')
            std::fprintf(stderr, "\\x%02X", c);
        else
            std::fputc(c, stderr);
    }
    std::fprintf(stderr, "\" %s, left out\n", why);
}

}  // namespace

listing* listing_open(uint32_t n, int* err)
{
    fs_dir* d = fs_iopendir(n);
    if (!d) {
        *err = host_error();
        return nullptr;
    }
    listing* l = new (std::nothrow) listing{n, {}, false};
    if (!l) {
        fs_closedir(d);
        *err = ENOMEM;
        return nullptr;
    }
    bool dot = false, dotdot = false, first_report = reported.insert(n).second;
    while (fs_dirent* e = fs_readdir(d)) {
        // The directory's own "." and ".." are shown once each, as on any host.
        bool is_dot = std::strcmp(e->d_name, ".") == 0, is_dotdot = std::strcmp(e->d_name, "..") == 0;
        bool shown = is_dot ? !dot : is_dotdot ? !dotdot : host_name_ok(e->d_name) && e->d_namlen == std::strlen(e->d_name);
        dot |= is_dot;
        dotdot |= is_dotdot;
        // An entry naming inode 0 names nothing: no lookup finds it, and the hosts' readdir skips
        // such an entry as a free one.
        bool names_inode = e->d_ino != 0;
        if (!shown || !names_inode) {
            if (report_names && first_report)
                report_left_out(n, e->d_name, shown ? "names no inode" : "cannot be a host name");
            continue;
        }
        l->entries.push_back({e->d_ino, e->d_name});
    }
    l->damaged = fs_dir_incomplete(d);
    fs_closedir(d);
    return l;
}

void listing_close(listing* l)
{
    delete l;
}
