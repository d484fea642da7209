// The table of open disks: opening an image, reading its volume header, closing it.
#include "volume/volume.h"

#include <new>

#include "efs/fs_error.h"
#include "host/host_io.h"

disk disk_table[DISK_SLOTS];

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
    if (!volume_header_check(raw, slot->header)) {
        disk_close(slot);
        return nullptr;
    }
    return slot;
}

bool disk_close(disk* d)
{
    bool ok = host_close(d->handle);
    d->handle = nullptr;
    delete d->header;
    d->header = nullptr;
    return ok;
}
