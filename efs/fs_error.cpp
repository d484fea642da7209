// The error table and fs_perror.
#include "efs/fs_error.h"
#include "common/report.h"

#include <cstdio>

int32_t fs_errno = 0;

const char* const fs_errlist[FS_NERR] = {
    "No error",
    "Bad checksum",
    "Bad magic number",
    "Read error",
    "Empty partition",
    "Bad partition",
    "Seek error",
    "Resource temporarily unavailable",
    "Too many open files",
    "Not a directory",
    "Filename too long",
    "No such file or directory",
};

void fs_perror(const char* label)
{
    if (fs_errno > 0 && fs_errno < FS_NERR && before_report)
        before_report();
    if (fs_errno > 0 && fs_errno < FS_NERR) {
        ++failures_reported;
        std::fprintf(stderr, "%s: %s\n", label, fs_errlist[fs_errno]);
    } else {
        report_errno(label);
    }
}
