// The manifest command: a catalog of a tree of the image (or of one entry) that an examiner can
// keep beside it, written by the walk's manifest sink.
#include <cerrno>
#include <cstring>
#include <string>

#include "common/report.h"
#include "efs/efs_io.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "shell/getopt.h"
#include "shell/shell.h"
#include "walk/manifest.h"

namespace {

// -a: names separated by commas, or "none"; false for a name that is no algorithm.
bool parse_algorithms(const char* text, unsigned* bits)
{
    *bits = 0;
    if (std::strcmp(text, "none") == 0)
        return true;
    std::string list = text;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        host_digest_kind kind;
        if (!manifest_algorithm(name.c_str(), &kind)) {
            std::fprintf(stderr, "manifest -a: %s is none of md5, sha1, sha256, sha512, none\n", name.c_str());
            return false;
        }
        *bits |= 1u << kind;
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

}  // namespace

void manifest_usage()
{
    std::fprintf(stderr, "Use: manifest [-f jsonl|body|sums] [-a algorithms] [-o] fs-path unix-file\n");
}

int do_manifest(int argc, char** argv)
{
    efsh::getopt_reset();
    manifest_options o;
    int c;
    while ((c = efsh::getopt(argc, argv, "f:a:o")) != -1) {
        switch (c) {
        case 'f':
            if (std::strcmp(efsh::optarg, "jsonl") == 0) {
                o.format = MANIFEST_JSONL;
            } else if (std::strcmp(efsh::optarg, "body") == 0) {
                o.format = MANIFEST_BODY;
            } else if (std::strcmp(efsh::optarg, "sums") == 0) {
                o.format = MANIFEST_SUMS;
            } else {
                manifest_usage();
                return 1;
            }
            break;
        case 'a':
            if (!parse_algorithms(efsh::optarg, &o.algorithms))
                return 1;
            break;
        case 'o': o.orphans = true; break;
        default:
            manifest_usage();
            return 1;
        }
    }
    if (argc - efsh::optind != 2) {
        manifest_usage();
        return 2;
    }
    if (o.algorithms != 0 && !host_digests_available()) {
        std::fprintf(stderr, "manifest -a: this efsh was built without hashes (libcrypto): use -a none\n");
        return 1;
    }
    if (o.format == MANIFEST_SUMS && (o.algorithms == 0 || (o.algorithms & (o.algorithms - 1)) != 0)) {
        std::fprintf(stderr, "manifest -f sums: name one algorithm with -a\n");
        return 1;
    }
    const char* source = argv[efsh::optind];
    const char* target = argv[efsh::optind + 1];
    fs_statbuf st;
    uint32_t ino = find_source(source, &st);
    if (ino == 0)
        return 3;
    if (o.orphans && ino != ROOT_INODE) {
        std::fprintf(stderr, "manifest -o: orphans are found from the root: fs-path must be /\n");
        return 1;
    }
    manifest_target to{nullptr, stdout};
    if (std::strcmp(target, "-") == 0) {
        std::fflush(stdout);
        host_binary_output(stdout, true);
    } else {
        host_refusal why = HOST_ERRNO;
        to.file = host_create(target, HOST_NAMED, &why);
        if (!to.file) {
            report_not_made(target, why, target);
            return 4;
        }
    }
    bool written = manifest_tree(source, ino, st, o, to);
    if (!to.file) {
        written = std::fflush(stdout) == 0 && written;
        host_binary_output(stdout, false);
        if (written)
            return 0;
        report_errno("-");
        return 6;
    }
    if (written && host_close_out(to.file) == 0)
        return 0;
    // One line for the failed write; the manifest, incomplete, goes.
    report_errno(target);
    int reason = errno;
    if (written)
        return 6;
    host_discard_out(to.file, target);
    errno = reason;
    return 6;
}
