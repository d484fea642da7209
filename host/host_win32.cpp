// The host layer over the Win32 API and Microsoft's C library (built with mingw-w64).
#include "host/host_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <limits>
#include <new>
#include <string>
#include <sys/stat.h>
#include <windows.h>

namespace {

// The C library's errno for a Win32 error, so that perror after a failed host call reads as it
// does on the other hosts ("open disk: No such file or directory").
int errno_of(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_NO_MORE_FILES:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_CURRENT_DIRECTORY:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NEGATIVE_SEEK:
        return EINVAL;
    case ERROR_NOT_SUPPORTED:
        return ENOSYS;
    default:
        return EIO;
    }
}

void set_errno_from_last_error()
{
    errno = errno_of(GetLastError());
}

// Whole seconds since 1970 as a FILETIME (100 ns units since 1601); false outside its range.
bool filetime_of(int64_t seconds, FILETIME* out)
{
    constexpr int64_t epoch_gap = 11644473600;  // seconds from 1601-01-01 to 1970-01-01
    constexpr int64_t units = 10000000;
    if (seconds < -epoch_gap || seconds > std::numeric_limits<int64_t>::max() / units - epoch_gap)
        return false;
    uint64_t t = static_cast<uint64_t>(seconds + epoch_gap) * units;
    out->dwLowDateTime = static_cast<DWORD>(t);
    out->dwHighDateTime = static_cast<DWORD>(t >> 32);
    return true;
}

