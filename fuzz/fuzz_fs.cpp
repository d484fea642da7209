// Fuzz target: a whole image mounted partition by partition, every tree walked, read, listed and copied out.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "efs/efs_file.h"
#include "efs/efs_io.h"
#include "efs/fs_error.h"
#include "fuzz/fuzz_support.h"
#include "shell/getopt.h"
#include "shell/shell.h"
#include "volume/volume.h"
#include "walk/copy.h"

namespace {

// Bounds of one walk. The walk follows the same entries as cp -r and tar (a directory is entered
// once, whatever names lead to it), so a tree the walk finishes within these bounds is one that
// cp -r can copy without filling the scratch space.
constexpr int MAX_DEPTH = 20;
constexpr int MAX_DIRS = 200;
constexpr int MAX_ENTRIES = 4000;
constexpr uint64_t MAX_FILE_BYTES = 8u << 20;
constexpr uint64_t MAX_COPY_BYTES = 16u << 20;
// The copy of a single file is cut at this size by the host (RLIMIT_FSIZE).
constexpr rlim_t COPY_FILE_LIMIT = 4u << 20;

struct walk_state {
    int dirs = 0;
    int entries = 0;
    uint64_t file_bytes = 0;
    uint64_t archive_bytes = 0;  // at most what tar of the tree writes: sizes as declared, headers
    bool exhausted = false;
    std::set<uint32_t> entered;  // inodes of the directories walked so far
};

std::string slurp(FILE* f)
{
    std::string s;
    char piece[4096];
    std::rewind(f);
    for (size_t n; (n = std::fread(piece, 1, sizeof piece, f)) != 0;)
        s.append(piece, n);
    return s;
}

uint64_t read_to_end(const char* name)
{
    fs_file* s = fs_fopen(name, "rb");
    if (!s)
        return 0;
    static uint8_t buf[4096];
    static std::string bytes;
    bytes.clear();
    uint64_t total = 0;
    uint32_t chunk = 1;
    for (;;) {
        // Varying request sizes cross extent and buffer boundaries at different places.
        uint32_t n = fs_fread(buf, 1, chunk, s);
        if (n > chunk)
            std::abort();
        if (n == 0)
            break;
        total += n;
        if (total > MAX_FILE_BYTES)
            break;
        bytes.append(reinterpret_cast<const char*>(buf), n);
        chunk = chunk * 7 % sizeof buf + 1;
    }
    if (total <= MAX_FILE_BYTES && total > static_cast<uint32_t>(s->inode->di_size))
        std::abort();  // a stream never delivers bytes past the size its inode states
    // cp meets the end once, where these reads may meet it twice (each call that meets it counts):
    // it reports an early end when one past the bytes delivered does not pass the size.
    const bool early = static_cast<int64_t>(total) + 1 <= s->inode->di_size;
    fs_fclose(s);
    if (total <= COPY_FILE_LIMIT) {
        // cp moves whole extents, inside the host where it can: it must deliver the same bytes
        // and report an early end.
        static const std::string copy = fuzz::scratch() + "/same";
        std::string err;
        {
            fuzz::quiet q;
            FILE* messages = std::tmpfile();
            if (!messages)
                std::abort();
            stderr = messages;
            (void)copy_file(name, copy.c_str(), 0);
            err = slurp(messages);
            std::fclose(messages);
        }
        FILE* out = std::fopen(copy.c_str(), "rb");
        if (!out || slurp(out) != bytes || (err.find("fs_fread: ") != std::string::npos) != early)
            std::abort();
        std::fclose(out);
        std::remove(copy.c_str());
    }
    return total;
}

// The salvaging stream of directory n: opened again at positions it told, it gives the rest of
// the same entries and damage; a lookup finds the first entry of each name it lists.
void salvage_check(uint32_t n)
{
    struct seen {
        uint64_t at;
        uint32_t ino;
        std::string name;
    };
    std::vector<seen> all;
    fs_dir* d = fs_iopendir_at(n, 0);
    if (!d)
        return;
    for (;;) {
        uint64_t at = fs_telldir(d);
        fs_dirent* e = fs_readdir(d);
        if (!e || all.size() >= 2000)
            break;
        all.push_back({at, e->d_ino, std::string(e->d_name, e->d_namlen)});
    }
    bool whole = all.size() < 2000;
    uint32_t damage = fs_dir_damaged(d) ? fs_dir_damaged(d)->count : 0;
    fs_closedir(d);
    for (size_t from : {size_t{0}, all.size() / 2, all.size() ? all.size() - 1 : 0}) {
        if (from >= all.size())
            continue;
        fs_dir* r = fs_iopendir_at(n, all[from].at);
        if (!r)
            std::abort();
        size_t i = from;
        while (fs_dirent* e = fs_readdir(r)) {
            if (i >= all.size())
                break;
            if (e->d_ino != all[i].ino || std::string(e->d_name, e->d_namlen) != all[i].name)
                std::abort();
            ++i;
        }
        if (whole && (i != all.size() || (fs_dir_damaged(r) ? fs_dir_damaged(r)->count : 0) > damage))
            std::abort();
        fs_closedir(r);
    }
    for (size_t i = 0; i < all.size() && i < 16; ++i) {
        const std::string& name = all[i].name;
        if (name.size() != std::strlen(name.c_str()))
            continue;
        uint32_t ino = 0;
        size_t first = 0;
        while (all[first].name != name)
            ++first;
        if (fs_isearch(n, name.c_str(), &ino) != 0 || ino != all[first].ino)
            std::abort();
    }
}

// Walks the current directory of the current file system; `here` is its path for fs_chdir back.
void walk(walk_state& w, const std::string& here, int depth)
{
    if (++w.dirs > MAX_DIRS || depth > MAX_DEPTH) {
        w.exhausted = true;
        return;
    }
    const fs* f = fs_current();
    w.entered.insert(static_cast<uint32_t>(f->cwd_inode));
    salvage_check(static_cast<uint32_t>(f->cwd_inode));

    struct entry {
        uint32_t ino;
        std::string name;
    };
    std::vector<entry> entries;
    if (fs_dir* d = fs_opendir(".")) {
        while (fs_dirent* e = fs_readdir(d)) {
            if (++w.entries > MAX_ENTRIES) {
                w.exhausted = true;
                break;
            }
            if (std::strlen(e->d_name) > 255)
                std::abort();
            entries.push_back({e->d_ino, e->d_name});
        }
        fs_closedir(d);
    }

    char cwd[PATH_BUF];
    if (!fs_getcwd(cwd) || strnlen(cwd, PATH_BUF) >= PATH_BUF)
        std::abort();
    fs_statbuf st;
    (void)fs_stat("..", &st);

    for (const entry& e : entries) {
        if (w.exhausted)
            break;
        if (fs_istat(e.ino, &st) != 0)
            continue;
        // An entry's headers with a path of the longest kind, and its data padded to the block.
        w.archive_bytes += 6144u;
        if ((st.st_mode & S_TYPE_MASK) == S_TYPE_REG && st.st_size > 0)
            w.archive_bytes += static_cast<uint64_t>(st.st_size);
        const bool dot = e.name == "." || e.name == "..";
        if ((st.st_mode & S_TYPE_MASK) == S_TYPE_DIR) {
            if (dot || w.entered.count(e.ino) != 0 || e.name.empty() || e.name.find('/') != std::string::npos)
                continue;
            if (fs_chdir(e.name.c_str()) != 0)
                continue;
            walk(w, here == "/" ? "/" + e.name : here + "/" + e.name, depth + 1);
            // Going back by name can fail: the entries on the way may have been found through
            // another directory than the one their names lead to.
            if (fs_chdir(here.c_str()) != 0)
                break;
        } else if (!e.name.empty()) {
            w.file_bytes += read_to_end(e.name.c_str());
        }
    }
}

// A stream still open after a phase leaks its slot: sixteen such entries and nothing opens any more.
void require_no_streams(const char* phase)
{
    for (const fs_file& s : stream_table) {
        if (s.fs) {
            std::fprintf(stderr, "fuzz_fs: a stream is left open after %s\n", phase);
            std::abort();
        }
    }
}

void copy_out(const std::string& root)
{
    const std::string work = root + "/w";
    if (::mkdir(root.c_str(), 0700) != 0 || ::mkdir(work.c_str(), 0700) != 0 || ::chdir(work.c_str()) != 0)
        std::abort();
    char arg0[] = "cp", arg1[] = "-rp", arg2[] = "/", arg3[] = ".";
    char* argv[] = {arg0, arg1, arg2, arg3, nullptr};
    (void)do_cp(4, argv);
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd) || work != cwd)
        std::abort();  // the copy must leave the host directory where it found it
    if (fuzz::list_dir(root) != std::vector<std::string>{"w"})
        std::abort();  // something was written outside the target directory
    if (::chdir(fuzz::scratch().c_str()) != 0 || !fuzz::remove_tree(root))
        std::abort();
}

