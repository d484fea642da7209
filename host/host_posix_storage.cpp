// Which host storage a file's or a block device's bytes lie on. Linux tells it in sysfs: under
// /sys/dev/block/MAJ:MIN a partition names its start and size and lies in its disk's directory, a
// loop device has loop/ (its backing file also through LOOP_GET_STATUS64), a device-mapper or RAID
// device lists the devices it is built on in slaves/. Elsewhere only the object itself is known.
#include "host/host_posix.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/loop.h>
#endif

namespace posix {

namespace {

constexpr uint64_t TO_END = UINT64_MAX;

bool add(storage* out, const stretch& s)
{
    for (int i = 0; i < out->n; ++i) {
        const stretch& h = out->s[i];
        if (h.file == s.file && h.dev == s.dev && h.ino == s.ino && h.start == s.start && h.end == s.end &&
            h.within == s.within)
            return false;  // met again (two slaves on one disk): nothing new below it
    }
    if (out->n == STRETCHES) {
        out->unknown = true;
        return false;
    }
    out->s[out->n++] = s;
    return true;
}

#if defined(__linux__)

// No stack of devices is deeper than this (a file on a partition of a loop device over a file on
// a device-mapper device over a partition is six): deeper means sysfs is not what it seems.
constexpr int DEPTH = 12;

uint64_t plus(uint64_t a, uint64_t b)
{
    return a > TO_END - b ? TO_END : a + b;
}

// A sysfs attribute read whole (it is short: a number, "MAJ:MIN", a path, a few lines) relative to
// a directory; false when it is not there.
bool whole(int dir, const char* name, char* buf, size_t size)
{
    int fd = ::openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n;
    do
        n = ::read(fd, buf, size - 1);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    return true;
}

// Its first line.
bool attribute(int dir, const char* name, char* buf, size_t size)
{
    if (!whole(dir, name, buf, size))
        return false;
    buf[std::strcspn(buf, "\n")] = '\0';
    return true;
}

bool number(int dir, const char* name, uint64_t* v)
{
    char buf[32];
    if (!attribute(dir, name, buf, sizeof buf))
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(buf, &end, 10);
    if (errno != 0 || end == buf || *end != '\0')
        return false;
    *v = n;
    return true;
}

bool device_number(int dir, const char* name, dev_t* d)
{
    char buf[32];
    unsigned maj = 0, min = 0;
    char extra = 0;
    if (!attribute(dir, name, buf, sizeof buf) || std::sscanf(buf, "%u:%u%c", &maj, &min, &extra) != 2)
        return false;
    *d = makedev(maj, min);
    return true;
}

// What a loop device lies on: its backing file's device and inode, and the stretch of it the device
// shows. The kernel's own answer first (it holds the file, whatever became of its name), through the
// device's node; sysfs's path of the file where the node cannot be opened.
bool backing_of(int dir, dev_t d, stretch* file)
{
    char uevent[512];
    char node[300] = "";
    const char* name = whole(dir, "uevent", uevent, sizeof uevent) ? std::strstr(uevent, "DEVNAME=") : nullptr;
    if (name) {
        size_t len = std::strcspn(name + 8, "\n");
        if (len < 200)
            std::snprintf(node, sizeof node, "/dev/%.*s", static_cast<int>(len), name + 8);
    }
    if (node[0] != '\0') {
        int fd = ::open(node, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        struct stat st;
        loop_info64 info{};
        bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == d &&
                  ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
        if (fd >= 0)
            ::close(fd);
        if (ok) {
            // The kernel's own 32-bit encoding of the file's device: 12 bits of major, 20 of minor.
            uint64_t k = info.lo_device;
            file->dev = makedev(static_cast<unsigned>((k >> 8) & 0xfff),
                                static_cast<unsigned>((k & 0xff) | ((k >> 12) & 0xfff00)));
            file->ino = info.lo_inode;
            file->start = info.lo_offset;
            file->end = info.lo_sizelimit ? plus(info.lo_offset, info.lo_sizelimit) : TO_END;
            return true;
        }
    }
    char path[PATH_MAX];
    uint64_t offset = 0, limit = 0;
    struct stat st;
    if (!attribute(dir, "loop/backing_file", path, sizeof path) || ::stat(path, &st) != 0 ||
        !number(dir, "loop/offset", &offset) || !number(dir, "loop/sizelimit", &limit))
        return false;
    file->dev = st.st_dev;
    file->ino = st.st_ino;
    file->start = offset;
    file->end = limit ? plus(offset, limit) : TO_END;
    return true;
}

#endif

void device_down(dev_t d, uint64_t start, uint64_t end, bool within, int depth, storage* out)
{
    if (!add(out, {false, static_cast<uint64_t>(d), 0, start, end, within}))
        return;
#if defined(__linux__)
    if (depth > DEPTH) {
        out->unknown = out->unknown || !within;
        return;
    }
    char name[64];
    std::snprintf(name, sizeof name, "/sys/dev/block/%u:%u", major(d), minor(d));
    int dir = ::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return;  // no block device the host tells of (a file system in memory, on the network)
    uint64_t first = 0, sectors = 0;
    dev_t disk;
    if (::faccessat(dir, "partition", F_OK, 0) == 0) {
        // A partition's directory lies in its disk's; start and size count sectors of 512 bytes.
        if (number(dir, "start", &first) && number(dir, "size", &sectors) && device_number(dir, "../dev", &disk)) {
            uint64_t base = first * 512, size = sectors * 512;
            uint64_t to = end < size ? end : size;
            if (start < to)
                device_down(disk, plus(base, start), plus(base, to), within, depth + 1, out);
        } else {
            out->unknown = out->unknown || !within;
        }
    }
    if (::faccessat(dir, "loop", F_OK, 0) == 0) {
        stretch file{true, 0, 0, 0, 0, within};
        if (backing_of(dir, d, &file)) {
            uint64_t from = plus(file.start, start);
            uint64_t to = end == TO_END ? file.end : plus(file.start, end);
            if (to > file.end)
                to = file.end;
            // The file, and somewhere inside it the device its file system lies on.
            if (from < to && add(out, {true, file.dev, file.ino, from, to, within}))
                device_down(static_cast<dev_t>(file.dev), 0, TO_END, true, depth + 1, out);
        } else if (::faccessat(dir, "loop/backing_file", F_OK, 0) == 0) {
            out->unknown = out->unknown || !within;  // bound to a file that cannot be told
        }
    }
    // How a device-mapper or RAID device spreads its bytes over its slaves is not told here: each
    // slave is taken whole.
    int slaves = ::openat(dir, "slaves", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (slaves >= 0) {
        if (DIR* list = ::fdopendir(slaves)) {
            while (struct dirent* e = ::readdir(list)) {
                if (e->d_name[0] == '.')
                    continue;
                char dev_of[300];
                std::snprintf(dev_of, sizeof dev_of, "%s/dev", e->d_name);
                dev_t slave;
                if (device_number(::dirfd(list), dev_of, &slave))
                    device_down(slave, 0, TO_END, within, depth + 1, out);
                else
                    out->unknown = out->unknown || !within;
            }
            ::closedir(list);
        } else {
            ::close(slaves);
        }
    }
    ::close(dir);
#else
    (void)start;
    (void)end;
    (void)within;
    (void)depth;
#endif
}

bool overlap(const stretch& a, const stretch& b)
{
    return a.file == b.file && a.dev == b.dev && a.ino == b.ino && a.start < b.end && b.start < a.end &&
           !(a.within && b.within);
}

// What holds the files a copy makes one after another in one directory: the storage below their
// file system's device, worked out once for them all.
struct {
    bool known;
    uint64_t dev;
    storage below;
} last;

}  // namespace

void forget_file_systems()
{
    last.known = false;
}

void storage_of(const struct stat& st, storage* out)
{
    out->n = 0;
    out->unknown = false;
    int saved = errno;
    if (S_ISBLK(st.st_mode)) {
        device_down(st.st_rdev, 0, TO_END, false, 0, out);
    } else if (S_ISREG(st.st_mode)) {
        add(out, {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 0, TO_END, false});
        if (!last.known || last.dev != static_cast<uint64_t>(st.st_dev)) {
            last.below.n = 0;
            last.below.unknown = false;
            device_down(st.st_dev, 0, TO_END, true, 1, &last.below);
            last.known = true;
            last.dev = static_cast<uint64_t>(st.st_dev);
        }
        for (int i = 0; i < last.below.n; ++i)
            add(out, last.below.s[i]);
        out->unknown = out->unknown || last.below.unknown;
    } else
        add(out, {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 0, TO_END, false});
    errno = saved;
}

bool shares(const storage& target, const storage& image)
{
    if (target.unknown || image.unknown)
        return true;
    for (int i = 0; i < target.n; ++i)
        for (int j = 0; j < image.n; ++j)
            if (overlap(target.s[i], image.s[j]))
                return true;
    return false;
}

}  // namespace posix
