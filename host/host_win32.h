// Inside the Windows host layer: how efsh's names become the wide paths Windows takes, the working
// directory the layer keeps for itself, and what the parts share. Only host_win32*.cpp include this.
#pragma once
#include <string>
#include <windows.h>

#include "host/host_io.h"

namespace win32 {

// efsh's bytes (names from the image, and what was typed) are ISO 8859-1, IRIX's 8-bit set: each
// byte is the character of the same number, whatever code page the console or the system uses.
std::wstring wide_of(const char* text);

// The reverse for names the host gives back; false when a character has no byte in that set
// (it becomes '?').
bool latin1_of(const wchar_t* text, std::string* out);

// The C library's errno for a Win32 error; errno set from GetLastError.
int errno_of(DWORD error);
void set_errno_from_last_error();

// A path made whole against the kept working directory, "." and ".." resolved: "C:\a\b",
// "\\server\share\a", or a device ("\\.\PhysicalDrive1", "\\.\NUL") as it is. Empty (errno set)
// when it cannot be made.
std::wstring full_path(const char* path);
std::wstring full_path(const std::wstring& path);

// The form to hand a system call: the full path, or its "\\?\" form once it is too long for
// the ordinary one, so that no depth of directories is out of reach.
std::wstring system_path(const std::wstring& full);
std::wstring system_path(const char* path);

// The working directory: its full path and a handle that keeps it in place (it cannot be renamed
// or removed while efsh is in it, nor can any directory above it). Relative paths are taken from
// here, never from the process's own current directory, which Windows limits to 260 characters.
struct place {
    std::wstring path;
    HANDLE pin;
};
const place& here();

// Makes p the working directory (the layer takes its handle) and the old one's handle goes.
void move_to(place p);

// Opens a directory to stay in (see place); `follow`: through a final link or junction. Invalid,
// errno set, when it cannot be opened.
HANDLE open_dir(const std::wstring& full, bool follow);

// What a handle leads to: its attributes and (id may be null) its identity; false with errno set
// when the system cannot say. id_of_handle leaves errno as it was.
bool attributes_of(HANDLE h, DWORD* attributes, host_id* id);
bool id_of_handle(HANDLE h, host_id* id);

// Whether a file is one of the images open (by identity), or a path names one (by its full path,
// which is all a raw device has).
bool is_image(const host_id& id);
bool is_image_path(const std::wstring& full);

// Which disk a path's bytes lie on, as far as the system tells (see host_win32_storage.cpp):
// its device type and number and the partition (0: the whole disk); `within` for a file, which
// lies somewhere inside its volume. Only a raw drive or volume is asked about without `files`.
struct disk_place {
    bool known;
    bool within;
    DWORD type, number, partition;
};
disk_place disk_of(const std::wstring& full, bool files = true);

// Whether writing at one place can change a byte at the other.
bool shares(const disk_place& a, const disk_place& b);

// Whether writing what a full path names can change a byte of an open image: a raw drive or volume
// holding an image file or one open as an image, or a file on a volume of a drive open as an image.
bool shares_storage_with_image(const std::wstring& full);

}  // namespace win32
