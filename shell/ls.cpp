// The ls command: short and long listings of the current directory.
#include <cstring>

#include "common/date_text.h"
#include "common/report.h"

#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
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

// Right-aligns the decimal text of v in a field of at least width characters (at most 8), as "%*d"
// does. It may write spaces up to 8 bytes from p even past the field: the line goes on over them.
char* put_int(char* p, long v, int width)
{
    std::memcpy(p, "        ", 8);
    unsigned long u = v < 0 ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    int len = v < 0 ? 2 : 1;
    for (unsigned long rest = u; rest >= 10; rest /= 10)
        ++len;
    char* end = p + (len < width ? width : len);
    char* q = end;
    do {
        *--q = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (v < 0)
        *--q = '-';
    return end;
}

// The long list is gathered into whole blocks before it goes to the unbuffered error stream, and
// its fields are laid out by hand: printf's format parsing was most of the time of a long listing.
struct listing {
    char buf[64 * 1024];
    size_t used = 0;
    void flush()
    {
        std::fwrite(buf, 1, used, stderr);
        used = 0;
    }
    // One line as "%s%6d %.4o %2d %5d %5d %7d %-12.12s %s\n" would print it.
    void line(const char* mark, const fs_statbuf& st, const char* when, const char* name)
    {
        size_t name_len = std::strlen(name);
        if (sizeof buf - used < 96 + name_len)
            flush();
        if (sizeof buf < 96 + name_len)
            return;
        char* p = buf + used;
        *p++ = mark[0];
        *p++ = mark[1];
        p = put_int(p, st.st_ino, 6);
        *p++ = ' ';
        unsigned perm = st.st_mode & 0xFFFu;
        for (int shift = 9; shift >= 0; shift -= 3)
            *p++ = static_cast<char>('0' + ((perm >> shift) & 7u));
        *p++ = ' ';
        p = put_int(p, st.st_nlink, 2);
        *p++ = ' ';
        p = put_int(p, st.st_uid, 5);
        *p++ = ' ';
        p = put_int(p, st.st_gid, 5);
        *p++ = ' ';
        p = put_int(p, st.st_size, 7);
        *p++ = ' ';
        size_t w = strnlen(when, 12);
        std::memcpy(p, when, w);
        p += w;
        for (; w < 12; ++w)
            *p++ = ' ';
        *p++ = ' ';
        std::memcpy(p, name, name_len);
        p += name_len;
        *p++ = '\n';
        used = static_cast<size_t>(p - buf);
    }
};

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
    host_tzset();
    char date[DATE_TEXT_SIZE];
    char when[13] = {};
    int32_t last_mtime = 0;
    bool have_date = false;
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
        // Month, day, hours and minutes; a date the host cannot convert keeps the column's width.
        // Files made together share their times, and the conversion is most of a line's work.
        if (!have_date || st.st_mtime != last_mtime) {
            const char* text = date_text(st.st_mtime, date);
            std::memcpy(when, text ? text + 4 : "??? ?? ??:??", 12);
            last_mtime = st.st_mtime;
            have_date = true;
        }
        out.line(type_mark(st.st_mode), st, when, e->d_name);
    }
    out.flush();
    // The listing stops at the first damaged block, as it always has; what lies past it is not
    // lost, and the user hears where it is to be had.
    if (fs_dir_incomplete(d)) {
        ++failures_reported;
        char here[PATH_BUF];
        std::fprintf(stderr, "%s: the listing ends at damage; cp -r, tar and manifest take the entries past it\n",
                     fs_getcwd(here) ? here : path);
    }
    fs_closedir(d);
}
