// Fuzz target: an image served as efsh-mount serves it, without the kernel. Every directory is
// listed as the kernel lists it, whole and in small requests, every name it holds looked up and
// compared with the listing, each directory shown in one place only and the nodes counted against
// the image's inodes; every entry's attributes are
// taken; every file and link is read in the pieces the kernel asks for, in order and out of it,
// as bytes and as places in the image, and compared with what a stream of the library reads.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "efs/efs_file.h"
#include "efs/efs_io.h"
#include "fuzz/fuzz_support.h"
#include "host/host_io.h"
#include "mount/mount.h"
#include "volume/volume.h"

const char* mount_name = "fuzz_mount";
bool report_names = false;

namespace {

constexpr int MAX_DIRS = 200;
constexpr int MAX_ENTRIES = 4000;
constexpr uint64_t MAX_FILE_BYTES = 1u << 20;  // files larger are read only as far as this
constexpr uint64_t MAX_TOTAL_BYTES = 8u << 20;

struct walk_state {
    int dirs = 0;
    int entries = 0;
    uint64_t bytes = 0;
    std::set<uint32_t> listed;
    std::set<uint32_t> shown_dirs;
    std::set<fuse_ino_t> nodes;
    const std::vector<uint8_t>* image = nullptr;  // the image's bytes, to check the places a read hands to the kernel
};

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_mount: %s\n", what);
    std::abort();
}

// What a stream of the library reads of inode n, at most `limit` bytes; *whole when it read every
// byte up to that limit or the size.
std::string stream_bytes(uint32_t n, uint64_t limit, bool* whole)
{
    std::string bytes;
    *whole = false;
    fs_file* s = fs_iopen(n);
    if (!s)
        return bytes;
    uint64_t size = s->inode->di_size < 0 ? 0 : static_cast<uint64_t>(s->inode->di_size);
    uint64_t want = size < limit ? size : limit;
    static uint8_t buf[65536];
    while (bytes.size() < want) {
        uint64_t rest = want - bytes.size();
        auto ask = static_cast<uint32_t>(rest < sizeof buf ? rest : sizeof buf);
        uint32_t got = fs_fread(buf, 1, ask, s);
        bytes.append(reinterpret_cast<const char*>(buf), got);
        if (got < ask)
            break;
    }
    *whole = bytes.size() == want;
    fs_fclose(s);
    return bytes;
}

// One read as the kernel makes it, as bytes and as places in the image: both agree with each other
// and with the stream's bytes, and fail together. Returns the byte count, or -1.
int64_t read_both(walk_state& w, uint32_t n, uint64_t offset, size_t size, const std::string& expected,
                  bool stream_whole)
{
    static std::vector<uint8_t> buf;
    static std::vector<image_piece> pieces;
    buf.assign(size, 0);
    int err_bytes = 0, err_places = 0;
    int64_t got = read_inode_data(n, offset, size, buf.data(), nullptr, &err_bytes);
    int64_t found = read_inode_data(n, offset, size, nullptr, &pieces, &err_places);
    if (got != found)
        fail("bytes and places of the same read differ in count");
    if (got < 0) {
        if (err_bytes == 0 || err_places == 0)
            fail("a failed read gives no reason");
        // The stream read all it was asked for, within the size: so must the mount.
        if (stream_whole && offset + size <= expected.size())
            fail("a read fails where the stream read on");
        return -1;
    }
    if (static_cast<uint64_t>(got) > size)
        fail("a read gives more than asked for");
    std::string places;
    for (const image_piece& p : pieces) {
        if (p.offset < 0 || static_cast<uint64_t>(p.offset) + p.length > w.image->size())
            fail("a place lies outside the image");
        places.append(reinterpret_cast<const char*>(w.image->data()) + p.offset, p.length);
    }
    if (places.size() != static_cast<size_t>(got) ||
        std::memcmp(places.data(), buf.data(), static_cast<size_t>(got)) != 0)
        fail("the places of a read hold other bytes than the read");
    // Where the stream has bytes, the mount has the same.
    if (offset < expected.size()) {
        size_t common = expected.size() - offset < static_cast<uint64_t>(got) ? expected.size() - offset
                                                                              : static_cast<size_t>(got);
        if (expected.compare(offset, common, reinterpret_cast<const char*>(buf.data()), common) != 0)
            fail("a read gives other bytes than the stream");
    }
    return got;
}

// Reads inode n whole in order, in pieces of changing sizes, then at places out of order.
void read_file(walk_state& w, uint32_t n, uint64_t size)
{
    uint64_t limit = size < MAX_FILE_BYTES ? size : MAX_FILE_BYTES;
    if (w.bytes + limit > MAX_TOTAL_BYTES)
        return;
    w.bytes += limit;
    bool whole = false;
    std::string expected = stream_bytes(n, limit, &whole);
    uint64_t at = 0;
    size_t piece = 4096;
    while (at < limit) {
        int64_t got = read_both(w, n, at, piece, expected, whole);
        if (got < 0)
            break;
        if (got == 0)
            fail("a read within the size gives nothing");
        at += static_cast<uint64_t>(got);
        piece = piece * 5 % (256 * 1024) + 512;
    }
    if (at >= limit && limit == size && whole && read_both(w, n, size, 4096, expected, whole) != 0)
        fail("a read at the size gives bytes");
    // Back and forth: a kept stream must not be read on past where the kernel asks.
    uint64_t seed = n * 2654435761u + size;
    for (int i = 0; i < 6 && limit > 0; ++i) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        uint64_t offset = (seed >> 33) % limit;
        (void)read_both(w, n, offset, static_cast<size_t>((seed >> 13) % 200000 + 1), expected, whole);
    }
}

