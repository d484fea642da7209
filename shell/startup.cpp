// Start-up: the command line, opening the disk, the partition summary, mounting and teardown.
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
    print_partition_lines(out, hdr);
}

void print_partition_lines(FILE* out, const volume_header* hdr)
{
    for (int i = 0; i < VH_PARTITIONS; ++i) {
        const partition_entry& p = hdr->partition_table[i];
        if (p.block_count != 0 && (p.type == 5 || p.type == 7))
            std::fprintf(out, "\t%d\t%d Mb\n", i, p.block_count / 2048);
    }
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
        // An image of one partition has no disk geometry to give a size: its one line says what it is.
        if (d->one_partition) {
            std::fprintf(stderr, "\tno volume header: one EFS partition\n");
            print_partition_lines(stderr, d->header);
        } else {
            print_partition_summary(stderr, d->header);
        }
        disk_close(d);
        return 0;
    }
    if (d->one_partition && partition > 0 && partition <= 15)
        std::fprintf(stderr, "%s: invalid partition (%d)\n", progname, partition);
    fs* f = fs_mount(d, partition, 0);
    if (!f) {
        fs_perror("mount fs");
        disk_close(d);
        return 0;
    }
    if (debug) {
        print_disk_report(stderr, d);
        print_superblock(stderr, f->superblock);
        print_size_bound(stderr, f);
    }
    prompt_loop(stdin, image, partition);
    fs_umount(f);
    disk_close(d);
    return 0;
}
