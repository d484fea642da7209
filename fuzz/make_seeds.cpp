// make_seeds: writes the seed corpora of the fuzz targets, one subdirectory per target.
//
// Usage: make_seeds OUTDIR      (creates OUTDIR/volume, OUTDIR/fs, OUTDIR/mount, OUTDIR/shell, OUTDIR/getopt)
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_images.h"

namespace {

bool put(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const char* const shell_scripts[][2] = {
    {"ls", "ls\nls -l\npwd\n"},
    {"walk", "cd usr\nls -l\ncd lib\npwd\ncd ..\ncd ../..\npwd\ncd /a/b/c\nls\ncd /\n"},
    {"copy_tree", "cp -r / .\nls\n"},
    {"copy_verbose", "cp -rv a x\ncp -rv /a .\ncp -r usr/lib .\ncp -rp etc .\n"},
    {"copy_files", "cp etc/passwd p\ncp -p /usr/lib/big70 big\ncp -v a/mid mid\ncp lib l\ncp dev/tty tty\n"},
    {"copy_errors", "cp\ncp one\ncp -x a b\ncp -r nothing .\ncp -r etc missing\ncp -r etc/passwd .\ncp a b c\n"},
    {"more", "more etc/motd\nmore /usr/lib/big13\nmore nothing\nmore\n"},
    {"misc", "debug\n!ls\nduh\ncd\ncd etc/passwd\ncd nothing\nls -l\ndebug\nbye\nls\n"},
    {"symlinks", "cd lib\ncd motd\nls -l\ncp motd m\ncp -r lib .\n"},
    {"archive", "tar / a.tar\ntar -v usr u.tar\ntar -zv etc/passwd p.tgz\ntar lib l.tar\ntar\ntar -x a b\n"},
    {"long_path", "cd /a/b/c/../../b/c/../c/./../../../a/b\npwd\ncd ////a//b\npwd\n"},
};

const char getopt_vectors[][48] = {
    "\0efsh\0-p\0\067\0image",
    "\0efsh\0-d\0-p7\0image",
    "\0efsh\0-hdV\0--\0-x",
    "\0efsh\0-p",
    "\0efsh\0-\0x",
    "\1cp\0-rpv\0a\0b",
    "\1cp\0-r\0-v\0-x\0a",
    "\2ab:c::\0prog\0-abarg\0-c\0-b\0x\0y",
    "\2:\0prog\0-:\0-",
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "Use: make_seeds OUTDIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    for (const char* sub : {"", "/volume", "/fs", "/mount", "/shell", "/getopt"})
        ::mkdir((dir + sub).c_str(), 0755);
    const std::string tmp = dir + "/image.tmp";
    int failures = 0;
    const std::vector<fuzz::named_disk> seeds = fuzz::seed_disks();
    for (const fuzz::named_disk& n : seeds) {
        imgb::Result r = fuzz::write_compact(n.disk, tmp);
        if (!r.ok) {
            std::fprintf(stderr, "make_seeds: %s: %s\n", n.name.c_str(), r.error.c_str());
            ++failures;
            continue;
        }
        std::string image = slurp(tmp);
        // The volume target takes a mode byte, then the first blocks: 0 repairs the checksum, 1 keeps it.
        std::string head = image.substr(0, 1024);
        put(dir + "/volume/" + n.name, std::string(1, '\1') + head);
        put(dir + "/fs/" + n.name, image);
        put(dir + "/mount/" + n.name, image);
        // The first image once more as a CD's raw sectors: the translation and its checks get inputs
        // (the checksums the target repairs lie elsewhere there, so mutations mostly end at the header).
        if (&n == &seeds.front() &&
            imgb::write_cd_sectors(tmp, tmp + ".raw", {2, 2352, true}))
            put(dir + "/fs/" + n.name + "_raw_sectors", slurp(tmp + ".raw"));
    }
    std::remove((tmp + ".raw").c_str());
    put(dir + "/volume/checksum_repaired", std::string(1, '\0') + std::string(512, '\0'));
    std::remove(tmp.c_str());
    for (const auto& s : shell_scripts)
        put(dir + "/shell/" + s[0], s[1]);
    int i = 0;
    for (const char* v : getopt_vectors) {
        size_t len = sizeof getopt_vectors[0];
        while (len > 0 && v[len - 1] == '\0')
            --len;
        put(dir + "/getopt/v" + std::to_string(i++), std::string(v, len));
    }
    return failures == 0 ? 0 : 1;
}