struct shown {
    uint32_t ino;
    std::string name;
};

// A listing as the kernel takes it: requests of `per_request` entries each, every one a walk from
// the position the last handed back. Null on a failure at the start.
bool list(uint32_t dir, size_t per_request, std::vector<shown>* out, bool* damaged)
{
    out->clear();
    *damaged = false;
    uint64_t pos = 0;
    for (;;) {
        listing_walk lw;
        int err = listing_start(&lw, dir, pos);
        if (err != 0) {
            if (pos != 0)
                fail("a listing fails to go on from a position it gave");
            return false;
        }
        listing_entry e;
        size_t taken = 0;
        while (taken < per_request && listing_next(&lw, &e)) {
            if (e.next == 0 || e.next == e.at || e.next > uint64_t(INT64_MAX))
                fail("a listing hands out a position the kernel cannot give back");
            out->push_back({e.ino, e.name});
            listing_keep(&lw, e);
            pos = e.next;
            ++taken;
            if (out->size() > MAX_ENTRIES)
                break;
        }
        bool ended = lw.ended;
        *damaged = listing_end(&lw);
        if (ended || out->size() > MAX_ENTRIES)
            return true;
    }
}

uint32_t image_inode_count()
{
    const superblock* sb = fs_current()->superblock;
    return static_cast<uint32_t>(sb->sb_cg_count) * static_cast<uint32_t>(sb->sb_cg_inode_blocks) * 4;
}

void walk(walk_state& w, uint32_t dir, fuse_ino_t node)
{
    if (++w.dirs > MAX_DIRS || !w.listed.insert(dir).second)
        return;
    std::vector<shown> entries, again;
    bool damaged = false, damaged_again = false;
    if (!list(dir, SIZE_MAX, &entries, &damaged))
        return;
    // Taken in small requests, the listing is the same.
    if (!list(dir, 1 + dir % 3, &again, &damaged_again))
        fail("a listing fails at its start the second time");
    if (entries.size() <= MAX_ENTRIES) {
        bool same = again.size() == entries.size() && damaged == damaged_again;
        for (size_t i = 0; same && i < entries.size(); ++i)
            same = again[i].ino == entries[i].ino && again[i].name == entries[i].name;
        if (!same)
            fail("a listing taken in pieces differs from one taken whole");
    }
    std::set<std::string> names;
    for (const shown& e : entries) {
        if (e.name.empty() || e.name.find('/') != std::string::npos)
            fail("a listing shows a name no host can hold");
        if (!names.insert(e.name).second)
            fail("a listing shows a name twice");
    }
    // Every name of the directory as the image holds it: one shown looks up to the inode shown,
    // one left out to nothing.
    if (fs_dir* d = fs_iopendir(dir)) {
        int count = 0;
        while (fs_dirent* e = fs_readdir(d)) {
            if (++count > MAX_ENTRIES)
                break;
            std::string name(e->d_name);
            if (!host_name_ok(e->d_name))
                continue;
            uint32_t found = 0;
            if (lookup_entry(dir, e->d_name, &found) != 0)
                continue;
            uint32_t want = 0;
            for (const shown& s : entries)
                if (s.name == name)
                    want = s.ino;
            if (found != want)
                fail(want ? "a lookup names another inode than the listing" : "a name left out looks up to an inode");
        }
        fs_closedir(d);
    }
    for (const shown& e : entries) {
        if (++w.entries > MAX_ENTRIES)
            return;
        if (e.name == "." || e.name == "..")
            continue;
        struct stat st;
        if (stat_inode(e.ino, &st) != 0)
            continue;
        if (st.st_size < 0 || st.st_ino != e.ino)
            fail("attributes out of their range");
        fuse_ino_t child = node_for_entry(node, e.name.c_str(), e.ino);
        w.nodes.insert(child);
        if (S_ISDIR(st.st_mode)) {
            // A directory is shown in one place; the root, once in each directory naming it.
            if (e.ino != ROOT_INODE && !w.shown_dirs.insert(e.ino).second)
                fail("a directory is shown under two names");
            walk(w, e.ino, child);
        } else if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
            read_file(w, e.ino, static_cast<uint64_t>(st.st_size));
        }
    }
}

void serve(disk* d, int partition, const std::vector<uint8_t>& image)
{
    fs* f = fs_mount(d, partition, 0);
    if (!f)
        return;
    walk_state w;
    w.image = &image;
    struct stat st;
    if (stat_inode(ROOT_INODE, &st) == 0 && S_ISDIR(st.st_mode))
        walk(w, ROOT_INODE, FUSE_ROOT_ID);
    // Nodes stand for inodes: the image's, and one alias of the root in each directory.
    if (w.nodes.size() > 2 * uint64_t{image_inode_count()} + 1)
        fail("more nodes than the image has inodes");
    for (fuse_ino_t n : w.nodes)
        node_forget(n, UINT64_MAX);
    if (alias_count() != 0)
        fail("an alias outlives the kernel's count");
    close_data_streams();
    listing_reset();
    for (const fs_file& s : stream_table)
        if (s.fs)
            fail("a stream is left open after the walk");
    fs_umount(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> image;
    if (disk* d = fuzz::open_image(data, size, "mount.img", &image)) {
        for (int i = 0; i < VH_PARTITIONS; ++i)
            serve(d, i, image);
        disk_close(d);
    }
    if (fuzz::reset_library() != 0)
        std::abort();
    return 0;
}
