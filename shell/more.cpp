// The more command: a file of the image fed through the host pager.
#include "common/report.h"
#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "shell/shell.h"
#include "walk/copy.h"

int do_more(const char* path)
{
    std::fflush(stdout);
    std::fflush(stderr);
    // Without less the host's own pager serves, and the user hears once what to get.
    static bool told = false;
    const char* missing = nullptr;
    const char* command = host_pager(&missing);
    if (missing && !told) {
        std::fprintf(stderr, "%s\n", missing);
        std::fflush(stderr);
        told = true;
    }
    FILE* pager = host_popen_write(command);
    if (!pager) {
        report_errno("popen");
        return 1;
    }
    uint32_t n = fs_word_inode(path);
    fs_file* s = n != 0 ? fs_iopen(n) : nullptr;
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
