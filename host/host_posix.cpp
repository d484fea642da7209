// The host layer over POSIX.1-2008 calls (Linux, macOS, the BSDs).
#include "host/host_io.h"

#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <limits>
#include <new>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

struct host_file {
    int fd;
};

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
        int saved = errno;
        ::close(fd);
        errno = saved;
    }
    return f;
}

bool host_seek(host_file* f, int64_t offset)
{
    if (!f || offset < 0)
        return false;
    if (static_cast<uint64_t>(offset) > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
        return false;
    return ::lseek(f->fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

int64_t host_read(host_file* f, void* buf, size_t len)
{
    if (!f)
        return -1;
    size_t done = 0;
    auto* p = static_cast<unsigned char*>(buf);
    while (done < len) {
        ssize_t n = ::read(f->fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
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

bool host_close(host_file* f)
{
    if (!f)
        return false;
    bool ok = ::close(f->fd) == 0;
    delete f;
    return ok;
}

FILE* host_popen_write(const char* command)
{
    return ::popen(command, "w");
}

int host_pclose(FILE* pipe)
{
    return ::pclose(pipe);
}

void host_ignore_sigpipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

int host_path_kind(const char* path)
{
    struct stat st;
    if (::stat(path, &st) != 0)
        return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

int host_mkdir(const char* path)
{
    return ::mkdir(path, 0777) == 0 ? 0 : -1;
}

bool host_getcwd(char* buf, size_t size)
{
    return ::getcwd(buf, size) != nullptr;
}

int host_chdir(const char* path)
{
    return ::chdir(path) == 0 ? 0 : -1;
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
