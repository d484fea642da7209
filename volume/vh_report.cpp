// Debug report of a volume header: every field on its own line, followed by a label.
#include "volume/volume.h"

#include <cstring>

namespace {

const char* const partition_type_text[] = {
    "partition is volume header",
    "partition is used for repl trks",
    "partition is used for repl secs",
    "partition is used for data",
    "partition is 4.2BSD file system",
    "partition is SysV file system",
    "partition is entire volume",
    "partition is sgi EFS",
    "partition is part of a logical vol",
    "part of a \"raw\" logical vol",
    "partition is sgi XFS",
    "partition is sgi XFS log",
    "partition is part of an XLV vol",
};
constexpr int PARTITION_TYPES = sizeof partition_type_text / sizeof partition_type_text[0];

struct flag_bit {
    uint32_t bit;
    const char* label;
};

const flag_bit controller_flags[] = {
    {0x01, "sector slip to spare sector"},
    {0x02, "forward to replacement sector"},
    {0x04, "forward to replacement track"},
    {0x08, "multiple volumes per spindle"},
    {0x10, "transfer data regardless of errors"},
    {0x20, "recalibrate as last resort"},
    {0x40, "enable command tag queueing"},
};

// Disk size in Mb the way 32-bit code computes it: products wrap modulo 2^32 and are read as
// signed, and the first division by 1024 comes before the multiplication by the sector length.
long capacity_mb(const device_params& dp)
{
    uint32_t product = uint32_t{dp.dp_sectors_per_track} * uint32_t{dp.dp_tracks_per_cyl};
    product *= uint32_t{dp.dp_cylinders};
    int32_t sectors_k = static_cast<int32_t>(product) / 1024;
    product = static_cast<uint32_t>(sectors_k) * uint32_t{dp.dp_sector_length};
    return static_cast<long>(static_cast<int32_t>(product) / 1024);
}

}  // namespace

const char* partition_type_name(int32_t type)
{
    return type >= 0 && type < PARTITION_TYPES ? partition_type_text[type] : "partition type unknown";
}

void print_partition_list(FILE* out, const volume_header* hdr)
{
    for (int i = 0; i < VH_PARTITIONS; ++i) {
        const partition_entry& p = hdr->partition_table[i];
        if (p.block_count == 0)
            continue;
        std::fprintf(out, "partition\t%d\t%d\t%s\t%d\t%d\t%lld\t%lld\n", i, p.type, partition_type_name(p.type),
                     p.first_block, p.block_count, static_cast<long long>(p.first_block) * BLOCK_SIZE,
                     static_cast<long long>(p.block_count) * BLOCK_SIZE);
    }
    // Every entry in use, not only those before the first empty one: a script wants them all.
    for (const volume_directory_entry& e : hdr->volume_directory) {
        if (e.block_number == 0 && e.byte_count == 0)
            continue;
        char name[sizeof e.name + 1] = {};
        for (size_t k = 0; k < sizeof e.name && e.name[k]; ++k)
            name[k] = static_cast<unsigned char>(e.name[k]) < 0x20 || e.name[k] == 0x7F ? '?' : e.name[k];
        std::fprintf(out, "file\t%s\t%d\t%d\n", name, e.block_number, e.byte_count);
    }
}