// tar of the whole tree: whole records, or (a write past the size limit) no archive at all.
void archive_out(const std::string& archive)
{
    std::string target = archive;
    char arg0[] = "tar", arg1[] = "/";
    char* argv[] = {arg0, arg1, target.data(), nullptr};
    (void)do_tar(3, argv);
    struct stat st;
    if (::stat(archive.c_str(), &st) == 0 && st.st_size % 10240 != 0)
        std::abort();
    std::remove(archive.c_str());
}

// manifest of the whole tree with every hash and the orphans: it ends, and every record is one
// line of one JSON object.
void manifest_out(const std::string& path)
{
    std::string target = path;
    char arg0[] = "manifest", arg1[] = "-a", arg2[] = "md5,sha1,sha256,sha512", arg3[] = "-o", arg4[] = "/";
    char* argv[] = {arg0, arg1, arg2, arg3, arg4, target.data(), nullptr};
    if (do_manifest(6, argv) != 0)
        return;  // a file the host cut at its size limit
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        std::abort();
    std::string text = slurp(f);
    std::fclose(f);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos || text.compare(at, 9, "{\"path\":\"") != 0 || text[end - 1] != '}')
            std::abort();
        at = end + 1;
    }
    std::remove(path.c_str());
}

void explore(disk* d, int partition)
{
    fs* f = fs_mount(d, partition, 0);
    if (!f)
        return;
    if (fs_current() != f)
        std::abort();
    print_superblock(fuzz::sink(), f->superblock);
    walk_state w;
    walk(w, "/", 0);
    require_no_streams("the walk");
    (void)fs_chdir("/");  // fails when the root is not a directory: ls and cp then start where the walk ended
    bool copy = !w.exhausted && w.file_bytes <= MAX_COPY_BYTES;
    {
        fuzz::quiet q;
        do_ls(".", "-l");
        do_ls(".", nullptr);
    }
    require_no_streams("ls");
    if (copy) {
        {
            fuzz::quiet q;
            copy_out(fuzz::scratch() + "/copy");
        }
        require_no_streams("cp -r");
        // tar fills what an inode's size declares. It walks by inode, into directories the walk
        // above cannot enter by name, so its archive may still pass the size limit: then the write
        // fails and no archive is left.
        if (w.archive_bytes + 20480 < COPY_FILE_LIMIT) {
            fuzz::quiet q;
            archive_out(fuzz::scratch() + "/tree.tar");
        }
        require_no_streams("tar");
        {
            fuzz::quiet q;
            manifest_out(fuzz::scratch() + "/tree.jsonl");
        }
        require_no_streams("manifest");
    }
    fs_umount(f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A copied file larger than the limit fails to write instead of filling the scratch space.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{COPY_FILE_LIMIT, COPY_FILE_LIMIT};
    (void)::setrlimit(RLIMIT_FSIZE, &lim);
    if (::chdir(fuzz::scratch().c_str()) != 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> image;
    if (disk* d = fuzz::open_image(data, size, "fs.img", &image)) {
        print_volume_header(fuzz::sink(), d->header);
        for (int i = 0; i < VH_PARTITIONS; ++i)
            explore(d, i);
        disk_close(d);
    }
    if (fuzz::reset_library() != 0)
        std::abort();
    return 0;
}
