// The host layer over POSIX.1-2008 calls (Linux, macOS, the BSDs).
#include "host/host_io.h"
#include "host/host_posix.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <dirent.h>
#include <string>
#include <fcntl.h>
#include <limits>
#include <new>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#if EFSH_HAVE_FICLONERANGE
#include <linux/fs.h>
#endif
#if EFSH_HAVE_FALLOCATE || EFSH_HAVE_COPY_FILE_RANGE
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

struct host_file {
    int fd;
};

namespace {

// The images open for reading: no file a copy makes or overwrites may be one of them, whatever
// name leads there (the image itself, a hard link, a symbolic link), nor share a byte of storage
// with one (see shares_storage).
constexpr int IMAGE_SLOTS = 16;
struct image_slot {
    const host_file* f;
    struct stat st;
    bool resolved;          // held is worked out, the first time something is to be written
    posix::storage held;
};
image_slot images[IMAGE_SLOTS];

// A target that shares storage with an open image, though its device and inode are its own: a
// loop device over the image or the image's backing file, a partition of the image or the disk
// it is on, a device-mapper device over either, a file inside a file system on any of those.
bool shares_storage(const struct stat& st)
{
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        return false;  // a pipe, a terminal, /dev/null: no storage of its own
    bool any = false;
    for (const image_slot& i : images)
        any = any || i.f;
    if (!any)
        return false;
    static posix::storage target;
    posix::storage_of(st, &target);
    for (image_slot& i : images)
        if (i.f) {
            if (!i.resolved)
                posix::storage_of(i.st, &i.held);
            i.resolved = true;
            if (posix::shares(target, i.held))
                return true;
        }
    return false;
}

// Whether the file system holding directory dir (its stat) lies on an image: a loop device over
// it, a partition of it. Nothing is written there then, not even a name or a directory's times.
bool dir_on_an_image(struct stat dir)
{
    dir.st_mode = S_IFREG;
    dir.st_ino = 0;  // no file's: only what holds it can meet an image
    return shares_storage(dir);
}

// A file not made yet: made where the path's directory is.
bool made_on_an_image(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    std::string dir = !slash ? std::string(".") : slash == path ? std::string("/") : std::string(path, slash);
    struct stat st;
    int saved = errno;
    bool on = ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    errno = saved;
    return on && dir_on_an_image(st);  // not a directory: the open fails and says why
}

bool is_open_image(const struct stat& st)
{
    for (const image_slot& i : images)
        if (i.f && i.st.st_dev == st.st_dev && i.st.st_ino == st.st_ino)
            return true;
    return shares_storage(st);
}

}  // namespace

