// Inside the POSIX host layer: which host storage a file's or a device's bytes lie on, so that
// nothing efsh writes shares a byte with an image it reads, whatever name or device leads there.
// Only host_posix*.cpp include this.
#pragma once
#include <cstdint>
#include <sys/stat.h>

namespace posix {

// A stretch of bytes of one host object: a block device (id = its device number) or a file
// (id = its device and inode), from start up to end (UINT64_MAX: to its end). `within`: somewhere
// inside that stretch, where exactly the host does not tell: what a file system holding a file
// gives, which keeps two files of its own apart.
struct stretch {
    bool file;
    uint64_t dev, ino;
    uint64_t start, end;
    bool within;
};

// Every stretch an object's bytes lie on, from the object down to the disks, as far as the host
// tells: a partition lies on its disk, a loop device on its backing file, a device-mapper or RAID
// device on each of its slaves, a file on its file system's device. A fixed table; `unknown` when
// a loop device's backing file could not be told or the table is full: a way down the object's own
// bytes take that nothing may then risk (what holds a file is only followed as far as it can be).
constexpr int STRETCHES = 48;
struct storage {
    stretch s[STRETCHES];
    int n;
    bool unknown;
};

// The storage of a regular file or a block device (st as stat gives it); only st's own stretch for
// anything else.
void storage_of(const struct stat& st, storage* out);

// The storage below file systems' devices is kept from one file to the next (the files a copy makes
// in one directory lie on one): let go of when the copy enters another directory or another
// command begins, so that a device set up since is seen.
void forget_file_systems();

// Whether writing an object whose storage is `target` can change a byte of one whose storage is
// `image`: a stretch of one overlaps a stretch of the other, unless both are only somewhere inside
// one file system (two files of it).
bool shares(const storage& target, const storage& image);

}  // namespace posix
