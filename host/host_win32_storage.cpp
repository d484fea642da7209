// Which disk a Windows path's bytes lie on, as far as the system tells: a raw drive or volume
// (\\.\PhysicalDrive1, \\.\E:, \\?\Volume{...}) is its disk, or one partition of it; a file lies
// somewhere inside the volume that holds it (GetVolumePathNameW). Two places share storage when
// they are on one disk and one of them is the whole disk or both the same partition, unless both
// are only files (a volume keeps its files apart).
#include <string>
#include <windows.h>
#include <winioctl.h>

#include "host/host_win32.h"

namespace win32 {

namespace {

bool starts_with(const std::wstring& s, const wchar_t* prefix)
{
    size_t n = wcslen(prefix);
    return s.size() >= n && CompareStringOrdinal(s.c_str(), static_cast<int>(n), prefix, static_cast<int>(n), TRUE) == CSTR_EQUAL;
}

// A raw drive or volume rather than a file: \\.\ names only devices; \\?\Volume{...} is the volume
// itself without a path after it (with one, a file or directory on it).
bool names_a_device(const std::wstring& full)
{
    if (starts_with(full, L"\\\\.\\"))
        return true;
    if (!starts_with(full, L"\\\\?\\Volume{"))
        return false;
    size_t close = full.find(L'}');
    return close != std::wstring::npos && close + 1 == full.size();
}

// The disk number, partition and device type of a raw drive or volume; false when it will not say.
bool number_of(const std::wstring& device, disk_place* out)
{
    // No access asked for: only a question about the device, which needs none and opens no data.
    HANDLE h = CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    STORAGE_DEVICE_NUMBER n{};
    DWORD got = 0;
    bool ok = DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &got, nullptr) &&
              got >= sizeof n;
    CloseHandle(h);
    if (ok) {
        out->type = n.DeviceType;
        out->number = n.DeviceNumber;
        out->partition = n.PartitionNumber;
    }
    return ok;
}

}  // namespace

disk_place disk_of(const std::wstring& full, bool files)
{
    DWORD saved = GetLastError();
    disk_place p{};
    if (names_a_device(full)) {
        p.known = number_of(full, &p);
    } else if (files) {
        // The mount point of the volume that holds the path ("C:\", or a folder a volume is
        // mounted on), then the volume's own name, whose device answers for it.
        wchar_t mount[MAX_PATH + 1];
        wchar_t volume[64];
        if (!full.empty() && GetVolumePathNameW(full.c_str(), mount, MAX_PATH + 1) &&
            GetVolumeNameForVolumeMountPointW(mount, volume, 64)) {
            std::wstring v = volume;
            if (!v.empty() && v.back() == L'\\')
                v.pop_back();
            p.known = number_of(v, &p);
            p.within = true;
        }
    }
    SetLastError(saved);
    return p;
}

bool shares(const disk_place& a, const disk_place& b)
{
    return a.known && b.known && !(a.within && b.within) && a.type == b.type && a.number == b.number &&
           (a.partition == b.partition || a.partition == 0 || b.partition == 0);
}

}  // namespace win32
