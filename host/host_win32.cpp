// The host layer over the Win32 API and Microsoft's C library (built with mingw-w64).
#include "host/host_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <io.h>
#include <limits>
#include <new>
#include <string>
#include <sys/stat.h>
#include <windows.h>

#include "host/win32_path.h"

namespace {

using win32::set_errno_from_last_error;
using win32::system_path;

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

namespace {

// The images open, so that nothing efsh writes is ever one of them: a file by its volume and index
// (any name, hard link or link leads to those), and a device, which has no such identity, by its
// full path. A fixed table; one image more than it holds is refused rather than left unguarded.
struct open_image {
    const host_file* f;  // null: a free slot
    bool known;          // id holds the file's identity
    host_id id;
    std::wstring path;   // its full path
};
open_image images[16];

// What a handle leads to, as the system says; errno set when it cannot say.
bool attributes_of(HANDLE h, DWORD* attributes, host_id* id)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        set_errno_from_last_error();
        return false;
    }
    *attributes = info.dwFileAttributes;
    if (id)
        *id = {info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    return true;
}

bool id_of_handle(HANDLE h, host_id* id)
{
    int saved = errno;
    DWORD a = 0;
    bool ok = h != INVALID_HANDLE_VALUE && attributes_of(h, &a, id);
    errno = saved;
    return ok;
}

bool is_image(const host_id& id)
{
    for (const open_image& i : images)
        if (i.f && i.known && i.id == id)
            return true;
    return false;
}

bool is_image_path(const std::wstring& full)
{
    for (const open_image& i : images)
        if (i.f && CompareStringOrdinal(i.path.c_str(), -1, full.c_str(), -1, TRUE) == CSTR_EQUAL)
            return true;
    return false;
}

}  // namespace

host_file* host_open(const char* path)
{
    std::wstring full = win32::full_path(path);
    if (full.empty())
        return nullptr;
    open_image* slot = nullptr;
    for (open_image& i : images)
        if (!i.f && !slot)
            slot = &i;
    if (!slot) {
        errno = EMFILE;
        return nullptr;
    }
    // Sharing reading and writing lets efsh read an image another program holds open, and raw
    // devices (\\.\PhysicalDrive1, \\.\E:), which refuse an unshared open.
    HANDLE h = CreateFileW(system_path(full).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return nullptr;
    }
    host_file* f = new (std::nothrow) host_file{h, h, INVALID_HANDLE_VALUE};
    if (!f) {
        CloseHandle(h);
        errno = ENOMEM;
        return nullptr;
    }
    *slot = {f, false, {}, full};
    slot->known = GetFileType(h) == FILE_TYPE_DISK && id_of_handle(h, &slot->id);
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
    for (open_image& i : images)
        if (i.f == f)
            i = {};
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

namespace {

// A variable of the environment as wide text; empty when it is not set.
std::wstring environment(const wchar_t* name)
{
    DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
    std::wstring value(n, L'\0');
    DWORD m = n ? GetEnvironmentVariableW(name, value.data(), n) : 0;
    value.resize(m < n ? m : 0);
    return value;
}

}  // namespace

const char* host_pager(const char** missing)
{
    // As the command interpreter would find it: the current directory, then each of PATH, with
    // each extension of PATHEXT.
    std::wstring exts = environment(L"PATHEXT");
    if (exts.empty())
        exts = L".COM;.EXE;.BAT;.CMD";
    std::wstring dirs = win32::here().path + L";" + environment(L"PATH");
    for (size_t d = 0; d < dirs.size();) {
        size_t d_end = dirs.find(L';', d);
        if (d_end == std::wstring::npos)
            d_end = dirs.size();
        std::wstring dir = dirs.substr(d, d_end - d);
        d = d_end + 1;
        if (dir.size() >= 2 && dir.front() == L'"' && dir.back() == L'"')
            dir = dir.substr(1, dir.size() - 2);
        if (dir.empty())
            continue;
        for (size_t e = 0; e < exts.size();) {
            size_t e_end = exts.find(L';', e);
            if (e_end == std::wstring::npos)
                e_end = exts.size();
            std::wstring name = dir + (dir.back() == L'\\' ? L"" : L"\\") + L"less" + exts.substr(e, e_end - e);
            e = e_end + 1;
            DWORD a = GetFileAttributesW(system_path(name).c_str());
            if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY)) {
                *missing = nullptr;
                return "less";
            }
        }
    }
    *missing = "less not found on PATH: get less.exe with Git for Windows (its usr\\bin folder) or put any "
               "less on PATH; paging with more";
    return "more";
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
    std::string path;
    (void)win32::latin1_of(win32::here().path.c_str(), &path);
    if (path.empty() || path.size() >= size) {
        errno = path.empty() ? ENOENT : ERANGE;
        return false;
    }
    std::memcpy(buf, path.c_str(), path.size() + 1);
    return true;
}

