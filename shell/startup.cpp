// Start-up: the command line, opening the disk, the partition summary, mounting and teardown.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "efs/efs_io.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "shell/getopt.h"
#include "shell/shell.h"
#include "volume/volume.h"

const char* progname = "efsh";
int debug = 0;

void usage()
{
    std::fprintf(stderr, "Use: %s [-hd] [-p part] file\n", progname);
    std::exit(0);
}

void print_partition_summary(FILE* out, const volume_header* hdr)
{
    const device_params& dp = hdr->device_params;
    // Signed 32-bit arithmetic taken modulo 2^32, without overflow in the host's int.
    uint32_t blocks = uint32_t{dp.dp_cylinders} * dp.dp_tracks_per_cyl * dp.dp_sectors_per_track;
    std::fprintf(out, "\t%d Mb\n", static_cast<int32_t>(blocks) / 2048);
    for (int i = 0; i < VH_PARTITIONS; ++i) {
        const partition_entry& p = hdr->partition_table[i];
        if (p.block_count != 0 && (p.type == 5 || p.type == 7))
            std::fprintf(out, "\t%d\t%d Mb\n", i, p.block_count / 2048);
    }
}

// The -p value read as atoi reads it (leading blanks, a sign, digits; none gives 0), except that a
// value beyond an int is held at the nearest limit instead of being undefined: it is then simply
// an invalid partition, never one that happens to be in range after wrapping.
static int partition_number(const char* text)
{
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

int efsh_main(int argc, char** argv)
{
    const char* inv = argv[0] ? argv[0] : "efsh";
    const char* bs = std::strrchr(inv, '\\');
    progname = bs ? bs + 1 : inv;
    host_ignore_sigpipe();

    int partition = -1;
    int c;
    while ((c = efsh::getopt(argc, argv, "hdp:V")) != -1) {
        switch (c) {
        case 'd':
            debug = 1;
            break;
        case 'p':
            partition = partition_number(efsh::optarg);
            if (partition < 0 || partition > 15)
                std::fprintf(stderr, "%s: invalid partition (%d)\n", progname, partition);
            break;
        default:
            usage();
        }
    }
    if (efsh::optind >= argc || !argv[efsh::optind])
        usage();
    const char* image = argv[efsh::optind];

    disk* d = disk_open(image);
    if (!d) {
        fs_perror("open disk");
        return 0;
    }
    if (partition == -1) {
        print_partition_summary(stderr, d->header);
        disk_close(d);
        return 0;
    }
    fs* f = fs_mount(d, partition, 0);
    if (!f) {
        fs_perror("mount fs");
        disk_close(d);
        return 0;
    }
    if (debug) {
        print_volume_header(stderr, f->header);
        print_superblock(stderr, f->superblock);
    }
    prompt_loop(stdin, image, partition);
    fs_umount(f);
    disk_close(d);
    return 0;
}
