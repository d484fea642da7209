// Disk volume layer: the SGI volume header, the table of open disks and the header report.
#pragma once
#include <cstdint>
#include <cstdio>

struct host_file;

constexpr uint32_t VH_MAGIC = 0x0BE5A941;
constexpr int VH_PARTITIONS = 16;
constexpr int VH_DIRECTORY_ENTRIES = 15;
constexpr int DISK_SLOTS = 7;
constexpr int BLOCK_SIZE = 512;

struct device_params {
    uint8_t dp_spiral_skew;
    uint8_t dp_gap_before_header;
    uint8_t dp_gap_after_header;
    uint8_t dp_spares_cyl;
    uint16_t dp_cylinders;
    uint16_t dp_start_head;
    uint16_t dp_tracks_per_cyl;
    uint8_t dp_queue_depth;
    uint8_t dp_cylinders_high;
    uint16_t dp_not_used;
    uint16_t dp_sectors_per_track;
    uint16_t dp_sector_length;
    uint16_t dp_sector_interleave;
    uint32_t dp_controller_flags;
    int32_t dp_bytes_per_sec;
    int32_t dp_max_retries;
    int32_t dp_ms_per_word;
    uint16_t dp_xy_gap1;
    uint16_t dp_xy_sync_delay;
    uint16_t dp_xy_read_delay;
    uint16_t dp_xy_gap2;
    uint16_t dp_xy_read_gate;
    uint16_t dp_xy_write_cont;
};

struct volume_directory_entry {
    char name[8];  // NUL-padded; eight characters leave no terminator
    int32_t block_number;
    int32_t byte_count;
};

struct partition_entry {
    int32_t block_count;
    int32_t first_block;
    int32_t type;
};

// The volume header in host order, decoded from block 0 of the image.
struct volume_header {
    uint32_t magic;
    int16_t root_partition;
    int16_t swap_partition;
    char boot_file[16];  // NUL-padded; sixteen characters leave no terminator
    struct device_params device_params;
    volume_directory_entry volume_directory[VH_DIRECTORY_ENTRIES];
    partition_entry partition_table[VH_PARTITIONS];
    int32_t checksum;
    int32_t fill;
};

struct disk {
    host_file* handle;  // null when the slot is free
    volume_header* header;
    // No volume header: block 0 is not one, and block 1 holds a sound EFS superblock. The image is
    // one EFS partition, made partition 0 of a header of the disk's own (all else zero).
    bool one_partition;
};

extern disk disk_table[DISK_SLOTS];

disk* disk_open(const char* path);
bool disk_close(disk* d);

// Decodes the 512 bytes as read into hdr (always, whatever the outcome), resets fs_errno and
// sets it to 1 (checksum) or 2 (magic); true when the header is valid.
bool volume_header_check(const uint8_t* raw, volume_header* hdr);

// After a failed disk_open: the line saying what the file is instead, when that is known (a
// compressed file, another kind of image or file system, a cue sheet that names no readable track).
void print_open_note(FILE* out);

void print_volume_header(FILE* out, const volume_header* hdr);
// The text of a partition type in the header report ("partition is sgi XFS").
const char* partition_type_name(int32_t type);
// -l: one tab-separated line per partition in use ("partition", number, type, its text, first
// block, blocks, first byte, bytes), then one per file of the volume directory ("file", name,
// first block, bytes).
void print_partition_list(FILE* out, const volume_header* hdr);
// The volume header report of the disk, or the line saying that the image has none.
void print_disk_report(FILE* out, const disk* d);

// A partition number as given on a command line, read as atoi reads it (leading blanks, a sign,
// digits; none gives 0), except that a value beyond an int is held at the nearest limit instead of
// being undefined: it is then simply an invalid partition, never one that happens to be in range
// after wrapping.
int partition_number(const char* text);
