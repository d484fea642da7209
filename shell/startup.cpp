// Start-up: the command line, opening the disk, the partition summary, mounting and teardown.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/about.h"
#include "common/report.h"
#include "efs/efs_io.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "shell/getopt.h"
#include "shell/shell.h"
#include "volume/image.h"
#include "volume/volume.h"

const char* progname = "efsh";
int debug = 0;

void usage()
{
    std::fprintf(stderr, "Use: %s [-hd] [-p part] file\n", progname);
    std::exit(0);
}

namespace {

// --help: the usage line with the scripting options, then one line per option.
const char* const option_lines[] = {
    "  -p part      mount partition part (0-15) and run the prompt; without it, list the partitions",
    "  -d           print the volume header and superblock reports before the first prompt",
    "  -l           list every partition in use and the volume directory's files, tab-separated, then end",
    "  -c command   run one prompt line without a prompt (repeatable, in order), then end",
    "  -f script    run the prompt lines of a file (- for standard input) without a prompt, then end",
    "  -h, -V       print the short usage line",
    "  --help       print this help",
    "  --version    print the version and the optional parts built in",
};

void print_help()
{
    std::printf("Use: %s [-hd] [-p part] [-c command]... [-f script] file\n", progname);
    for (const char* line : option_lines)
        std::printf("%s\n", line);
    std::printf("With -c or -f the run stops at the first command that fails. Exit status: 0 every command\n"
                "succeeded, 1 one failed, 2 the image could not be opened, the partition mounted, or the\n"
                "command line is wrong, 130 interrupted.\n");
}

// The usage text for a command line that is wrong; with -c or -f anywhere on it the status says so.
[[noreturn]] void usage_error(int argc, char** argv)
{
    for (int i = 1; i < argc && argv[i]; ++i)
        if (argv[i][0] == '-' && argv[i][1] != '-' && std::strpbrk(argv[i] + 1, "cf")) {
            std::fprintf(stderr, "Use: %s [-hd] [-p part] file\n", progname);
            std::exit(EXIT_USAGE);
        }
    usage();
}

}  // namespace

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
    take_long_options(argc, argv, print_help, "efsh");

    int partition = -1;
    std::vector<script_part> script;  // -c and -f in the order given; empty: the prompt
    bool list = false;
    int c;
    while ((c = efsh::getopt(argc, argv, "hdlp:Vc:f:")) != -1) {
        switch (c) {
        case 'l':
            list = true;
            break;
        case 'd':
            debug = 1;
            break;
        case 'p':
            partition = partition_number(efsh::optarg);
            if (partition < 0 || partition > 15)
                std::fprintf(stderr, "%s: invalid partition (%d)\n", progname, partition);
            break;
        case 'c':
            script.push_back({efsh::optarg, nullptr, nullptr});
            break;
        case 'f':
            script.push_back({nullptr, nullptr, efsh::optarg});
            break;
        case 'h':
        case 'V':
            usage();
        default:
            usage_error(argc, argv);
        }
    }
    if (efsh::optind >= argc || !argv[efsh::optind])
        usage_error(argc, argv);
    const char* image = argv[efsh::optind];
    const bool scripted = !script.empty();
    // Without -c and -f every failure still ends with status 0, as it always has.
    const int cannot = scripted ? EXIT_USAGE : 0;
    if (scripted && partition == -1) {
        std::fprintf(stderr, "%s: -c and -f run commands in a partition: give it with -p\n", progname);
        return EXIT_USAGE;
    }
    for (script_part& p : script) {
        if (p.name && std::strcmp(p.name, "-") == 0) {
            p.file = stdin;
        } else if (p.name && !(p.file = std::fopen(p.name, "r"))) {
            report_errno(p.name);
            return EXIT_USAGE;
        }
    }

    disk* d = disk_open(image);
    if (!d) {
        fs_perror("open disk");
        print_open_note(stderr);
        return cannot;
    }
    if (list) {
        print_partition_list(stdout, d->header);
        disk_close(d);
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
        return cannot;
    }
    if (debug) {
        print_disk_report(stderr, d);
        print_superblock(stderr, f->superblock);
        print_size_bound(stderr, f);
        print_image_layout(stderr, d->handle);
    }
    // From here a stop (Ctrl-C, SIGTERM, SIGHUP) stops the command running, not the session.
    host_catch_stops();
    int status = 0;
    if (scripted) {
        status = run_script(script.data(), script.size());
    } else {
        prompt_loop(stdin, image, partition);
        int sig = 0;
        if (host_take_stop(&sig) == HOST_STOP_END)
            status = 128 + sig;
    }
    for (script_part& p : script)
        if (p.file && p.file != stdin)
            std::fclose(p.file);
    fs_umount(f);
    disk_close(d);
    return status;
}
