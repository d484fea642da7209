// The table of open disks: opening an image, reading its volume header, closing it.
#include "volume/volume.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "efs/efs_io.h"

#include "efs/fs_error.h"
#include "host/host_io.h"
#include "volume/image.h"

disk disk_table[DISK_SLOTS];

namespace {

// A copy of one partition taken without the disk's volume header (as a host names an SGI disk's
// partitions, /dev/sdb7): true when block 1 holds a superblock that passes the mount's check. The
// header then describes that one partition as partition 0, an EFS file system of sb_size blocks.
bool one_partition(host_file* f, volume_header* hdr)
{
    uint8_t raw[BLOCK_SIZE];
    superblock sb;
    if (image_read_at(f, BLOCK_SIZE, raw, sizeof raw) != 0 || !superblock_check(raw, &sb))
        return false;
    *hdr = volume_header{};
    hdr->partition_table[0] = partition_entry{sb.sb_size, 0, 7};
    return true;
}

// Opens the image's file: the file named, or the data file its cue sheet names; raw CD sectors
// are read through a translation from here on. Null when it cannot be opened, with errno set, or
// fs_errno set and the open note saying why.
host_file* open_image_file(const char* path)
{
    host_file* f = host_open(path);
    if (!f) {
        // Windows refuses to open a folder as a file, for want of access.
        if (host_path_kind(path) == 1)
            errno = EISDIR;
        return nullptr;
    }
    uint8_t head[CD_SECTOR_SUBCHANNEL + 16];
    int64_t size = host_file_size(f);
    size_t len = size < 0 || size > static_cast<int64_t>(sizeof head) ? sizeof head : static_cast<size_t>(size);
    if (host_read_at(f, 0, head, len) != 0)
        return f;  // the read of block 0 meets it again
    sector_layout raw;
    if (raw_sector_layout(head, len, size, 0, &raw)) {
        if (raw.mode != 1 && raw.mode != 2) {
            open_note("%s: raw CD sectors of mode %d: efsh reads data sectors of mode 1 and mode 2 form 1", path, raw.mode);
            host_close(f);
            fs_errno = FS_EBADMAGIC;
            return nullptr;
        }
        if (!image_translate(f, raw, path)) {
            host_close(f);
            return nullptr;
        }
        return f;
    }
    uint32_t magic = len >= 4 ? static_cast<uint32_t>(head[0]) << 24 | head[1] << 16 | head[2] << 8 | head[3] : 0;
    if (magic != VH_MAGIC && is_cue_sheet(path, head, len)) {
        host_file* data = cue_open(f, path);
        int why = errno;
        host_close(f);
        errno = why;
        return data;
    }
    return f;
}

}  // namespace

disk* disk_open(const char* path)
{
    disk* slot = nullptr;
    for (disk& d : disk_table) {
        if (!d.handle) {
            slot = &d;
            break;
        }
    }
    if (!slot) {
        fs_errno = FS_EMFILE;
        return nullptr;
    }
    slot->header = new (std::nothrow) volume_header{};
    if (!slot->header) {
        fs_errno = FS_ENOMEM;
        return nullptr;
    }
    clear_open_note();
    host_file* f = open_image_file(path);
    if (!f) {
        delete slot->header;
        slot->header = nullptr;
        return nullptr;
    }
    slot->handle = f;
    uint8_t raw[BLOCK_SIZE];
    if (image_read_at(f, 0, raw, sizeof raw) != 0) {
        fs_errno = FS_EREAD;
        int64_t size = host_file_size(f);
        if (host_path_kind(path) == 1) {
            // A directory opens where the host lets it; reading it fails for that reason.
            fs_errno = FS_OK;
            errno = EISDIR;
        } else if (size == 0) {
            open_note("%s: an empty file: too short to be a disk image", path);
        } else {
            identify_file(f, path, size);  // a small compressed file, say
            if (!open_note_given() && size > 0 && size < BLOCK_SIZE)
                open_note("%s: %lld bytes: too short to be a disk image", path, static_cast<long long>(size));
        }
        disk_close(slot);
        return nullptr;
    }
    slot->one_partition = false;
    if (!volume_header_check(raw, slot->header)) {
        // Only a block that is no header at all may be the start of a bare partition: a header
        // with a wrong checksum is a damaged one.
        if (fs_errno != FS_EBADMAGIC || !one_partition(f, slot->header)) {
            if (fs_errno == FS_EBADMAGIC)
                identify_file(f, path, host_file_size(f));
            int32_t code = fs_errno;
            disk_close(slot);
            fs_errno = code;
            return nullptr;
        }
        slot->one_partition = true;
        fs_errno = FS_OK;
    }
    return slot;
}

bool disk_close(disk* d)
{
    image_forget(d->handle);
    bool ok = host_close(d->handle);
    d->handle = nullptr;
    delete d->header;
    d->header = nullptr;
    d->one_partition = false;
    return ok;
}

int partition_number(const char* text)
{
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}
