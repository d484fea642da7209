// efsh-mount: the command line, opening the image and its partition, and the mount's lifetime.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/about.h"
#include "efs/efs_io.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "mount/mount.h"
#include "shell/getopt.h"
#include "volume/image.h"
#include "volume/volume.h"

const char* mount_name = "efsh-mount";
bool report_names = false;

namespace {

[[noreturn]] void usage(int status)
{
    std::fprintf(stderr, "Use: %s [-hdf] [-p part] [-o option,...] image mountpoint\n", mount_name);
    std::exit(status);
}

// --help: the usage line, then one line per option.
void print_help()
{
    std::printf("Use: %s [-hdf] [-p part] [-o option,...] image mountpoint\n"
                "  -p part       mount partition part (0-15); without it, the first EFS partition\n"
                "  -f            stay in the foreground (Ctrl-C unmounts) and report what is left out\n"
                "  -d            as -f, with the volume header and superblock reports first\n"
                "  -o option,... mount options handed to libfuse (allow_other, ...); ro always holds\n"
                "  -h            print the short usage line\n"
                "  --help        print this help\n"
                "  --version     print the version and the optional parts built in\n"
                "Unmount with fusermount3 -u mountpoint (or Ctrl-C in the foreground).\n",
                mount_name);
}

struct command_line {
    int partition = -1;  // -1: the first EFS partition of the disk
    bool foreground = false;
    bool debug = false;
    std::string options;  // -o, comma-separated, in the order given
    const char* image = nullptr;
    const char* mountpoint_given = nullptr;
    std::string mountpoint;  // absolute: the unmount at the end runs where the program no longer is
};

// Options may stand before, between and after the two operands, as with other mount programs.
command_line parse(int argc, char** argv)
{
    command_line cl;
    const char* operands[2] = {nullptr, nullptr};
    int found = 0;
    while (efsh::optind < argc) {
        int c = efsh::getopt(argc, argv, "hdfp:o:");
        if (c == -1) {
            if (efsh::optind >= argc)
                break;
            if (found == 2)
                usage(1);
            operands[found++] = argv[efsh::optind++];
            continue;
        }
        switch (c) {
        case 'd':
            cl.debug = true;
            break;
        case 'f':
            cl.foreground = true;
            break;
        case 'p':
            cl.partition = partition_number(efsh::optarg);
            if (cl.partition < 0 || cl.partition > 15)
                std::fprintf(stderr, "%s: invalid partition (%d)\n", mount_name, cl.partition);
            break;
        case 'o':
            if (!cl.options.empty())
                cl.options += ',';
            cl.options += efsh::optarg;
            break;
        case 'h':
            usage(0);
        default:
            usage(1);
        }
    }
    if (found != 2)
        usage(1);
    cl.image = operands[0];
    cl.mountpoint_given = operands[1];
    cl.mountpoint = operands[1];
    char cwd[4096];
    if (cl.mountpoint[0] != '/' && host_getcwd(cwd, sizeof cwd))
        cl.mountpoint = std::string(cwd) + "/" + cl.mountpoint;
    return cl;
}

// A value inside one -o option list: commas and backslashes are escaped.
std::string option_value(const char* text)
{
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p == ',' || *p == '\\')
            out += '\\';
        out += *p;
    }
    return out;
}

// "label: message" as efsh prints it, after the program's name.
void fail(const char* label)
{
    std::string full = std::string(mount_name) + ": " + label;
    fs_perror(full.c_str());
}

// The first partition efsh's summary lists: an EFS file system that is not empty.
int first_efs_partition(const volume_header* hdr)
{
    for (int i = 0; i < VH_PARTITIONS; ++i) {
        const partition_entry& p = hdr->partition_table[i];
        if (p.block_count != 0 && (p.type == 5 || p.type == 7))
            return i;
    }
    return 0;
}

// Runs the mount until it is unmounted (or, in the foreground, interrupted); the exit status.
int serve(const command_line& cl)
{
    // What the user asks for comes first, so that the read-only options always win.
    std::string fixed = "-ofsname=" + option_value(cl.image) + ",subtype=efs,ro,nosuid,nodev";
    std::string user = "-o" + cl.options;
    std::string name = mount_name;
    char* args[] = {name.data(), user.data(), fixed.data(), nullptr};
    fuse_args fa = FUSE_ARGS_INIT(3, args);
    if (cl.options.empty()) {
        args[1] = fixed.data();
        args[2] = nullptr;
        fa.argc = 2;
    }
    fuse_session* se = fuse_session_new(&fa, &efs_ops, sizeof efs_ops, nullptr);
    fuse_opt_free_args(&fa);  // what libfuse made of them while parsing
    if (!se)
        return 1;
    int status = 1;
    if (fuse_set_signal_handlers(se) == 0) {
        if (fuse_session_mount(se, cl.mountpoint.c_str()) == 0) {
            // A signal (Ctrl-C) that ends the loop is the user's way to unmount: status 0.
            if (fuse_daemonize(cl.foreground ? 1 : 0) == 0)
                status = fuse_session_loop(se) < 0 ? 1 : 0;
            fuse_session_unmount(se);
        }
        fuse_remove_signal_handlers(se);
    }
    fuse_session_destroy(se);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    take_long_options(argc, argv, print_help, mount_name);
    // The option parser names the program by argument 0: every message starts "efsh-mount:".
    std::string name = mount_name;
    if (argc > 0)
        argv[0] = name.data();
    command_line cl = parse(argc, argv);
    report_names = cl.foreground || cl.debug;
    int kind = host_path_kind(cl.mountpoint.c_str());
    if (kind != 1) {
        std::fprintf(stderr, "%s: %s: %s\n", mount_name, cl.mountpoint_given,
                     std::strerror(kind < 0 ? ENOENT : ENOTDIR));
        return 1;
    }
    disk* d = disk_open(cl.image);
    if (!d) {
        fail("open disk");
        print_open_note(stderr);
        return 1;
    }
    int partition = cl.partition == -1 ? first_efs_partition(d->header) : cl.partition;
    if (d->one_partition && partition > 0 && partition <= 15)
        std::fprintf(stderr, "%s: invalid partition (%d)\n", mount_name, partition);
    fs* f = fs_mount(d, partition, 0);
    if (!f) {
        fail("mount fs");
        disk_close(d);
        return 1;
    }
    if (cl.debug) {
        print_disk_report(stderr, d);
        print_superblock(stderr, f->superblock);
        print_image_layout(stderr, d->handle);
    }
    // -d keeps the program in front as -f does, with its reports on standard error.
    command_line run = cl;
    run.foreground = cl.foreground || cl.debug;
    int status = serve(run);
    close_data_streams();
    fs_umount(f);
    disk_close(d);
    return status;
}