void print_volume_header(FILE* out, const volume_header* hdr)
{
    const device_params& dp = hdr->device_params;

    std::fprintf(out, "%x\t%s (should be %x)\n", static_cast<unsigned>(hdr->magic),
                 "identifies volume header", static_cast<unsigned>(VH_MAGIC));
    std::fprintf(out, "%d\t%s\n", hdr->root_partition, "root partition number");
    std::fprintf(out, "%d\t%s\n", hdr->swap_partition, "swap partition number");
    std::fprintf(out, "%.*s\t%s\n",
                 static_cast<int>(strnlen(hdr->boot_file, sizeof hdr->boot_file)), hdr->boot_file,
                 "name of file to boot");
    std::fprintf(out, "%d\t%s\n", dp.dp_spiral_skew, "spiral addressing skew");
    std::fprintf(out, "%d\t%s\n", dp.dp_gap_before_header, "words of 0 before header");
    std::fprintf(out, "%d\t%s\n", dp.dp_gap_after_header, "words of 0 between hdr and data");
    std::fprintf(out, "%d\t%s\n", dp.dp_spares_cyl, "dp_spares_cyl");
    std::fprintf(out, "%d\t%s\n", dp.dp_cylinders, "number of usable cylinders");
    std::fprintf(out, "%d\t%s\n", dp.dp_start_head, "starting head vol 0");
    std::fprintf(out, "%d\t%s\n", dp.dp_tracks_per_cyl, "number of tracks / cylinder vol 0");
    std::fprintf(out, "%d\t%s\n", dp.dp_queue_depth, "Depth of CTQ queue");
    std::fprintf(out, "%d\t%s\n", dp.dp_cylinders_high, "high byte of 24 bits of cylinder count");
    std::fprintf(out, "%d\t%s\n", dp.dp_not_used, "not used");
    std::fprintf(out, "%d\t%s\n", dp.dp_sectors_per_track, "number of sectors/track");
    std::fprintf(out, "%d\t%s (this makes a %ld Mb disk)\n", dp.dp_sector_length,
                 "length of sector in bytes", capacity_mb(dp));
    std::fprintf(out, "%d\t%s\n", dp.dp_sector_interleave, "sector interleave");
    std::fprintf(out, "%X\t%s\n", static_cast<unsigned>(dp.dp_controller_flags),
                 "controller characteristics");
    for (const flag_bit& f : controller_flags)
        std::fprintf(out, "\t%c\t%s\n", (dp.dp_controller_flags & f.bit) ? 'y' : 'n', f.label);
    std::fprintf(out, "%d\t%s\n", dp.dp_bytes_per_sec, "bytes/sec for kernel stats");
    std::fprintf(out, "%d\t%s\n", dp.dp_max_retries, "max num retries on data error");
    std::fprintf(out, "%d\t%s\n", dp.dp_ms_per_word, "ms per word to xfer, for iostat");
    std::fprintf(out, "%d\t%s\n", dp.dp_xy_gap1, "Gap 1 for xylogics controllers");
    std::fprintf(out, "%d\t%s\n", dp.dp_xy_sync_delay, "sync delay for xylogics controllers");
    std::fprintf(out, "%d\t%s\n", dp.dp_xy_read_delay, "read delay for xylogics controllers");
    std::fprintf(out, "%d\t%s\n", dp.dp_xy_gap2, "gap 2 for xylogics controllers");
    std::fprintf(out, "%d\t%s\n", dp.dp_xy_read_gate, "read gate for xylogics controllers");
    std::fprintf(out, "%d\t%s\n", dp.dp_xy_write_cont, "write continuation for xylogics");

    // The directory ends at its first empty entry; later entries are not shown.
    std::fprintf(out, "\t%s\n", "volume_directory");
    for (int i = 0; i < VH_DIRECTORY_ENTRIES; ++i) {
        const volume_directory_entry& e = hdr->volume_directory[i];
        if (e.block_number == 0 && e.byte_count == 0)
            break;
        std::fprintf(out, "\t%d\t%.*s\t%s\n", i, static_cast<int>(strnlen(e.name, sizeof e.name)),
                     e.name, "name");
        std::fprintf(out, "\t%d\t%d\t%s\n", i, e.block_number, "logical block number");
        std::fprintf(out, "\t%d\t%d\t%s\n", i, e.byte_count, "file length in bytes");
    }

    // Unused partitions are skipped, not treated as the end of the table.
    std::fprintf(out, "\t%s\n", "partition_table");
    for (int i = 0; i < VH_PARTITIONS; ++i) {
        const partition_entry& p = hdr->partition_table[i];
        if (p.block_count == 0)
            continue;
        const char* type_text = partition_type_name(p.type);
        std::fprintf(out, "\tpartition %d\n", i);
        std::fprintf(out, "%d\t%s\n", p.block_count, "# of logical blks in partition");
        std::fprintf(out, "%d\t%s\n", p.first_block, "first lbn of partition");
        std::fprintf(out, "%d\t%s (%s)\n", p.type, "use of partition", type_text);
    }

    std::fprintf(out, "\n%d\t%s\n", hdr->fill, "fill out to 512 bytes");
    std::fprintf(out, "0x%X\txchecksum of sector\n", static_cast<unsigned>(hdr->checksum));
}

void print_disk_report(FILE* out, const disk* d)
{
    if (d->one_partition)
        std::fprintf(out, "no volume header: the image is one EFS partition, partition 0\n");
    else
        print_volume_header(out, d->header);
}