host_file* host_open(const char* path)
{
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return nullptr;
#if EFSH_HAVE_POSIX_FADVISE
    // The reader jumps between inodes, directories and extents; readahead past a read rarely helps.
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
#endif
    host_file* f = new (std::nothrow) host_file{fd};
    if (!f) {
        ::close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    struct stat st;
    int saved = errno;
    if (::fstat(fd, &st) == 0)
        for (image_slot& i : images)
            if (!i.f) {
                i = {f, st, false, {}};
                break;
            }
    errno = saved;
    return f;
}

int host_file_descriptor(const host_file* f)
{
    return f->fd;
}

void host_read_in_order(host_file* f, bool in_order)
{
#if EFSH_HAVE_POSIX_FADVISE
    int saved = errno;
    (void)::posix_fadvise(f->fd, 0, 0, in_order ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_RANDOM);
    errno = saved;
#else
    (void)f;
    (void)in_order;
#endif
}

int host_read_at(host_file* f, int64_t offset, void* buf, size_t len)
{
    if (!f || offset < 0 ||
        static_cast<uint64_t>(offset) > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
        return 1;
    // Positioned read: the absolute position and the read in one host call.
    size_t done = 0;
    auto* p = static_cast<unsigned char*>(buf);
    while (done < len) {
        if (static_cast<uint64_t>(offset) + done > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
            return 2;
        ssize_t n = ::pread(f->fd, p + done, len - done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EINVAL ? 1 : 2;
        }
        if (n == 0)
            return 2;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int host_read_pieces(host_file* f, int64_t offset, const host_piece* pieces, int count)
{
    constexpr int MOST = 256;  // well below every host's IOV_MAX
    if (!f || offset < 0 || count < 0 || count > MOST)
        return 1;
    iovec v[MOST];
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        v[i] = {pieces[i].buf, pieces[i].len};
        total += pieces[i].len;
    }
    if (static_cast<uint64_t>(offset) + total > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
        return 2;
    iovec* at = v;
    int left = count;
    while (left > 0) {
        ssize_t n = ::preadv(f->fd, at, left, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EINVAL ? 1 : 2;
        if (n == 0)
            return 2;
        offset += n;
        // Past the pieces filled; into the one the read stopped in.
        auto got = static_cast<size_t>(n);
        while (left > 0 && got >= at->iov_len) {
            got -= at->iov_len;
            ++at;
            --left;
        }
        if (left > 0) {
            at->iov_base = static_cast<char*>(at->iov_base) + got;
            at->iov_len -= got;
        }
    }
    return 0;
}

int64_t host_file_size(host_file* f)
{
    struct stat st;
    if (!f || ::fstat(f->fd, &st) != 0)
        return -1;
    if (S_ISREG(st.st_mode))
        return static_cast<int64_t>(st.st_size);
    // A block device has no size in its status; its end has one.
    int saved = errno;
    off_t end = S_ISBLK(st.st_mode) ? ::lseek(f->fd, 0, SEEK_END) : -1;
    errno = saved;
    return end < 0 ? -1 : static_cast<int64_t>(end);
}

bool host_close(host_file* f)
{
    if (!f)
        return false;
    for (image_slot& i : images)
        if (i.f == f)
            i = {};
    bool ok = ::close(f->fd) == 0;
    delete f;
    return ok;
}

namespace {

// While the pager runs it has the terminal: Ctrl-C is its own (less stops a search), not efsh's.
volatile sig_atomic_t pager_running = 0;

}  // namespace

FILE* host_popen_write(const char* command)
{
    FILE* p = ::popen(command, "w");
    pager_running = p != nullptr;
    return p;
}

int host_pclose(FILE* pipe)
{
    int rc = ::pclose(pipe);
    pager_running = 0;
    return rc;
}

void host_ignore_sigpipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

namespace {

volatile sig_atomic_t stop_asked = HOST_NO_STOP;
volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig)
{
    if (sig == SIGINT && pager_running)
        return;
    if (stop_asked != HOST_NO_STOP)
        ::_exit(128 + sig);  // asked twice: whatever the first one was to stop has not stopped
    stop_signal = sig;
    stop_asked = sig == SIGINT ? HOST_STOP_INTERRUPT : HOST_STOP_END;
}

}  // namespace

void host_catch_stops()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction was{};
        if (::sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN)
            continue;
        // No SA_RESTART: a read of the prompt's line or a write into a full pipe comes back.
        struct sigaction sa{};
        sa.sa_handler = on_stop_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        (void)::sigaction(sig, &sa, nullptr);
    }
}

host_stop host_stop_asked()
{
    return static_cast<host_stop>(stop_asked);
}

host_stop host_stop_after_read(FILE*)
{
    return host_stop_asked();  // the handler has run by the time the read returns
}

host_stop host_take_stop(int* signal)
{
    host_stop s = static_cast<host_stop>(stop_asked);
    if (signal)
        *signal = stop_signal;
    stop_asked = HOST_NO_STOP;
    return s;
}

void host_binary_output(FILE*, bool)
{
    // POSIX streams hand every byte on as it is.
}

int host_path_kind(const char* path)
{
    struct stat st;
    if (::stat(path, &st) != 0)
        return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

namespace {

host_id id_of(const struct stat& st)
{
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace

bool host_id_of(const char* path, host_id* id)
{
    struct stat st;
    if (::stat(path, &st) != 0)
        return false;
    *id = id_of(st);
    return true;
}

bool host_getcwd(char* buf, size_t size)
{
    return ::getcwd(buf, size) != nullptr;
}

int host_chdir(const char* path)
{
    return ::chdir(path) == 0 ? 0 : -1;
}

struct host_place {
    int fd;
};

host_place* host_here()
{
    // Only a way back is needed, not the right to list the directory: a target efsh may enter and
    // fill but not read (mode 0300) is still one to come back to.
#if defined(O_PATH)
    int how = O_PATH;
#elif defined(O_SEARCH)
    int how = O_SEARCH;
#else
    int how = O_RDONLY;
#endif
    int fd = ::open(".", how | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    host_place* p = new (std::nothrow) host_place{fd};
    if (!p) {
        ::close(fd);
        errno = ENOMEM;
    }
    return p;
}

int host_go_back(host_place* p)
{
    int rc = ::fchdir(p->fd);
    int saved = errno;
    ::close(p->fd);
    delete p;
    errno = saved;
    return rc == 0 ? 0 : -1;
}

bool host_name_ok(const char* name)
{
    return name[0] != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

void host_tzset()
{
    ::tzset();
}

bool host_localtime(int64_t seconds, std::tm* out)
{
    if (seconds < std::numeric_limits<time_t>::min() || seconds > std::numeric_limits<time_t>::max())
        return false;
    time_t t = static_cast<time_t>(seconds);
    return ::localtime_r(&t, out) != nullptr;
}

struct host_out {
    int fd;
    int64_t pos;         // bytes in the file so far: where the next bytes go
    int64_t reserved;    // space set aside by host_reserve, from the start of the file
    bool no_copy_range;  // the host has refused to share blocks with this file
    bool known;          // st holds what the host said of the file when it was opened
    struct stat st;      // asked once: the file's id, kind and block size serve every later call
    bool in_memory;      // a regular file on tmpfs
};

namespace {

// Whether a file lives on tmpfs, asked once per file system: a tree copy makes thousands of files
// on the same one.
bool on_tmpfs(int fd, const struct stat& st)
{
#if EFSH_HAVE_FALLOCATE || EFSH_HAVE_COPY_FILE_RANGE
    static bool known, tmpfs;
    static dev_t dev;
    if (!known || st.st_dev != dev) {
        struct statfs fs;
        if (::fstatfs(fd, &fs) != 0)
            return false;
        known = true;
        dev = st.st_dev;
        tmpfs = fs.f_type == TMPFS_MAGIC;
    }
    return tmpfs;
#else
    (void)fd;
    (void)st;
    return false;
#endif
}

host_out* out_of(int fd, const struct stat& st)
{
    host_out* o = new (std::nothrow) host_out{fd, 0, 0, false, true, st, S_ISREG(st.st_mode) && on_tmpfs(fd, st)};
    if (!o) {
        ::close(fd);
        errno = ENOMEM;
    }
    return o;
}

host_out* refuse(int fd, host_refusal reason, host_refusal* why)
{
    if (fd >= 0)
        ::close(fd);
    if (why)
        *why = reason;
    return nullptr;
}

host_out* fail_open(int fd)
{
    int saved = errno;
    ::close(fd);
    errno = saved;
    return nullptr;
}

// A file of more than one name is never written through: every other name would show the copy's
// bytes. The name is given a new file instead (the other names keep the old bytes): it is removed,
// never following a link, and made anew, exclusively. A named target reached through links is
// replaced where they lead. The new file's descriptor, or -1 with errno set.
int replace_linked(const char* path, bool follow)
{
    std::string name = path;
    if (follow) {
        char* real = ::realpath(path, nullptr);
        if (!real)
            return -1;
        name = real;
        std::free(real);
    }
    if (::unlink(name.c_str()) != 0)
        return -1;
    return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
}

}  // namespace

host_out* host_create(const char* path, unsigned how, host_refusal* why)
{
    if (why)
        *why = HOST_ERRNO;
    bool in_tree = (how & HOST_IN_TREE) != 0;
    if (!in_tree)
        posix::forget_file_systems();  // a command of its own
    struct stat st;
    // A name not yet taken, which is what a large tree is made of: one open makes the file,
    // exclusively and without following a link, so that what it opens is a new regular file (no
    // image, link, pipe or device, nothing to cut) and nothing needs looking at before. A name
    // that is taken fails (EEXIST) untouched, and the caller asks again without HOST_ONLY_NEW.
    if (how & HOST_ONLY_NEW) {
        // Not even an empty file is made in a file system that lies on an image.
        if (made_on_an_image(path))
            return refuse(-1, HOST_IS_IMAGE, why);
        int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0)
            return nullptr;
        return ::fstat(fd, &st) == 0 ? out_of(fd, st) : fail_open(fd);
    }
    // What is there is looked at before it is opened: the image is never opened for writing, and a
    // tree copy never opens a device (opening one can act: a tape rewinds) or a pipe.
    if ((in_tree ? ::lstat(path, &st) : ::stat(path, &st)) == 0) {
        if (is_open_image(st))
            return refuse(-1, HOST_IS_IMAGE, why);
        if (in_tree && !S_ISREG(st.st_mode))
            return refuse(-1, HOST_NOT_A_FILE, why);
    } else if (errno == ENOENT && made_on_an_image(path)) {
        return refuse(-1, HOST_IS_IMAGE, why);
    }
    // Nothing is cut before the open file is known for what it is: the name may have changed hands
    // since it was looked at. A tree copy follows no final link and never waits for a pipe's reader.
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY;
    if (in_tree)
        flags |= O_NOFOLLOW | O_NONBLOCK;
    int fd = ::open(path, flags, 0666);
    if (fd < 0) {
        // A link (ELOOP) or a socket or pipe without a reader (ENXIO) that came after the look.
        if (in_tree && (errno == ELOOP || errno == ENXIO))
            return refuse(-1, HOST_NOT_A_FILE, why);
        return nullptr;
    }
    int saved = errno;
    if (::fstat(fd, &st) != 0)
        return fail_open(fd);
    if (is_open_image(st))
        return refuse(fd, HOST_IS_IMAGE, why);
    if (in_tree && !S_ISREG(st.st_mode))
        return refuse(fd, HOST_NOT_A_FILE, why);
    if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
        ::close(fd);
        if ((fd = replace_linked(path, !in_tree)) < 0)
            return nullptr;
        if (::fstat(fd, &st) != 0)
            return fail_open(fd);
    } else if (in_tree) {
        (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    if (S_ISREG(st.st_mode) && st.st_size != 0) {
        if (::ftruncate(fd, 0) != 0)
            return fail_open(fd);
        st.st_size = 0;
    }
    errno = saved;
    return out_of(fd, st);
}

size_t host_write(host_out* o, const void* buf, size_t len)
{
    size_t done = 0;
    const auto* p = static_cast<const unsigned char*>(buf);
    while (done < len) {
        ssize_t n = ::write(o->fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR && host_stop_asked() == HOST_NO_STOP)
                continue;
            break;
        }
        if (n == 0) {
            errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    o->pos += static_cast<int64_t>(done);
    return done;
}

bool host_can_share(host_out* o, int64_t offset, size_t len, size_t pending)
{
#if EFSH_HAVE_FICLONERANGE
    if (o->no_copy_range || offset < 0 || len == 0)
        return false;
    uint64_t block = o->known && o->st.st_blksize > 0 ? static_cast<uint64_t>(o->st.st_blksize) : 4096;
    return static_cast<uint64_t>(offset) % block == 0 && (static_cast<uint64_t>(o->pos) + pending) % block == 0 &&
           len % block == 0;
#else
    (void)o;
    (void)offset;
    (void)len;
    (void)pending;
    return false;
#endif
}

namespace {

// The file system (by device) on which the kernel refused to copy from the image: the image lies
// on another one. Files made there later are not offered.
struct kernel_refusal {
    bool any;
    dev_t dev;
} refused;

bool in_range(const host_out* o, int64_t offset, size_t len)
{
    auto most = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    return offset >= 0 && static_cast<uint64_t>(offset) + len <= most && static_cast<uint64_t>(o->pos) + len <= most;
}

// The bytes copied by the kernel from the image straight into the end of the file: on tmpfs one
// copy where reading and writing make two. Anything less than all is cut off again.
int64_t copy_in_kernel(host_out* o, const host_file* from, int64_t offset, size_t len)
{
#if EFSH_HAVE_COPY_FILE_RANGE
    int saved = errno;
    off_t in = static_cast<off_t>(offset);
    size_t done = 0;
    int why = 0;  // the kernel's reason, where it gave one
    while (done < len) {
        ssize_t n = ::copy_file_range(from->fd, &in, o->fd, nullptr, len - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            why = errno;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (done == len) {
        o->pos += static_cast<int64_t>(len);
        errno = saved;
        return static_cast<int64_t>(len);
    }
    // Cut short (the image ends, the disk is full) or refused: the file goes back to where it was,
    // and the caller's reads and writes meet whatever stopped the copy and report it.
    (void)::ftruncate(o->fd, static_cast<off_t>(o->pos));
    (void)::lseek(o->fd, static_cast<off_t>(o->pos), SEEK_SET);
    if (done == 0 && (why == EXDEV || why == EINVAL || why == EOPNOTSUPP || why == ENOSYS))
        refused = {true, o->st.st_dev};
    errno = saved;
    return -1;
#else
    return -1;
#endif
}

}  // namespace

bool host_copies_in_kernel(host_out* o)
{
#if EFSH_HAVE_COPY_FILE_RANGE
    return o->in_memory && !(refused.any && refused.dev == o->st.st_dev);
#else
    (void)o;
    return false;
#endif
}

int64_t host_copy_range(host_out* o, host_file* from, int64_t offset, size_t len)
{
    if (!in_range(o, offset, len))
        return -1;
    if (host_copies_in_kernel(o))
        return copy_in_kernel(o, from, offset, len);
#if EFSH_HAVE_FICLONERANGE
    // Otherwise only a copy that shares the image's blocks with the file: a copy the kernel makes
    // itself (copy_file_range where blocks cannot be shared) measured 1.5 to 2 times slower than
    // efsh's own reads and writes on ext4 and XFS. Blocks are shared whole, so the range must begin
    // on a block of both files and hold whole blocks; anything else the caller reads and writes.
    if (!host_can_share(o, offset, len, 0))
        return -1;
    file_clone_range range{};
    range.src_fd = from->fd;
    range.src_offset = static_cast<uint64_t>(offset);
    range.src_length = len;
    range.dest_offset = static_cast<uint64_t>(o->pos);
    int saved = errno;
    off_t end = static_cast<off_t>(o->pos + static_cast<int64_t>(len));
    if (::ioctl(o->fd, FICLONERANGE, &range) == 0) {
        if (::lseek(o->fd, end, SEEK_SET) == end) {
            o->pos = end;
            return static_cast<int64_t>(len);
        }
        // The blocks are in the file but writing cannot go on after them: they go again.
        (void)::ftruncate(o->fd, static_cast<off_t>(o->pos));
    }
    // Refused (a file system that cannot share, two file systems, a range it will not take):
    // the caller reads and writes, now and for the rest of this file.
    o->no_copy_range = true;
    errno = saved;
    return -1;
#else
    (void)o;
    (void)from;
    (void)offset;
    (void)len;
    return -1;
#endif
}

bool host_out_id(host_out* o, host_id* id)
{
    if (o->known)
        *id = id_of(o->st);
    return o->known;
}

namespace {

// Gives back the space set aside past what the file holds, up to `until`: ext4 frees space past the
// end on a truncation to the size the file has, other file systems on a hole punched there.
void give_back(host_out* o, int64_t until)
{
#if EFSH_HAVE_FALLOCATE
    if (until <= o->pos)
        return;
    int saved = errno;
    (void)::ftruncate(o->fd, static_cast<off_t>(o->pos));
    (void)::fallocate(o->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(o->pos),
                      static_cast<off_t>(until - o->pos));
    o->reserved = 0;
    errno = saved;
#else
    (void)o;
    (void)until;
#endif
}

}  // namespace

void host_reserve(host_out* o, uint64_t bytes)
{
#if EFSH_HAVE_FALLOCATE
    // A file system in memory would hand over every page now, zero-filled, and the copy would
    // fill it again: there the space is left to the writes. So is a device or pipe.
    if (bytes == 0 || bytes > static_cast<uint64_t>(std::numeric_limits<off_t>::max() - o->pos) || !o->known ||
        !S_ISREG(o->st.st_mode) || o->in_memory)
        return;
    int saved = errno;
    if (::fallocate(o->fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(o->pos), static_cast<off_t>(bytes)) == 0)
        o->reserved = std::max(o->reserved, o->pos + static_cast<int64_t>(bytes));
    else
        give_back(o, o->pos + static_cast<int64_t>(bytes));  // a refusal (a full disk) may have kept part of it
    errno = saved;
#else
    (void)o;
    (void)bytes;
#endif
}

int host_close_out(host_out* o)
{
    give_back(o, o->reserved);  // a copy that ended early
    int rc = ::close(o->fd);
    delete o;
    return rc == 0 ? 0 : -1;
}

bool host_out_regular(const host_out* o)
{
    return o->known && S_ISREG(o->st.st_mode);
}

int host_discard_out(host_out* o, const char* path)
{
    // Only the file this call opened goes: the name is looked at again and must still lead to it.
    struct stat now;
    bool remove = o->known && S_ISREG(o->st.st_mode) && ::lstat(path, &now) == 0 && now.st_dev == o->st.st_dev &&
                  now.st_ino == o->st.st_ino;
    int rc = host_close_out(o);
    int saved = errno;
    if (remove && ::unlink(path) != 0 && rc == 0)
        return -1;
    errno = saved;
    return rc;
}

host_target host_target_kind(const char* path)
{
    struct stat st;
    if (::lstat(path, &st) != 0)
        return errno == ENOENT ? HOST_TARGET_NEW : HOST_TARGET_OTHER;
    struct stat to = st;
    if (S_ISLNK(st.st_mode) && ::stat(path, &to) != 0)
        return HOST_TARGET_OTHER;
    if (is_open_image(to))
        return HOST_TARGET_IMAGE;
    return S_ISREG(st.st_mode) ? HOST_TARGET_FILE : HOST_TARGET_OTHER;
}

int host_commit_out(host_out* o, const char* temp, const char* target)
{
    give_back(o, o->reserved);
    // The file replaced keeps its permission bits: an archive kept private stays private.
    struct stat was;
    if (::stat(target, &was) == 0 && S_ISREG(was.st_mode))
        (void)::fchmod(o->fd, was.st_mode & 0777);
    int rc = ::fsync(o->fd);
    int reason = errno;
    if (rc == 0)
        host_test_hold("rename");
    if (rc == 0 && host_stop_asked() != HOST_NO_STOP) {
        rc = -1;
        reason = EINTR;
    }
    if (rc != 0) {
        (void)host_discard_out(o, temp);
        errno = reason;
        return -1;
    }
    if (::close(o->fd) != 0 || ::rename(temp, target) != 0) {
        reason = errno;
        delete o;
        (void)::unlink(temp);
        errno = reason;
        return -1;
    }
    delete o;
    // The new entry in the folder is made as lasting as the bytes it names.
    const char* slash = std::strrchr(target, '/');
    std::string folder = slash ? std::string(target, static_cast<size_t>(slash - target)) : ".";
    if (folder.empty())
        folder = "/";
    int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)::fsync(dfd);
        ::close(dfd);
    }
    return 0;
}

namespace {

timespec whole_seconds(int64_t t)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t);
    return ts;
}

}  // namespace

int host_out_set_perm(host_out* o, unsigned mode, int64_t atime, int64_t mtime)
{
    // A device or pipe named as the target of a copy (cp -p f /dev/null, run by root) is a host
    // object shared by everyone, not a copy: it keeps its own mode and times.
    if (!o->known || !S_ISREG(o->st.st_mode))
        return 0;
    give_back(o, o->reserved);
    const timespec ts[2] = {whole_seconds(atime), whole_seconds(mtime)};
    bool mode_ok = ::fchmod(o->fd, static_cast<mode_t>(mode & 0777)) == 0;
    int reason = errno;
    if (::futimens(o->fd, ts) != 0 || !mode_ok) {
        if (!mode_ok)
            errno = reason;
        return -1;
    }
    return 0;
}

int host_enter_dir(const char* name, host_id* id)
{
    posix::forget_file_systems();
    struct stat there;
    if (::lstat(name, &there) != 0 && errno == ENOENT && made_on_an_image(name)) {
        errno = EROFS;  // a directory made there would be written into the image
        return -1;
    }
    int made = ::mkdir(name, 0777) == 0 ? 0 : errno;
#if defined(O_PATH)
    int how = O_PATH;  // a way in, not the right to list: a directory of mode 0300 is still filled
#else
    int how = O_RDONLY;
#endif
    int fd = ::open(name, how | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0) {
        int reason = errno;
        // A symbolic link there (to a directory or not): the copy never goes through it.
        if (::lstat(name, &st) == 0 && S_ISLNK(st.st_mode))
            return 1;
        // When mkdir failed for a reason other than an existing entry, the open can only add that
        // the directory is missing; mkdir's reason (no write permission, a full disk) is the one.
        errno = made != 0 && made != EEXIST ? made : reason;
        return -1;
    }
    int rc = ::fstat(fd, &st) == 0 && ::fchdir(fd) == 0 ? 0 : -1;
    int saved = errno;
    ::close(fd);
    errno = saved;
    if (rc == 0)
        *id = id_of(st);
    return rc;
}

int host_set_dir_perm(const char* name, const host_id& id, unsigned mode, int64_t atime, int64_t mtime)
{
    struct stat st;
    if (::fstatat(AT_FDCWD, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode) || !(id_of(st) == id)) {
        errno = ENOTDIR;
        return -1;
    }
    // A directory that was there already, in a file system lying on the image: its files were
    // refused, and so are its mode and times.
    if (dir_on_an_image(st)) {
        errno = EROFS;
        return -1;
    }
    const timespec ts[2] = {whole_seconds(atime), whole_seconds(mtime)};
    bool mode_ok = ::fchmodat(AT_FDCWD, name, static_cast<mode_t>(mode & 0777), 0) == 0;
    int reason = errno;
    if (::utimensat(AT_FDCWD, name, ts, AT_SYMLINK_NOFOLLOW) != 0 || !mode_ok) {
        if (!mode_ok)
            errno = reason;
        return -1;
    }
    return 0;
}

bool host_is_terminal(FILE* stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

struct host_dir {
    DIR* d;
    std::string path;
    std::string name;
};

host_dir* host_opendir(const char* path)
{
    DIR* d = ::opendir(path);
    if (!d)
        return nullptr;
    host_dir* h = new (std::nothrow) host_dir{d, path, {}};
    if (!h) {
        ::closedir(d);
        errno = ENOMEM;
    }
    return h;
}

const char* host_readdir(host_dir* h, bool* is_dir)
{
    while (struct dirent* e = ::readdir(h->d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        h->name = e->d_name;
        struct stat st;
        std::string full = h->path + "/" + h->name;
        *is_dir = ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        return h->name.c_str();
    }
    return nullptr;
}

void host_closedir(host_dir* h)
{
    ::closedir(h->d);
    delete h;
}

const char* host_pager(const char** missing)
{
    // As the shell would find it: each directory of PATH, an empty one meaning the current one.
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string less = (dir.empty() ? std::string(".") : dir) + "/less";
        struct stat st;
        if (::stat(less.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(less.c_str(), X_OK) == 0) {
            *missing = nullptr;
            return "less";
        }
        start = end + 1;
    }
    *missing = "less not found on PATH: install the less package of your system; paging with more";
    return "more";
}

int host_terminal_width(FILE* stream)
{
    winsize ws{};
    return ::ioctl(::fileno(stream), TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

struct host_thread {
    pthread_t id;
    void (*fn)(void*);
    void* arg;
};

namespace {

void* thread_main(void* t)
{
    auto* h = static_cast<host_thread*>(t);
    h->fn(h->arg);
    return nullptr;
}

}  // namespace

host_thread* host_thread_start(void (*fn)(void*), void* arg)
{
    auto* t = new (std::nothrow) host_thread{{}, fn, arg};
    if (t && ::pthread_create(&t->id, nullptr, thread_main, t) != 0) {
        delete t;
        t = nullptr;
    }
    return t;
}

void host_thread_join(host_thread* t)
{
    ::pthread_join(t->id, nullptr);
    delete t;
}
