// The table of open disks: opening an image, reading its volume header, closing it.
#include "volume/volume.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "efs/efs_io.h"

#include "efs/fs_error.h"
#include "host/host_io.h"

disk disk_table[DISK_SLOTS];

namespace {

// A copy of one partition taken without the disk's volume header (as a host names an SGI disk's
// partitions, /dev/sdb7): true when block 1 holds a superblock that passes the mount's check. The
// header then describes that one partition as partition 0, an EFS file system of sb_size blocks.
bool one_partition(host_file* f, volume_header* hdr)
{
    uint8_t raw[BLOCK_SIZE];
    superblock sb;
    if (host_read_at(f, BLOCK_SIZE, raw, sizeof raw) != 0 || !superblock_check(raw, &sb))
        return false;
    *hdr = volume_header{};
    hdr->partition_table[0] = partition_entry{sb.sb_size, 0, 7};
    return true;
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
    host_file* f = host_open(path);
    if (!f) {
        delete slot->header;
        slot->header = nullptr;
        return nullptr;
    }
    slot->handle = f;
    uint8_t raw[BLOCK_SIZE];
    if (host_read_at(f, 0, raw, sizeof raw) != 0) {
        fs_errno = FS_EREAD;
        disk_close(slot);
        return nullptr;
    }
    slot->one_partition = false;
    if (!volume_header_check(raw, slot->header)) {
        // Only a block that is no header at all may be the start of a bare partition: a header
        // with a wrong checksum is a damaged one.
        if (fs_errno != FS_EBADMAGIC || !one_partition(f, slot->header)) {
            disk_close(slot);
            return nullptr;
        }
        slot->one_partition = true;
        fs_errno = FS_OK;
    }
    return slot;
}

bool disk_close(disk* d)
{
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