// Days since 1970-01-01 as a proleptic Gregorian date; months 1 to 12.
void civil_of(int64_t days, int64_t* year, int* month, int* day)
{
    days += 719468;  // from 0000-03-01, so that the leap day ends a year
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t doe = days - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

bool leap(int64_t year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Broken-down time of a time before 1970, which Microsoft's C library refuses: the zone's
// standard offset applies (the host keeps no daylight-saving rules for those years).
bool local_before_1970(int64_t seconds, std::tm* out)
{
    int64_t local = seconds - static_cast<int64_t>(_timezone);  // _timezone: seconds west of UTC, set by _tzset
    int64_t days = local >= 0 ? local / 86400 : -((-local + 86399) / 86400);
    int64_t rest = local - days * 86400;
    int64_t year = 0;
    int month = 0, day = 0;
    civil_of(days, &year, &month, &day);
    if (year - 1900 < std::numeric_limits<int>::min() || year - 1900 > std::numeric_limits<int>::max())
        return false;
    static const int before_month[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    *out = std::tm{};
    out->tm_year = static_cast<int>(year - 1900);
    out->tm_mon = month - 1;
    out->tm_mday = day;
    out->tm_hour = static_cast<int>(rest / 3600);
    out->tm_min = static_cast<int>(rest / 60 % 60);
    out->tm_sec = static_cast<int>(rest % 60);
    out->tm_yday = before_month[month - 1] + day - 1 + (month > 2 && leap(year) ? 1 : 0);
    out->tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    out->tm_isdst = 0;
    return true;
}

bool equal_ignoring_case(const char* a, const char* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

// True when a name is one of the devices Windows finds in every directory, alone or with an
// extension ("nul", "Con.txt", "COM1 .log").
bool device_name(const char* name)
{
    size_t base = std::strcspn(name, ".");
    while (base > 0 && name[base - 1] == ' ')
        --base;
    static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* d : plain)
        if (base == std::strlen(d) && equal_ignoring_case(name, d, base))
            return true;
    if (base == 4 && (equal_ignoring_case(name, "COM", 3) || equal_ignoring_case(name, "LPT", 3))) {
        unsigned char n = static_cast<unsigned char>(name[3]);
        // Digits, and the superscripts one, two and three of the ANSI code page, which Windows
        // also takes for port numbers.
        return (n >= '0' && n <= '9') || n == 0xB9 || n == 0xB2 || n == 0xB3;
    }
    return false;
}

}  // namespace

// --- The image --------------------------------------------------------------------------------

struct host_file {
    HANDLE h;        // the handle reads go through: one of the two below
    HANDLE random;   // opened for reads all over the image
    HANDLE in_order; // the same file again for a file's data read from start to end, or invalid
};

host_file* host_open(const char* path)
{
    // Sharing reading and writing lets efsh read an image another program holds open, and raw
    // devices (\\.\PhysicalDrive1, \\.\E:), which refuse an unshared open.
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return nullptr;
    }
    host_file* f = new (std::nothrow) host_file{h, h, INVALID_HANDLE_VALUE};
    if (!f) {
        CloseHandle(h);
        errno = ENOMEM;
    }
    return f;
}

// Absolute positioning from the start of the file; a negative or unreachable offset fails.
static bool seek_to(host_file* f, int64_t offset)
{
    if (!f || offset < 0)
        return false;
    LARGE_INTEGER to;
    to.QuadPart = offset;
    LARGE_INTEGER at;
    if (!SetFilePointerEx(f->h, to, &at, FILE_BEGIN)) {
        set_errno_from_last_error();
        return false;
    }
    return at.QuadPart == offset;
}

// Reads up to len bytes at the current position: the count read (short at the end), or -1.
static int64_t read_up_to(host_file* f, void* buf, size_t len)
{
    if (!f)
        return -1;
    size_t done = 0;
    auto* p = static_cast<unsigned char*>(buf);
    while (done < len) {
        // ReadFile counts in 32 bits; a large read goes in pieces.
        DWORD want = static_cast<DWORD>(len - done < (1u << 30) ? len - done : (1u << 30));
        DWORD got = 0;
        if (!ReadFile(f->h, p + done, want, &got, nullptr)) {
            if (GetLastError() == ERROR_HANDLE_EOF)
                break;
            set_errno_from_last_error();
            return -1;
        }
        if (got == 0)
            break;
        done += got;
    }
    return static_cast<int64_t>(done);
}

namespace {

// A raw device (\\.\PhysicalDrive1, \\.\E:) reads only whole sectors at sector boundaries and
// refuses other reads as an invalid parameter. Such a read goes again through a page-aligned
// buffer in whole units of 4096 bytes, which covers sectors of 512 bytes and of 4096.
int read_in_whole_sectors(host_file* f, int64_t offset, void* buf, size_t len)
{
    constexpr int64_t unit = 4096;
    constexpr size_t window = 64 * 1024;
    auto* bounce = static_cast<unsigned char*>(VirtualAlloc(nullptr, window, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!bounce) {
        errno = ENOMEM;
        return 2;
    }
    auto* out = static_cast<unsigned char*>(buf);
    size_t done = 0;
    int rc = 0;
    while (done < len) {
        int64_t at = offset + static_cast<int64_t>(done);
        int64_t start = at / unit * unit;
        size_t skip = static_cast<size_t>(at - start);
        size_t want = len - done + skip;
        want = want > window ? window : (want + unit - 1) / unit * unit;
        if (!seek_to(f, start)) {
            rc = 1;
            break;
        }
        int64_t got = read_up_to(f, bounce, want);
        if (got <= static_cast<int64_t>(skip)) {
            rc = 2;
            break;
        }
        size_t take = static_cast<size_t>(got) - skip;
        if (take > len - done)
            take = len - done;
        std::memcpy(out + done, bounce + skip, take);
        done += take;
        if (static_cast<size_t>(got) < want && done < len) {
            rc = 2;  // the device or file ends inside the range
            break;
        }
    }
    VirtualFree(bounce, 0, MEM_RELEASE);
    return rc;
}

}  // namespace

int host_file_descriptor(const host_file*)
{
    return -1;
}

void host_read_in_order(host_file* f, bool in_order)
{
    // A handle's access hint is fixed when it is opened: data read in order goes through a second
    // handle on the same file that asks for read-ahead. Without one, reads stay on the first.
    if (in_order && f->in_order == INVALID_HANDLE_VALUE)
        f->in_order = ReOpenFile(f->random, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_SEQUENTIAL_SCAN);
    f->h = in_order && f->in_order != INVALID_HANDLE_VALUE ? f->in_order : f->random;
}

int host_read_at(host_file* f, int64_t offset, void* buf, size_t len)
{
    if (offset < 0 || len > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - offset) || !seek_to(f, offset))
        return 1;
    int64_t n = read_up_to(f, buf, len);
    if (n < 0 && GetLastError() == ERROR_INVALID_PARAMETER)
        return read_in_whole_sectors(f, offset, buf, len);
    return n >= 0 && static_cast<uint64_t>(n) == len ? 0 : 2;
}

bool host_close(host_file* f)
{
    if (!f)
        return false;
    bool ok = CloseHandle(f->random) != 0;
    if (f->in_order != INVALID_HANDLE_VALUE)
        CloseHandle(f->in_order);
    delete f;
    return ok;
}

// --- The pager pipe ----------------------------------------------------------------------------

FILE* host_popen_write(const char* command)
{
    return _popen(command, "wb");
}

int host_pclose(FILE* pipe)
{
    return _pclose(pipe);
}

void host_ignore_sigpipe()
{
    // A write into a pipe whose reader has gone fails with an error here; no signal ends the process.
}

// --- Host directories and names ----------------------------------------------------------------

bool host_getcwd(char* buf, size_t size)
{
    if (size > static_cast<size_t>(std::numeric_limits<int>::max()))
        size = static_cast<size_t>(std::numeric_limits<int>::max());
    return _getcwd(buf, static_cast<int>(size)) != nullptr;
}

int host_chdir(const char* path)
{
    // "D:" goes to that drive's current directory, "D:\\x" to x on it.
    return _chdir(path) == 0 ? 0 : -1;
}

struct host_place {
    char* path;
};

host_place* host_here()
{
    char* path = _getcwd(nullptr, 0);
    if (!path)
        return nullptr;
    host_place* p = new (std::nothrow) host_place{path};
    if (!p) {
        std::free(path);
        errno = ENOMEM;
    }
    return p;
}

int host_go_back(host_place* p)
{
    int rc = _chdir(p->path);
    int saved = errno;
    std::free(p->path);
    delete p;
    errno = saved;
    return rc == 0 ? 0 : -1;
}

int host_path_kind(const char* path)
{
    DWORD a = GetFileAttributesA(path);
    if (a == INVALID_FILE_ATTRIBUTES) {
        set_errno_from_last_error();  // the caller may report why, as after a failed stat
        return -1;
    }
    return (a & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

namespace {

bool id_of_handle(HANDLE h, host_id* id)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info))
        return false;
    *id = {info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    return true;
}

}  // namespace

bool host_id_of(const char* path, host_id* id)
{
    // Most names asked about are not there yet: that answer costs no handle.
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        return false;
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);  // directories too
    bool ok = id_of_handle(h, id);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok;
}

