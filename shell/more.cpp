// The more command: a file of the image fed through the host pager.
#include "common/report.h"
#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "shell/shell.h"

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

int do_more(const char* path)
{
    std::fflush(stdout);
    std::fflush(stderr);
    FILE* pager = host_popen_write("less");
    if (!pager) {
        report_errno("popen");
        return 1;
    }
    fs_file* s = fs_fopen(path, "rb");
    if (!s) {
        fs_perror("fs_fopen");
        host_pclose(pager);
        return 1;
    }
    // Whole extents go into the pipe, from the stream's own buffer. Writes after the user has left
    // the pager fail quietly; the file is still read to its end.
    fs_run r;
    while (fs_next_run(s, &r)) {
        const uint8_t* bytes = fs_read_run(s, &r, nullptr);
        if (!bytes)
            break;
        (void)std::fwrite(bytes, 1, r.bytes, pager);
    }
    report_early_end(s);
    fs_fclose(s);
    host_pclose(pager);
    return 0;
}
