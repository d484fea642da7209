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

// The long list is gathered into whole blocks before it goes to the unbuffered error stream.
struct listing {
    char buf[64 * 1024];
    size_t used = 0;
    void flush()
    {
        std::fwrite(buf, 1, used, stderr);
        used = 0;
    }
    void line(const char* mark, const fs_statbuf& st, const char* when, const char* name)
    {
        if (sizeof buf - used < 600)
            flush();
        int n = std::snprintf(buf + used, sizeof buf - used, "%s%6d %.4o %2d %5d %5d %7d %-12.12s %s\n", mark,
                              static_cast<int>(st.st_ino), static_cast<unsigned>(st.st_mode & 0xFFF), st.st_nlink,
                              st.st_uid, st.st_gid, static_cast<int>(st.st_size), when, name);
        if (n > 0)
            used += static_cast<size_t>(n) < sizeof buf - used ? static_cast<size_t>(n) : sizeof buf - used - 1;
    }
};

// ctime's text without its per-call look at the time zone: localtime_r keeps the zone read once.
const char* date_text(int32_t seconds, char* out)
{
    time_t t = seconds;
    struct tm tm;
    if (!localtime_r(&t, &tm) || !asctime_r(&tm, out))
        return nullptr;
    return out;
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
    static listing out;
    tzset();
    while (fs_dirent* e = fs_readdir(d)) {
        if (!long_format) {
            std::printf("%10d %24s\n", static_cast<int>(e->d_ino), e->d_name);
            continue;
        }
        fs_statbuf st;
        if (fs_istat(e->d_ino, &st) != 0) {
            out.flush();
            fs_perror("stat");
            continue;
        }
        char text[64];
        const char* date = date_text(st.st_mtime, text);
        // A date the host cannot convert keeps the column's width.
        out.line(type_mark(st.st_mode), st, date ? date + 4 : "??? ?? ??:??", e->d_name);
    }
    out.flush();
    fs_closedir(d);
}
