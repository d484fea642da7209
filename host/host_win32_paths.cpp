// Inside the Windows host layer: names as wide paths, full paths of any length, the working
// directory the layer keeps, and what a handle leads to.
#include "host/host_win32.h"

#include <cerrno>

namespace win32 {

std::wstring wide_of(const char* text)
{
    std::wstring w;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        w += static_cast<wchar_t>(*p);
    return w;
}

bool latin1_of(const wchar_t* text, std::string* out)
{
    bool whole = true;
    out->clear();
    for (const wchar_t* p = text; *p; ++p) {
        bool fits = static_cast<unsigned>(*p) <= 0xFF;
        whole = whole && fits;
        *out += fits ? static_cast<char>(*p) : '?';
    }
    return whole;
}

int errno_of(DWORD error)
{
    // So that perror after a failed host call reads as it does on the other hosts ("open disk: No
    // such file or directory"). Anything without a counterpart is an input/output error: a failure
    // is never reported as success.
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

namespace {

bool is_sep(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

bool is_letter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

wchar_t upper(wchar_t c)
{
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// "\\?\..." and "\\.\...": already what the system takes, handed on untouched.
bool prefixed(const std::wstring& w)
{
    return w.size() >= 4 && is_sep(w[0]) && is_sep(w[1]) && (w[2] == L'?' || w[2] == L'.') && is_sep(w[3]);
}

// Where a full path's root ends: "C:\" is 3; "\\server\share" up to the separator after the share.
size_t root_length(const std::wstring& full)
{
    if (full.size() >= 2 && full[1] == L':')
        return full.size() >= 3 ? 3 : 2;
    size_t seps = 0;
    for (size_t i = 0; i < full.size(); ++i)
        if (is_sep(full[i]) && ++seps == 4)
            return i;
    return full.size();
}

// A path without its "\\?\" form, and without a separator at the end but the root's.
std::wstring plain(std::wstring w)
{
    if (w.rfind(L"\\\\?\\UNC\\", 0) == 0)
        w = L"\\" + w.substr(7);
    else if (w.rfind(L"\\\\?\\", 0) == 0 && w.size() >= 6 && w[5] == L':')
        w = w.substr(4);
    while (w.size() > root_length(w) && is_sep(w.back()))
        w.pop_back();
    return w;
}

// "." and ".." resolved, "/" made "\"; the system does this for paths of any length.
std::wstring resolved(const std::wstring& whole)
{
    DWORD n = GetFullPathNameW(whole.c_str(), 0, nullptr, nullptr);
    if (n == 0) {
        set_errno_from_last_error();
        return {};
    }
    std::wstring out(n, L'\0');
    DWORD m = GetFullPathNameW(whole.c_str(), n, out.data(), nullptr);
    if (m == 0 || m >= n) {
        if (m == 0)
            set_errno_from_last_error();
        else
            errno = ENAMETOOLONG;
        return {};
    }
    out.resize(m);
    return prefixed(out) ? out : plain(out);
}

// While efsh runs, its console reads and shows ISO 8859-1 as well: what ls prints of a name and
// what is typed for it are the characters the name has on disk. The console's own code pages come
// back when efsh ends, also by Ctrl-C or the console's close button, which end it without running
// the C library's exit.
UINT console_in = 0;
UINT console_out = 0;

void console_restore()
{
    if (console_in != 0)
        SetConsoleCP(console_in);
    if (console_out != 0)
        SetConsoleOutputCP(console_out);
}

BOOL WINAPI console_ending(DWORD)
{
    console_restore();
    return FALSE;  // and on to the system's own handling, which ends efsh
}

struct console_latin1 {
    console_latin1()
    {
        console_in = GetConsoleCP();
        console_out = GetConsoleOutputCP();
        if (console_in == 0 && console_out == 0)
            return;  // no console
        SetConsoleCtrlHandler(console_ending, TRUE);
        if (console_in != 0)
            SetConsoleCP(28591);
        if (console_out != 0)
            SetConsoleOutputCP(28591);
    }
    ~console_latin1() { console_restore(); }
} console;

place current{{}, INVALID_HANDLE_VALUE};
bool current_known = false;
std::wstring process_dir;  // what the process's own current directory was last set to

}  // namespace

std::wstring full_path(const char* path)
{
    return full_path(wide_of(path));
}

std::wstring full_path(const std::wstring& w)
{
    if (w.empty()) {
        errno = ENOENT;
        return {};
    }
    if (prefixed(w))
        return w;
    const std::wstring& cwd = here().path;
    std::wstring whole;
    if (is_sep(w[0]) && w.size() > 1 && is_sep(w[1]))
        whole = w;  // \\server\share\...
    else if (is_sep(w[0]))
        whole = cwd.substr(0, root_length(cwd) - (cwd.size() > 1 && cwd[1] == L':' ? 1 : 0)) + w;
    else if (w.size() >= 2 && is_letter(w[0]) && w[1] == L':' && !(w.size() > 2 && is_sep(w[2])) &&
             cwd.size() >= 2 && cwd[1] == L':' && upper(w[0]) == upper(cwd[0]))
        whole = cwd + L"\\" + w.substr(2);  // "C:x" on the drive efsh is in: from here
    else if (w.size() >= 2 && is_letter(w[0]) && w[1] == L':')
        whole = w;  // "D:\x", or "D:x" from the directory the system keeps for that drive
    else
        whole = cwd + L"\\" + w;
    return resolved(whole);
}

std::wstring system_path(const std::wstring& full)
{
    // 248: the longest directory an ordinary path may name (room for an 8.3 name below it).
    if (full.empty() || prefixed(full) || full.size() < 248)
        return full;
    if (is_sep(full[0]))
        return L"\\\\?\\UNC" + full.substr(1);
    return L"\\\\?\\" + full;
}

std::wstring system_path(const char* path)
{
    return system_path(full_path(path));
}

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

const place& here()
{
    if (!current_known) {
        current_known = true;
        DWORD n = GetCurrentDirectoryW(0, nullptr);
        std::wstring p(n, L'\0');
        DWORD m = n ? GetCurrentDirectoryW(n, p.data()) : 0;
        p.resize(m < n ? m : 0);
        current.path = plain(p);
        int saved = errno;
        current.pin = open_dir(current.path, true);
        errno = saved;
        process_dir = current.path;
    }
    return current;
}

void move_to(place p)
{
    here();
    if (current.pin != INVALID_HANDLE_VALUE && current.pin != p.pin)
        CloseHandle(current.pin);
    current = std::move(p);
    // Programs efsh starts (the pager) begin where efsh is, where the system can follow.
    if (current.path.size() < MAX_PATH - 1 && current.path != process_dir && SetCurrentDirectoryW(current.path.c_str()))
        process_dir = current.path;
}

}  // namespace win32