int host_mkdir(const char* path)
{
    return _mkdir(path) == 0 ? 0 : -1;
}

bool host_name_ok(const char* name)
{
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    for (const char* p = name; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || std::strchr("/\\:<>\"|?*", c))
            return false;
    }
    // Windows drops a trailing dot or blank: "a." and "a " would both become the file "a".
    char last = name[std::strlen(name) - 1];
    if (last == '.' || last == ' ')
        return false;
    return !device_name(name);
}

// --- Dates -------------------------------------------------------------------------------------

void host_tzset()
{
    _tzset();
}

bool host_localtime(int64_t seconds, std::tm* out)
{
    if (seconds < 0)
        return local_before_1970(seconds, out);
    __time64_t t = seconds;
    return _localtime64_s(out, &t) == 0;
}

// --- Host files made by cp ---------------------------------------------------------------------

struct host_out {
    int fd;
};

host_out* host_create(const char* path, unsigned how, host_refusal* why)
{
    bool only_new = (how & HOST_ONLY_NEW) != 0;
    if (why)
        *why = HOST_ERRNO;
    int fd = _open(path, _O_WRONLY | _O_CREAT | (only_new ? _O_EXCL : _O_TRUNC) | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        // Windows refuses to open a directory for writing as it refuses any denied access.
        if (errno == EACCES)
            errno = host_path_kind(path) == 1 ? EISDIR : EACCES;
        return nullptr;
    }
    host_out* o = new (std::nothrow) host_out{fd};
    if (!o) {
        _close(fd);
        errno = ENOMEM;
    }
    return o;
}

