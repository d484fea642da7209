// The tar command: a directory tree of the image, or one entry, kept whole in a pax archive on the
// host: links, devices, pipes, hard links, owners and every permission bit included.
#include <cstring>
#include <string>

#include "common/report.h"
#include "common/whole_file.h"
#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "shell/getopt.h"
#include "shell/shell.h"
#include "walk/work.h"
#include "walk/tar_archive.h"

void tar_usage()
{
    std::fprintf(stderr, "Use: tar [-vz] fs-path unix-file\n");
}

int do_tar(int argc, char** argv)
{
    efsh::getopt_reset();
    bool verbose = false, gzip = false;
    int c;
    while ((c = efsh::getopt(argc, argv, "vz")) != -1) {
        switch (c) {
        case 'v': verbose = true; break;
        case 'z': gzip = true; break;
        default:
            tar_usage();
            return 1;
        }
    }
    if (argc - efsh::optind != 2) {
        tar_usage();
        return 2;
    }
    const char* source = argv[efsh::optind];
    const char* target = argv[efsh::optind + 1];
    fs_statbuf st;
    uint32_t ino = find_source(source, &st);
    if (ino == 0)
        return 3;
    if (gzip && !tar_has_gzip()) {
        std::fprintf(stderr, "tar -z: this efsh was built without zlib\n");
        return 1;
    }
    // The archive is made beside the target and takes its name only once it is complete.
    host_refusal why = HOST_ERRNO;
    whole_file out;
    if (!whole_open(&out, target, &why)) {
        report_not_made(target, why, target);
        return 4;
    }
    const char* no_archive = nullptr;
    tar_archive* archive = tar_open(out.out, gzip, &no_archive);
    if (!archive) {
        std::fprintf(stderr, "%s: %s\n", target, no_archive);
        whole_discard(&out);
        return 5;
    }
    archive_tree(archive, verbose, source, ino, st);
    bool written = !work_stopped() && tar_finish(archive);
    tar_close(archive);
    // Stopped on the way, or as the archive was about to take its name: what became of the target.
    auto stopped = [&] {
        whole_discard(&out);
        report_stopped(!out.beside ? std::string()
                                   : std::string(target) + (out.replaces ? " left as it was" : " not written"));
        return 7;
    };
    if (work_stopped())
        return stopped();
    if (written && whole_commit(&out) == 0)
        return 0;
    if (work_stopped())
        return stopped();
    // One line for the failed write, its close or its rename; the archive, incomplete, goes.
    report_errno(target);
    whole_discard(&out);
    return 6;
}
