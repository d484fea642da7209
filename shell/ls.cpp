// The ls command: short and long listings of the current directory.
#include <cstring>

#include "common/date_text.h"

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

// Right-aligns the decimal text of v in a field of at least width characters, as "%*d" does.
char* put_int(char* p, long v, int width)
{
    char digits[24];
    int n = 0;
    unsigned long u = v < 0 ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (v < 0)
        digits[n++] = '-';
    for (int pad = width - n; pad > 0; --pad)
        *p++ = ' ';
    while (n > 0)
        *p++ = digits[--n];
    return p;
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
        char text[DATE_TEXT_SIZE];
        const char* date = date_text(st.st_mtime, text);
        // Month, day, hours and minutes; a date the host cannot convert keeps the column's width.
        out.line(type_mark(st.st_mode), st, date ? date + 4 : "??? ?? ??:??", e->d_name);
    }
    out.flush();
    fs_closedir(d);
}