namespace {

// Opens a directory to stay in, so that it stays where it is: neither it nor a directory above it
// can be renamed or removed while efsh holds it. A directory some program holds open for deleting
// is still entered, without that hold. `follow`: through a final link or junction.
HANDLE open_dir(const std::wstring& full, bool follow)
{
    std::wstring sys = system_path(full);
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE h = CreateFileW(sys.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        h = CreateFileW(sys.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        set_errno_from_last_error();
    return h;
}

}  // namespace

int host_chdir(const char* path)
{
    // "D:" goes to that drive's current directory, "D:\\x" to x on it; a link or junction named
    // is followed, as the user chose it.
    std::wstring full = win32::full_path(path);
    if (full.empty())
        return -1;
    HANDLE h = open_dir(full, true);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    DWORD a = 0;
    if (!attributes_of(h, &a, nullptr) || !(a & FILE_ATTRIBUTE_DIRECTORY)) {
        if (a != 0 && !(a & FILE_ATTRIBUTE_DIRECTORY))
            errno = ENOTDIR;
        CloseHandle(h);
        return -1;
    }
    win32::move_to({full, h});
    return 0;
}

struct host_place {
    win32::place kept;
};

host_place* host_here()
{
    const win32::place& now = win32::here();
    HANDLE pin = INVALID_HANDLE_VALUE;
    if (now.pin != INVALID_HANDLE_VALUE &&
        !DuplicateHandle(GetCurrentProcess(), now.pin, GetCurrentProcess(), &pin, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        set_errno_from_last_error();
        return nullptr;
    }
    host_place* p = new (std::nothrow) host_place{{now.path, pin}};
    if (!p) {
        if (pin != INVALID_HANDLE_VALUE)
            CloseHandle(pin);
        errno = ENOMEM;
    }
    return p;
}

int host_go_back(host_place* p)
{
    // The kept directory was held in place all along: going back is only taking it up again.
    win32::move_to(std::move(p->kept));
    delete p;
    return 0;
}

int host_path_kind(const char* path)
{
    std::wstring sys = system_path(path);
    DWORD a = sys.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(sys.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        if (!sys.empty())
            set_errno_from_last_error();  // the caller may report why, as after a failed stat
        return -1;
    }
    return (a & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

bool host_id_of(const char* path, host_id* id)
{
    // Most names asked about are not there yet: that answer costs no handle.
    std::wstring sys = system_path(path);
    if (sys.empty() || GetFileAttributesW(sys.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    HANDLE h = CreateFileW(sys.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);  // directories too
    bool ok = id_of_handle(h, id);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok;
}

int host_mkdir(const char* path)
{
    std::wstring sys = system_path(path);
    if (sys.empty())
        return -1;
    if (!CreateDirectoryW(sys.c_str(), nullptr)) {
        set_errno_from_last_error();
        return -1;
    }
    return 0;
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
    HANDLE h;
    bool disk;     // a file on a disk (not a device or pipe named by the user)
    bool known;    // id holds the file's identity
    host_id id;
};

namespace {

// Why an open of a path that is there failed: what is there, when it is no file to write.
bool not_a_file_there(const std::wstring& sys)
{
    DWORD a = GetFileAttributesW(sys.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

// Whether an open handle is a regular file on a disk: no directory, device or pipe, and no link
// or junction (which a handle opened as itself shows, and which the path's own attributes show
// where a handle cannot).
bool regular_file(HANDLE h, const std::wstring& sys, host_id* id)
{
    DWORD a = 0;
    if (GetFileType(h) != FILE_TYPE_DISK || !attributes_of(h, &a, id))
        return false;
    DWORD named = GetFileAttributesW(sys.c_str());
    if (named != INVALID_FILE_ATTRIBUTES)
        a |= named;
    return !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

// What a tree copy finds at a name before it opens it for writing: HOST_ERRNO when nothing is
// there (*there false) or a regular file that is no image (*there true); otherwise the refusal,
// or HOST_ERRNO with *there false and errno set when it cannot be looked at. Only attributes are
// asked for, which opens a pipe without waiting for its other end.
host_refusal look_before(const std::wstring& sys, bool* there, bool* failed)
{
    *there = false;
    *failed = false;
    HANDLE h = CreateFileW(sys.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        *failed = e != ERROR_FILE_NOT_FOUND;
        errno = win32::errno_of(e);
        return HOST_ERRNO;
    }
    host_id id{};
    host_refusal r = !regular_file(h, sys, &id) ? HOST_NOT_A_FILE : is_image(id) ? HOST_IS_IMAGE : HOST_ERRNO;
    CloseHandle(h);
    *there = true;
    return r;
}

host_out* refuse(host_refusal r, host_refusal* why)
{
    if (why)
        *why = r;
    errno = r == HOST_IS_IMAGE ? EBUSY : EEXIST;
    return nullptr;
}

}  // namespace

host_out* host_create(const char* path, unsigned how, host_refusal* why)
{
    bool in_tree = (how & HOST_IN_TREE) != 0;
    bool only_new = (how & HOST_ONLY_NEW) != 0;
    if (why)
        *why = HOST_ERRNO;
    std::wstring full = win32::full_path(path);
    if (full.empty())
        return nullptr;
    std::wstring sys = system_path(full);
    // A name the copy made is looked at before it is opened for writing: only a regular file is
    // opened, as itself (a link or junction is never followed), and what is not there is made new,
    // so that nothing that can only be seen by its name (a link to nowhere) is ever written through.
    DWORD disposition = only_new ? CREATE_NEW : OPEN_ALWAYS;
    if (in_tree && !only_new) {
        bool there = false, failed = false;
        host_refusal r = look_before(sys, &there, &failed);
        if (r != HOST_ERRNO)
            return refuse(r, why);
        if (failed)
            return nullptr;
        disposition = there ? OPEN_EXISTING : CREATE_NEW;
    }
    DWORD flags = FILE_ATTRIBUTE_NORMAL | (in_tree ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE h = CreateFileW(sys.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition, flags, nullptr);
    DWORD error = GetLastError();
    if (h == INVALID_HANDLE_VALUE) {
        errno = win32::errno_of(error);
        bool exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        if (in_tree && !only_new && exists)
            return refuse(HOST_NOT_A_FILE, why);  // there, yet not to be opened as itself
        // Windows refuses to open a directory (or a link to one) for writing as it refuses any
        // denied access.
        if (error == ERROR_ACCESS_DENIED && not_a_file_there(sys)) {
            if (only_new)
                errno = EEXIST;  // something is there: the caller may ask again for what it is
            else if (in_tree)
                return refuse(HOST_NOT_A_FILE, why);
            else if (host_path_kind(path) == 1)
                errno = EISDIR;
        }
        return nullptr;
    }
    bool was_there = disposition == OPEN_EXISTING || (disposition == OPEN_ALWAYS && error == ERROR_ALREADY_EXISTS);
    host_out o{h, GetFileType(h) == FILE_TYPE_DISK, false, {}};
    DWORD a = 0;
    o.known = o.disk && attributes_of(h, &a, &o.id);
    host_refusal refusal = HOST_ERRNO;
    if ((o.known && is_image(o.id)) || is_image_path(full))
        refusal = HOST_IS_IMAGE;
    else if (in_tree && !regular_file(h, sys, &o.id))
        refusal = HOST_NOT_A_FILE;
    if (refusal != HOST_ERRNO) {
        CloseHandle(h);
        return refuse(refusal, why);
    }
    // Only now is what was there cut to nothing.
    if (was_there && o.disk && !SetEndOfFile(h)) {
        set_errno_from_last_error();
        CloseHandle(h);
        return nullptr;
    }
    host_out* out = new (std::nothrow) host_out(o);
    if (!out) {
        CloseHandle(h);
        errno = ENOMEM;
    }
    return out;
}

size_t host_write(host_out* o, const void* buf, size_t len)
{
    size_t done = 0;
    const auto* p = static_cast<const unsigned char*>(buf);
    while (done < len) {
        DWORD want = static_cast<DWORD>(len - done < (1u << 30) ? len - done : (1u << 30));
        DWORD n = 0;
        if (!WriteFile(o->h, p + done, want, &n, nullptr)) {
            set_errno_from_last_error();
            break;
        }
        if (n == 0) {
            errno = ENOSPC;
            break;
        }
        done += n;
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
    if (o->known)
        *id = o->id;
    return o->known;
}

namespace {

// Times and the read-only attribute in one call through a handle open for writing attributes.
// The read-only attribute is the one permission a Windows file carries by itself; a directory's
// means something else to Explorer and is left alone.
int set_basic(HANDLE h, unsigned mode, int64_t atime, int64_t mtime)
{
    FILETIME at, mt;
    if (!filetime_of(atime, &at) || !filetime_of(mtime, &mt)) {
        errno = EINVAL;
        return -1;
    }
    FILE_BASIC_INFO info;
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info)) {
        set_errno_from_last_error();
        return -1;
    }
    info.CreationTime.QuadPart = 0;  // 0: left as it is
    info.ChangeTime.QuadPart = 0;
    info.LastAccessTime.QuadPart = static_cast<LONGLONG>((uint64_t{at.dwHighDateTime} << 32) | at.dwLowDateTime);
    info.LastWriteTime.QuadPart = static_cast<LONGLONG>((uint64_t{mt.dwHighDateTime} << 32) | mt.dwLowDateTime);
    if (!(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(mode & 0200))
        info.FileAttributes |= FILE_ATTRIBUTE_READONLY;
    if (!SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info)) {
        set_errno_from_last_error();
        return -1;
    }
    return 0;
}

}  // namespace

int host_out_set_perm(host_out* o, unsigned mode, int64_t atime, int64_t mtime)
{
    // Nothing was set aside that could change the times later; a device or pipe keeps its own.
    return o->disk ? set_basic(o->h, mode, atime, mtime) : 0;
}

int host_close_out(host_out* o)
{
    bool ok = CloseHandle(o->h) != 0;
    if (!ok)
        set_errno_from_last_error();
    delete o;
    return ok ? 0 : -1;
}

int host_discard_out(host_out* o, const char* path)
{
    bool disk = o->disk, known = o->known;
    host_id id = o->id;
    if (host_close_out(o) != 0 || !disk)
        return disk ? -1 : 0;
    // Removed by its name only while the name still leads to the very file written, not a link.
    std::wstring sys = system_path(path);
    HANDLE h = sys.empty() ? INVALID_HANDLE_VALUE
                           : CreateFileW(sys.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (!sys.empty())
            set_errno_from_last_error();
        return -1;
    }
    DWORD a = 0;
    host_id now{};
    int rc = 0;
    if (!attributes_of(h, &a, &now)) {
        rc = -1;
    } else if (!known || !(now == id) || (a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        errno = ENOENT;  // the name leads elsewhere now: the file written is not there to remove
        rc = -1;
    } else {
        FILE_DISPOSITION_INFO gone{TRUE};
        if (!SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone)) {
            set_errno_from_last_error();
            rc = -1;
        }
    }
    CloseHandle(h);
    return rc;
}

namespace {

// A device or pipe named as the target of a copy (NUL, COM1, \\.\pipe\x) is a host object, not a
// copy: it keeps its own attributes and times.
bool keeps_its_own(const std::wstring& sys)
{
    HANDLE h = CreateFileW(sys.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD type = GetFileType(h);
    CloseHandle(h);
    return type != FILE_TYPE_DISK;
}

}  // namespace

int host_set_mode(const char* path, unsigned mode)
{
    std::wstring sys = system_path(path);
    if (sys.empty())
        return -1;
    if (keeps_its_own(sys))
        return 0;
    DWORD a = GetFileAttributesW(sys.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        set_errno_from_last_error();
        return -1;
    }
    if ((a & FILE_ATTRIBUTE_DIRECTORY) || (mode & 0200) || (a & FILE_ATTRIBUTE_READONLY))
        return 0;
    if (!SetFileAttributesW(sys.c_str(), a | FILE_ATTRIBUTE_READONLY)) {
        set_errno_from_last_error();
        return -1;
    }
    return 0;
}

int host_set_times(const char* path, int64_t atime, int64_t mtime)
{
    std::wstring sys = system_path(path);
    if (sys.empty())
        return -1;
    if (keeps_its_own(sys))
        return 0;
    FILETIME at, mt;
    if (!filetime_of(atime, &at) || !filetime_of(mtime, &mt)) {
        errno = EINVAL;
        return -1;
    }
    // Backup semantics let the same open reach a directory.
    HANDLE h = CreateFileW(sys.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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

int host_enter_dir(const char* name, host_id* id)
{
    std::wstring full = win32::full_path(name);
    if (full.empty())
        return -1;
    bool made = CreateDirectoryW(system_path(full).c_str(), nullptr) != 0;
    DWORD made_error = made ? 0 : GetLastError();
    HANDLE h = open_dir(full, false);
    if (h == INVALID_HANDLE_VALUE) {
        // Nothing there to enter: why it could not be made is what to tell (no right to write here,
        // a full disk), not that it is missing.
        if (made_error != 0 && made_error != ERROR_ALREADY_EXISTS)
            errno = win32::errno_of(made_error);
        return -1;
    }
    DWORD a = 0;
    if (!attributes_of(h, &a, id)) {
        CloseHandle(h);
        return -1;
    }
    DWORD named = GetFileAttributesW(system_path(full).c_str());  // a link a handle may not show
    if (!(a & FILE_ATTRIBUTE_DIRECTORY) || (a & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (named != INVALID_FILE_ATTRIBUTES && (named & FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(h);
        return 1;
    }
    win32::move_to({full, h});
    return 0;
}

int host_set_dir_perm(const char* name, const host_id& id, unsigned mode, int64_t atime, int64_t mtime)
{
    std::wstring sys = system_path(name);
    if (sys.empty())
        return -1;
    HANDLE h = CreateFileW(sys.c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return -1;
    }
    DWORD a = 0;
    host_id now{};
    int rc = -1;
    if (attributes_of(h, &a, &now)) {
        DWORD named = GetFileAttributesW(sys.c_str());
        if (named != INVALID_FILE_ATTRIBUTES)
            a |= named & FILE_ATTRIBUTE_REPARSE_POINT;
        if (!(a & FILE_ATTRIBUTE_DIRECTORY) || (a & FILE_ATTRIBUTE_REPARSE_POINT))
            errno = ENOTDIR;
        else if (!(now == id))
            errno = ENOENT;  // another directory has taken the name since
        else
            rc = set_basic(h, mode, atime, mtime);
    }
    CloseHandle(h);
    return rc;
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
    WIN32_FIND_DATAW data;
    std::string name;
};

host_dir* host_opendir(const char* path)
{
    std::wstring full = win32::full_path(path);
    if (full.empty())
        return nullptr;
    std::wstring pattern = system_path(full + (full.back() == L'\\' ? L"*" : L"\\*"));
    host_dir* d = new (std::nothrow) host_dir{};
    if (!d) {
        errno = ENOMEM;
        return nullptr;
    }
    d->find = FindFirstFileW(pattern.c_str(), &d->data);
    if (d->find == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        if (e != ERROR_FILE_NOT_FOUND || host_path_kind(path) != 1) {
            // A missing directory or a file: the same errno as the other hosts give.
            errno = host_path_kind(path) == 0 ? ENOTDIR : win32::errno_of(e);
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
        if (!d->pending && !FindNextFileW(d->find, &d->data))
            return nullptr;
        d->pending = false;
        const wchar_t* n = d->data.cFileName;
        if (std::wcscmp(n, L".") == 0 || std::wcscmp(n, L"..") == 0)
            continue;
        // A name with a character beyond ISO 8859-1 could not be typed back: it is left out.
        if (!win32::latin1_of(n, &d->name))
            continue;
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
