// The host layer over the Win32 API and Microsoft's C library (built with mingw-w64): the image,
// the pager, directories and names, dates, the terminal. Host files made by cp are in
// host_win32_files.cpp, paths in host_win32_paths.cpp.
#include "host/host_io.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <windows.h>
#include <shellapi.h>

#include "host/host_win32.h"

namespace {

using win32::id_of_handle;
using win32::set_errno_from_last_error;
using win32::system_path;

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
    win32::disk_place where;  // the disk it lies on, as far as the system tells
};
open_image images[16];

}  // namespace

namespace win32 {

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

bool shares_storage_with_image(const std::wstring& full)
{
    bool any = false, device = false;
    for (const open_image& i : images)
        if (i.f && i.where.known) {
            any = true;
            device = device || !i.where.within;
        }
    if (!any)
        return false;
    // A file meets only an image that is a drive or volume itself: a volume keeps its files apart,
    // and which file is the image the identity tells. So files are looked up only then.
    disk_place target = disk_of(full, device);
    for (const open_image& i : images)
        if (i.f && shares(target, i.where))
            return true;
    return false;
}

}  // namespace win32

namespace {

// The image's path as given on the command line. The C library made argv's bytes from the wide
// command line in the system's code page, which ISO 8859-1 does not read back where that page is
// another (a folder named in Japanese or Greek): such a path is taken in its wide form. Empty for
// a path that is not an argument.
std::wstring as_given(const char* path)
{
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    std::wstring found;
    for (int i = 1; wide && n == __argc && i < n && found.empty(); ++i)
        if (std::strcmp(__argv[i], path) == 0)
            found = wide[i];
    if (wide)
        LocalFree(wide);
    return found;
}

}  // namespace

host_file* host_open(const char* path)
{
    std::wstring given = as_given(path);
    std::wstring full = given.empty() ? win32::full_path(path) : win32::full_path(given);
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
    *slot = {f, false, {}, full, win32::disk_of(full)};
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

int host_read_pieces(host_file* f, int64_t offset, const host_piece* pieces, int count)
{
    // One read into one buffer, then the pieces from it: Windows scatters only whole pages.
    size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += pieces[i].len;
    std::unique_ptr<unsigned char[]> all(new (std::nothrow) unsigned char[total ? total : 1]);
    if (!all)
        return 2;
    int rc = host_read_at(f, offset, all.get(), total);
    size_t at = 0;
    for (int i = 0; rc == 0 && i < count; at += pieces[i++].len)
        std::memcpy(pieces[i].buf, all.get() + at, pieces[i].len);
    return rc;
}

int64_t host_file_size(host_file* f)
{
    LARGE_INTEGER size;
    if (!f || GetFileType(f->random) != FILE_TYPE_DISK || !GetFileSizeEx(f->random, &size))
        return -1;
    return size.QuadPart;
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

namespace {

// While the pager runs it has the console: Ctrl-C is its own, not efsh's.
std::atomic<bool> pager_running{false};

}  // namespace

FILE* host_popen_write(const char* command)
{
    FILE* p = _popen(command, "wb");
    pager_running = p != nullptr;
    return p;
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
    int rc = _pclose(pipe);
    pager_running = false;
    return rc;
}

void host_ignore_sigpipe()
{
    // A write into a pipe whose reader has gone fails with an error here; no signal ends the process.
}

void host_binary_output(FILE* stream, bool binary)
{
    (void)_setmode(_fileno(stream), binary ? _O_BINARY : _O_TEXT);
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

int host_chdir(const char* path)
{
    // "D:" goes to that drive's current directory, "D:\\x" to x on it; a link or junction named
    // is followed, as the user chose it.
    std::wstring full = win32::full_path(path);
    if (full.empty())
        return -1;
    HANDLE h = win32::open_dir(full, true);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    DWORD a = 0;
    if (!win32::attributes_of(h, &a, nullptr) || !(a & FILE_ATTRIBUTE_DIRECTORY)) {
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

int host_terminal_width(FILE* stream)
{
    int fd = _fileno(stream);
    HANDLE h = fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (h == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(h, &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

struct host_thread {
    HANDLE handle;
    void (*fn)(void*);
    void* arg;
};

namespace {

DWORD WINAPI thread_main(LPVOID t)
{
    auto* h = static_cast<host_thread*>(t);
    h->fn(h->arg);
    return 0;
}

}  // namespace

host_thread* host_thread_start(void (*fn)(void*), void* arg)
{
    auto* t = new (std::nothrow) host_thread{nullptr, fn, arg};
    if (t && !(t->handle = CreateThread(nullptr, 0, thread_main, t, 0, nullptr))) {
        delete t;
        t = nullptr;
    }
    return t;
}

void host_thread_join(host_thread* t)
{
    WaitForSingleObject(t->handle, INFINITE);
    CloseHandle(t->handle);
    delete t;
}

// --- Stops asked from outside ----------------------------------------------------------------

namespace {

// The console calls the handler on a thread of its own: the flags are atomic.
std::atomic<int> stop_asked{HOST_NO_STOP};
std::atomic<int> stop_signal{0};

BOOL WINAPI on_console_event(DWORD event)
{
    bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    if (interrupt && pager_running.load())
        return TRUE;
    int sig = interrupt ? SIGINT : SIGTERM;
    if (stop_asked.load() != HOST_NO_STOP)
        ExitProcess(static_cast<UINT>(128 + sig));  // asked twice: the first did not stop it
    stop_signal = sig;
    stop_asked = interrupt ? HOST_STOP_INTERRUPT : HOST_STOP_END;
    // The console window closed, the user logging off or the system shutting down end the process
    // once this returns: the main thread has these few seconds to put things back and end itself.
    if (!interrupt)
        Sleep(5000);
    return TRUE;
}

}  // namespace

void host_catch_stops()
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

host_stop host_stop_asked()
{
    return static_cast<host_stop>(stop_asked.load());
}

host_stop host_stop_after_read(FILE* in)
{
    for (int i = 0; i < 20 && stop_asked.load() == HOST_NO_STOP && host_is_terminal(in); ++i)
        Sleep(5);
    return host_stop_asked();
}

host_stop host_take_stop(int* signal)
{
    if (signal)
        *signal = stop_signal.load();
    return static_cast<host_stop>(stop_asked.exchange(HOST_NO_STOP));
}