size_t host_write(host_out* o, const void* buf, size_t len)
{
    size_t done = 0;
    const auto* p = static_cast<const unsigned char*>(buf);
    while (done < len) {
        unsigned want = static_cast<unsigned>(len - done < (1u << 30) ? len - done : (1u << 30));
        int n = _write(o->fd, p + done, want);
        if (n < 0)
            break;
        if (n == 0) {
            errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

void host_reserve(host_out*, uint64_t)
{
    // Not measured on Windows: the copy writes as it goes.
}

bool host_can_share(host_out*, int64_t, size_t, size_t)
{
    return false;
}

int64_t host_copy_range(host_out*, host_file*, int64_t, size_t)
{
    return -1;  // no blocks shared: the caller reads and writes
}

bool host_out_id(host_out* o, host_id* id)
{
    return id_of_handle(reinterpret_cast<HANDLE>(_get_osfhandle(o->fd)), id);
}

int host_close_out(host_out* o)
{
    int rc = _close(o->fd);
    delete o;
    return rc == 0 ? 0 : -1;
}

namespace {

// A device or pipe named as the target of a copy (NUL, COM1, \\.\pipe\x) is a host object, not a
// copy: it keeps its own attributes and times.
bool keeps_its_own(const char* path)
{
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD type = GetFileType(h);
    CloseHandle(h);
    return type != FILE_TYPE_DISK;
}

}  // namespace

int host_set_mode(const char* path, unsigned mode)
{
    if (keeps_its_own(path))
        return 0;
    DWORD a = GetFileAttributesA(path);
    if (a == INVALID_FILE_ATTRIBUTES) {
        set_errno_from_last_error();
        return -1;
    }
    // The read-only attribute is the one permission a Windows file carries by itself; a directory's
    // read-only attribute means something else to Explorer and is left alone.
    if ((a & FILE_ATTRIBUTE_DIRECTORY) || (mode & 0200) || (a & FILE_ATTRIBUTE_READONLY))
        return 0;
    if (!SetFileAttributesA(path, a | FILE_ATTRIBUTE_READONLY)) {
        set_errno_from_last_error();
        return -1;
    }
    return 0;
}

int host_set_times(const char* path, int64_t atime, int64_t mtime)
{
    if (keeps_its_own(path))
        return 0;
    FILETIME at, mt;
    if (!filetime_of(atime, &at) || !filetime_of(mtime, &mt)) {
        errno = EINVAL;
        return -1;
    }
    // Backup semantics let the same open reach a directory.
    HANDLE h = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return -1;
    }
    bool ok = SetFileTime(h, nullptr, &at, &mt) != 0;
    if (!ok)
        set_errno_from_last_error();
    CloseHandle(h);
    return ok ? 0 : -1;
}

// --- Terminal and host directory listings ------------------------------------------------------

bool host_is_terminal(FILE* stream)
{
    // _isatty also says yes for NUL and serial ports; only a console answers GetConsoleMode.
    int fd = _fileno(stream);
    if (fd < 0 || !_isatty(fd))
        return false;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

struct host_dir {
    HANDLE find;  // INVALID_HANDLE_VALUE when the directory holds no entry at all
    bool pending; // data holds an entry not yet handed out
    WIN32_FIND_DATAA data;
    std::string name;
};

host_dir* host_opendir(const char* path)
{
    std::string pattern = path;
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/' && pattern.back() != ':')
        pattern += '\\';
    pattern += '*';
    host_dir* d = new (std::nothrow) host_dir{};
    if (!d) {
        errno = ENOMEM;
        return nullptr;
    }
    d->find = FindFirstFileA(pattern.c_str(), &d->data);
    if (d->find == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        if (e != ERROR_FILE_NOT_FOUND || host_path_kind(path) != 1) {
            // A missing directory or a file: the same errno as the other hosts give.
            errno = host_path_kind(path) == 0 ? ENOTDIR : errno_of(e);
            delete d;
            return nullptr;
        }
        d->pending = false;  // a drive's root may hold nothing at all, not even "."
    } else {
        d->pending = true;
    }
    return d;
}

const char* host_readdir(host_dir* d, bool* is_dir)
{
    if (d->find == INVALID_HANDLE_VALUE)
        return nullptr;
    for (;;) {
        if (!d->pending && !FindNextFileA(d->find, &d->data))
            return nullptr;
        d->pending = false;
        const char* n = d->data.cFileName;
        if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0)
            continue;
        d->name = n;
        *is_dir = (d->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return d->name.c_str();
    }
}

void host_closedir(host_dir* d)
{
    if (d->find != INVALID_HANDLE_VALUE)
        FindClose(d->find);
    delete d;
}
