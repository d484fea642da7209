// The shared error code, its message table and the reporter used by the shell.
#pragma once
#include <cstdint>

enum : int32_t {
    FS_OK = 0,
    FS_EBADCKSUM = 1,
    FS_EBADMAGIC = 2,
    FS_EREAD = 3,
    FS_EEMPTY = 4,
    FS_EBADPART = 5,
    FS_ESEEK = 6,
    FS_ENOMEM = 7,
    FS_EMFILE = 8,
    FS_ENOTDIR = 9,
    FS_ENAMETOOLONG = 10,
    FS_ENOENT = 11,
    FS_NERR = 12,
};

extern int32_t fs_errno;
extern const char* const fs_errlist[FS_NERR];

// "label: message" on stderr; the host's perror when no library error is recorded.
void fs_perror(const char* label);
