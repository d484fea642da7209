// The Windows host layer's host files and directories made by cp: opened without following a
// final link where a tree copy made the name, checked against the images before anything is cut,
// modes and times set through what was opened.
#include "host/host_io.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <windows.h>

#include "host/host_win32.h"

namespace {

using win32::attributes_of;
using win32::is_image;
using win32::is_image_path;
using win32::open_dir;
using win32::id_of_handle;
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

}  // namespace

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
// or HOST_ERRNO with *failed true and errno set when it cannot be looked at. Only attributes are
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

// A file of more than one name (h, opened at sys) is removed from that name, which is made anew
// (a named target reached through links where they lead): the handle of the new file, or
// INVALID_HANDLE_VALUE with errno set. A file of one name keeps h as it is.
HANDLE replace_linked(HANDLE h, const std::wstring& sys, bool in_tree)
{
    // The standard information only: the identity with its volume serial costs far more to ask.
    FILE_STANDARD_INFO info;
    if (!GetFileInformationByHandleEx(h, FileStandardInfo, &info, sizeof info) || info.NumberOfLinks <= 1)
        return h;
    std::wstring name = sys;
    if (!in_tree) {
        DWORD n = GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        std::wstring real(n, L'\0');
        n = n ? GetFinalPathNameByHandleW(h, real.data(), n, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS) : 0;
        if (n == 0 || n >= real.size()) {
            set_errno_from_last_error();
            CloseHandle(h);
            return INVALID_HANDLE_VALUE;
        }
        real.resize(n);
        name = real;
    }
    CloseHandle(h);
    if (!DeleteFileW(name.c_str())) {
        set_errno_from_last_error();
        return INVALID_HANDLE_VALUE;
    }
    h = CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        set_errno_from_last_error();
    return h;
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
    // Nothing is opened, nor made, on storage an image lies on: a raw drive or volume holding it,
    // or a volume of a drive open as an image.
    if (win32::shares_storage_with_image(full))
        return refuse(HOST_IS_IMAGE, why);
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
    // A file of more than one name is never written through: its name is given a new file, and
    // the other names keep their bytes.
    if (was_there && o.disk) {
        HANDLE old = h;
        if ((h = replace_linked(h, sys, in_tree)) == INVALID_HANDLE_VALUE)
            return nullptr;
        if (h != old) {
            o.known = id_of_handle(h, &o.id);
            was_there = false;
        }
    }
    // Only now is what was there cut to nothing.
    if (was_there && o.disk && !SetEndOfFile(h)) {
        set_errno_from_last_error();
        CloseHandle(h);
        return nullptr;
    }
    o.h = h;
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

bool host_copies_in_kernel(host_out*)
{
    return false;
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

bool host_out_regular(const host_out* o)
{
    return o->disk && o->known;
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

int host_enter_dir(const char* name, host_id* id)
{
    std::wstring full = win32::full_path(name);
    if (full.empty())
        return -1;
    if (GetFileAttributesW(system_path(full).c_str()) == INVALID_FILE_ATTRIBUTES && win32::shares_storage_with_image(full)) {
        errno = EROFS;  // a directory made there would be written into the image
        return -1;
    }
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
        else if (win32::shares_storage_with_image(win32::full_path(name)))
            errno = EROFS;  // one there already, on a volume lying on the image: left as it is
        else
            rc = set_basic(h, mode, atime, mtime);
    }
    CloseHandle(h);
    return rc;
}


// --- Files written whole ---------------------------------------------------------------------

host_target host_target_kind(const char* path)
{
    std::wstring full = win32::full_path(path);
    if (full.empty())
        return HOST_TARGET_OTHER;
    if (is_image_path(full))
        return HOST_TARGET_IMAGE;
    std::wstring sys = system_path(full);
    bool there = false, failed = false;
    host_refusal r = look_before(sys, &there, &failed);
    if (failed)
        return HOST_TARGET_OTHER;
    if (!there)
        return HOST_TARGET_NEW;
    return r == HOST_IS_IMAGE ? HOST_TARGET_IMAGE : r == HOST_ERRNO ? HOST_TARGET_FILE : HOST_TARGET_OTHER;
}

int host_commit_out(host_out* o, const char* temp, const char* target)
{
    bool flushed = FlushFileBuffers(o->h) != 0;
    if (!flushed)
        set_errno_from_last_error();
    if (flushed)
        host_test_hold("rename");
    if (flushed && host_stop_asked() != HOST_NO_STOP) {
        flushed = false;
        errno = EINTR;
    }
    if (!flushed) {
        int reason = errno;
        (void)host_discard_out(o, temp);
        errno = reason;
        return -1;
    }
    bool closed = CloseHandle(o->h) != 0;
    delete o;
    std::wstring from = system_path(temp), to = system_path(target);
    // Written through: the move is on the disk when the call returns, as the bytes are.
    if (!closed || from.empty() || to.empty() ||
        !MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (!closed || (!from.empty() && !to.empty()))
            set_errno_from_last_error();
        int reason = errno;
        if (!from.empty())
            DeleteFileW(from.c_str());
        errno = reason;
        return -1;
    }
    return 0;
}
