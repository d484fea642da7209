// The least a copy of one file out of an image costs on this host, for bench/run to time beside
// efsh's cp and the host's cat: the file's runs of back-to-back extents, found first, then copied
// by the kernel alone (copy_file_range), one call each, with nothing read or written between them.
// Use: copy_floor image partition path target
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "efs/efs_file.h"
#include "efs/efs_io.h"
#include "volume/volume.h"

namespace {

struct piece {
    int64_t offset;
    size_t bytes;
};

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "copy_floor: %s\n", what);
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5)
        fail("use: copy_floor image partition path target");
    disk* d = disk_open(argv[1]);
    if (!d || !fs_mount(d, std::atoi(argv[2]), 0))
        fail("cannot mount the image");
    fs_file* s = fs_fopen(argv[3], "r");
    if (!s)
        fail("no such file");
    std::vector<piece> runs;
    fs_run r;
    while (fs_next_run(s, &r)) {
        s->osize += r.bytes;
        bool follows = !runs.empty() && runs.back().offset + static_cast<int64_t>(runs.back().bytes) == r.offset;
        if (follows)
            runs.back().bytes += r.bytes;
        else
            runs.push_back({r.offset, r.bytes});
    }
    int in = open(argv[1], O_RDONLY);
    int out = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0)
        fail("cannot open the image or create the target");
    for (const piece& p : runs) {
        off_t at = p.offset;
        for (size_t left = p.bytes; left > 0;) {
            ssize_t n = copy_file_range(in, &at, out, nullptr, left, 0);
            if (n <= 0)
                fail("copy_file_range failed");
            left -= static_cast<size_t>(n);
        }
    }
    return close(out) == 0 ? 0 : 1;
}
