// The ls command: short and long listings of the current directory.
#include <ctime>

#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "shell/shell.h"

namespace {

const char* type_mark(uint16_t mode)
{
    switch (mode & 0xF000) {
    case 0x1000: return "p ";
    case 0x2000: return "c ";
    case 0x4000: return "d ";
    case 0x6000: return "b ";
    case 0x8000: return "- ";
    case 0xA000: return "l ";
    case 0xC000: return "s ";
    default: return "? ";
    }
}

}  // namespace

void do_ls(const char* path, const char* long_format)
{
    fs_dir* d = fs_opendir(path);
    if (!d) {
        std::fprintf(stderr, "ls %s\n", path);
        fs_perror("opendir");
        return;
    }
    while (fs_dirent* e = fs_readdir(d)) {
        if (!long_format) {
            std::printf("%10d %24s\n", static_cast<int>(e->d_ino), e->d_name);
            continue;
        }
        fs_statbuf st;
        if (fs_istat(e->d_ino, &st) != 0) {
            fs_perror("stat");
            continue;
        }
        time_t t = st.st_mtime;
        const char* date = std::ctime(&t);
        // A date the host cannot convert keeps the column's width.
        const char* when = date ? date + 4 : "??? ?? ??:??";
        std::fputs(type_mark(st.st_mode), stderr);
        std::fprintf(stderr, "%6d %.4o %2d %5d %5d %7d %-12.12s %s\n", static_cast<int>(st.st_ino),
                     static_cast<unsigned>(st.st_mode & 0xFFF), st.st_nlink, st.st_uid, st.st_gid,
                     static_cast<int>(st.st_size), when, e->d_name);
    }
    fs_closedir(d);
}
