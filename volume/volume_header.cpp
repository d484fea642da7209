// Decoding and validation of the SGI volume header.
#include <cstring>

#include "common/byteorder.h"
#include "efs/fs_error.h"
#include "volume/volume.h"

namespace {

void decode_device_params(const uint8_t* p, device_params* dp)
{
    dp->dp_spiral_skew = p[24];
    dp->dp_gap_before_header = p[25];
    dp->dp_gap_after_header = p[26];
    dp->dp_spares_cyl = p[27];
    dp->dp_cylinders = load_be16(p + 28);
    dp->dp_start_head = load_be16(p + 30);
    dp->dp_tracks_per_cyl = load_be16(p + 32);
    dp->dp_queue_depth = p[34];
    dp->dp_cylinders_high = p[35];
    dp->dp_not_used = load_be16(p + 36);
    dp->dp_sectors_per_track = load_be16(p + 38);
    dp->dp_sector_length = load_be16(p + 40);
    dp->dp_sector_interleave = load_be16(p + 42);
    dp->dp_controller_flags = load_be32(p + 44);
    dp->dp_bytes_per_sec = load_be32s(p + 48);
    dp->dp_max_retries = load_be32s(p + 52);
    dp->dp_ms_per_word = load_be32s(p + 56);
    dp->dp_xy_gap1 = load_be16(p + 60);
    dp->dp_xy_sync_delay = load_be16(p + 62);
    dp->dp_xy_read_delay = load_be16(p + 64);
    dp->dp_xy_gap2 = load_be16(p + 66);
    dp->dp_xy_read_gate = load_be16(p + 68);
    dp->dp_xy_write_cont = load_be16(p + 70);
}

}  // namespace

bool volume_header_check(const uint8_t* raw, volume_header* hdr)
{
    uint32_t sum = 0;
    for (int i = 0; i < 127; ++i)
        sum += load_be32(raw + 4 * i);  // words 0..126: the checksum word makes the total zero

    hdr->magic = load_be32(raw);
    hdr->root_partition = load_be16s(raw + 4);
    hdr->swap_partition = load_be16s(raw + 6);
    std::memcpy(hdr->boot_file, raw + 8, sizeof hdr->boot_file);
    decode_device_params(raw, &hdr->device_params);
    for (int i = 0; i < VH_DIRECTORY_ENTRIES; ++i) {
        const uint8_t* e = raw + 72 + 16 * i;
        std::memcpy(hdr->volume_directory[i].name, e, 8);
        hdr->volume_directory[i].block_number = load_be32s(e + 8);
        hdr->volume_directory[i].byte_count = load_be32s(e + 12);
    }
    for (int i = 0; i < VH_PARTITIONS; ++i) {
        const uint8_t* e = raw + 312 + 12 * i;
        hdr->partition_table[i].block_count = load_be32s(e);
        hdr->partition_table[i].first_block = load_be32s(e + 4);
        hdr->partition_table[i].type = load_be32s(e + 8);
    }
    hdr->checksum = load_be32s(raw + 504);
    hdr->fill = load_be32s(raw + 508);

    fs_errno = FS_OK;
    if (sum != 0)
        fs_errno = FS_EBADCKSUM;
    if (hdr->magic != VH_MAGIC)
        fs_errno = FS_EBADMAGIC;
    return fs_errno == FS_OK;
}
