// The tar command: a directory tree of the image, or one entry, kept whole in a pax archive on the
// host: links, devices, pipes, hard links, owners and every permission bit included.
#include <cstring>

#include "common/report.h"
#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "shell/getopt.h"
#include "shell/shell.h"
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
    uint32_t ino = fs_word_inode(source);
    if (ino == 0 || fs_istat(ino, &st) != 0) {
        fs_perror(source);
        return 3;
    }
    if (gzip && !tar_has_gzip()) {
        std::fprintf(stderr, "tar -z: this efsh was built without zlib\n");
        return 1;
    }
    host_refusal why = HOST_ERRNO;
    host_out* out = host_create(target, HOST_NAMED, &why);
    if (!out) {
        if (why == HOST_IS_IMAGE)
            std::fprintf(stderr, "%s: the image being read is never written\n", target);
        else
            report_errno(target);
        return 4;
    }
    const char* no_archive = nullptr;
    tar_archive* archive = tar_open(out, gzip, &no_archive);
    if (!archive) {
        std::fprintf(stderr, "%s: %s\n", target, no_archive);
        host_discard_out(out, target);
        return 5;
    }
    archive_tree(archive, verbose, source, ino, st);
    bool written = tar_finish(archive);
    tar_close(archive);
    if (written && host_close_out(out) == 0)
        return 0;
    // One line for the failed write; the archive, incomplete, goes.
    report_errno(target);
    int reason = errno;
    if (written)
        return 6;  // closed already: what was written stays as the host left it
    host_discard_out(out, target);
    errno = reason;
    return 6;
}
