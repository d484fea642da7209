// End-to-end: efsh-mount shows an image under a directory to the host's own tools, read-only;
// images of one partition without a volume header, in efsh and efsh-mount.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <csignal>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "run_efsh.h"
#include "tests/support/image_builder.h"

namespace {

using imgb::Kind;
using imgb::Node;

// The image's file system alone, as a copy of its partition holds it: the disk's partition 7 cut out.
std::string cut_partition(const std::string& image, int64_t first_block)
{
    return read_file(image).substr(static_cast<size_t>(first_block) * 512);
}

class OnePartition : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = make_scratch_dir();
        imgb::Disk d = imgb::simple_disk({imgb::file("readme", "one partition\n")});
        d.partitions[0].first_block = 4096;
        imgb::Result r = imgb::write_image(d, dir + "/disk.img");
        ASSERT_TRUE(r.ok) << r.error;
        bare = dir + "/part.img";
        write_file(bare, cut_partition(dir + "/disk.img", 4096));
    }
    void TearDown() override { remove_tree(dir); }
    std::string dir, bare;
};

TEST_F(OnePartition, EfshSummarisesMountsAndReportsIt)
{
    std::string prog = efsh_progname();
    std::string prompt = bare + "(0) # ";
    // The summary: what the image is, then its one partition as the disk summary lists partitions.
    run_result r = run_efsh({bare}, "");
    EXPECT_EQ(r.err, "\tno volume header: one EFS partition\n\t0\t0 Mb\n");
    run_options paged;
    use_stand_in_less(dir, paged);
    r = run_efsh({"-p", "0", bare}, "more readme\nbye\n", paged);
    EXPECT_EQ(r.out, prompt + prompt);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir + "/less.log"), "one partition\n");
    r = run_efsh({"-d", "-p", "0", bare}, "bye\n");
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "no volume header: the image is one EFS partition, partition 0\n");
    EXPECT_NE(r.err.find("magic"), std::string::npos) << "the superblock report follows";
    for (const char* p : {"3", "15"}) {
        r = run_efsh({"-p", p, bare}, "");
        EXPECT_EQ(r.err, prog + ": invalid partition (" + p + ")\nmount fs: Bad partition\n");
    }
    // Neither a volume header nor a superblock: as any image that is not a disk.
    std::string junk = read_file(bare);
    junk[512 + 28] ^= 1;
    write_file(dir + "/junk.img", junk);
    EXPECT_EQ(run_efsh({dir + "/junk.img"}, "").err, "open disk: Bad magic number\n");
}

#ifdef EFSH_MOUNT_BIN

std::string mount_bin()
{
    return EFSH_MOUNT_BIN;
}

bool is_mounted(const std::string& path)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.find(" " + path + " ") != std::string::npos)
            return true;
    return false;
}

// Why nothing can be mounted here, or empty.
std::string no_fuse_reason()
{
    if (efsh_under_wine())
        return "efsh-mount is not built for Windows";
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        return "/dev/fuse is missing or not usable";
    return "";
}

class Mount : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string why = no_fuse_reason(); !why.empty())
            GTEST_SKIP() << why;
        dir = make_scratch_dir();
        mnt = dir + "/mnt";
        std::filesystem::create_directory(mnt);
    }
    void TearDown() override
    {
        unmount();
        if (!dir.empty())
            remove_tree(dir);
    }
    imgb::Result build(const imgb::Disk& d, const std::string& name = "disk.img")
    {
        imgb::Result r = imgb::write_image(d, dir + "/" + name);
        EXPECT_TRUE(r.ok) << r.error;
        return r;
    }
    // Mounts the image; false (the test then skips) when the host refuses every FUSE mount.
    bool mount(const std::vector<std::string>& args)
    {
        run_options opt;
        opt.binary = mount_bin();
        opt.timeout_seconds = hang_seconds();
        run_result r = run_efsh(args, "", opt);
        if (r.status != 0 && r.err.find("fuse") != std::string::npos) {
            refused = r.err;
            return false;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(is_mounted(mnt)) << r.err;
        return r.status == 0;
    }
    void unmount()
    {
        if (!mnt.empty() && is_mounted(mnt)) {
            std::string cmd = "fusermount3 -u '" + mnt + "' 2>/dev/null || umount '" + mnt + "'";
            EXPECT_EQ(std::system(cmd.c_str()), 0);
            EXPECT_FALSE(is_mounted(mnt));
        }
    }
    // A shell command run to its end (or stopped after the hang limit); its exit status, 124 on a hang.
    int sh(const std::string& cmd)
    {
        std::string full = "timeout " + std::to_string(static_cast<int>(hang_seconds())) + " sh -c '" + cmd + "'";
        int rc = std::system(full.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    std::string dir, mnt, refused;
};

#define MOUNT_OR_SKIP(...)                                              \
    do {                                                                \
        if (!mount(__VA_ARGS__))                                        \
            GTEST_SKIP() << "the host refused the mount: " << refused; \
    } while (0)

// Every kind of inode, with owners, times and modes of its own.
struct Expect {
    const char* path;
    Node node;
    mode_t type;
};

Node with(Node n, uint16_t uid, uint16_t gid, int32_t t)
{
    n.uid = uid;
    n.gid = gid;
    n.atime = t;
    n.mtime = t + 1;
    n.ctime = t + 2;
    return n;
}

std::vector<Expect> every_kind()
{
    Node wide = imgb::device(Kind::blockdev, "wide", (300u << 18) | 70000u, 0640);
    wide.rdev_wide = true;
    Node spread = imgb::file("inner", imgb::pattern(300000, 7), 0600);
    spread.extent_blocks = 3;  // many extents, some of them indirect
    return {
        {"/plain", with(imgb::file("plain", "hello\n", 0640), 100, 20, 1000000), S_IFREG},
        {"/setid", with(imgb::file("setid", "#!/bin/sh\n", 07755), 0, 0, 2000000), S_IFREG},
        {"/empty", with(imgb::file("empty", "", 0444), 65534, 65533, -1000), S_IFREG},
        {"/sub", with(imgb::dir("sub", {}, 0750), 7, 8, 3000000), S_IFDIR},
        {"/sub/inner", with(spread, 9, 10, 4000000), S_IFREG},
        {"/link", with(imgb::symlink("link", "sub/inner"), 1, 1, 5000000), S_IFLNK},
        {"/tty", with(imgb::device(Kind::chardev, "tty", (4u << 8) | 1u, 0620), 0, 5, 6000000), S_IFCHR},
        {"/wide", with(wide, 0, 6, 7000000), S_IFBLK},
        {"/pipe", with(imgb::device(Kind::fifo, "pipe", 0, 0644), 2, 2, 8000000), S_IFIFO},
        {"/sock", with(imgb::device(Kind::socket, "sock", 0, 0755), 3, 3, 9000000), S_IFSOCK},
    };
}

imgb::Disk every_kind_disk(const std::vector<Expect>& kinds)
{
    Node sub;
    std::vector<Node> top;
    for (const Expect& e : kinds) {
        if (std::string(e.path) == "/sub")
            sub = e.node;
        else if (std::string(e.path).rfind("/sub/", 0) == 0)
            sub.children.push_back(e.node);
        else
            top.push_back(e.node);
    }
    top.push_back(sub);
    // Names no host directory can hold: left out of listings.
    for (const char* bad : {"a/b", "", ".."})
        top.push_back(imgb::file(bad, "hidden\n"));
    return imgb::simple_disk(top);
}

// The attributes a node must show, checked on a path (the mount's, or a copy's with `copy` set:
// the host sets inode numbers, links, access and change times of its own there).
void expect_attributes(const std::string& path, const Expect& e, uint32_t ino, bool copy)
{
    SCOPED_TRACE(path);
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << std::strerror(errno);
    const Node& n = e.node;
    EXPECT_EQ(st.st_mode & S_IFMT, e.type);
    // A copy of a symbolic link has the host's own mode bits; sockets cannot be copied.
    if (!(copy && e.type == S_IFLNK)) {
        EXPECT_EQ(st.st_mode & 07777, n.perm);
    }
    EXPECT_EQ(st.st_uid, n.uid);
    EXPECT_EQ(st.st_gid, n.gid);
    EXPECT_EQ(st.st_mtime, n.mtime);
    if (e.type == S_IFREG || e.type == S_IFLNK) {
        EXPECT_EQ(static_cast<uint64_t>(st.st_size), n.data.size());
    }
    if (e.type == S_IFREG) {
        EXPECT_TRUE(read_file(path) == n.data) << "the bytes differ";
    }
    if (e.type == S_IFCHR || e.type == S_IFBLK) {
        uint32_t major = n.rdev_wide ? n.rdev >> 18 : n.rdev >> 8;
        uint32_t minor = n.rdev_wide ? n.rdev & 0x3FFFF : n.rdev & 0xFF;
        EXPECT_EQ(::major(st.st_rdev), major);
        EXPECT_EQ(::minor(st.st_rdev), minor);
    }
    if (e.type == S_IFLNK) {
        std::error_code ec;
        EXPECT_EQ(std::filesystem::read_symlink(path, ec).string(), n.data);
    }
    if (copy)
        return;
    EXPECT_EQ(st.st_ino, ino);
    EXPECT_EQ(st.st_nlink, e.type == S_IFDIR ? 2u : 1u);
    EXPECT_EQ(st.st_atime, n.atime);
    EXPECT_EQ(st.st_ctime, n.ctime);
}

TEST_F(Mount, ShowsEveryKindAsTheImageHoldsIt)
{
    std::vector<Expect> kinds = every_kind();
    imgb::Result built = build(every_kind_disk(kinds));
    MOUNT_OR_SKIP({"-p", "7", dir + "/disk.img", mnt});
    for (const Expect& e : kinds)
        expect_attributes(mnt + e.path, e, built.nodes["7:" + std::string(e.path)].inode, false);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(mnt))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"empty", "link", "pipe", "plain", "setid", "sock", "sub", "tty", "wide"}));

    // cp -a keeps what the mount shows: kinds, bytes, link targets, modes, owners and times.
    if (geteuid() != 0)
        GTEST_SKIP() << "cp -a of devices and owners needs root";
    ASSERT_EQ(sh("cp -a " + mnt + " " + dir + "/copy 2>&1 | grep -v socket >&2; true"), 0);
    for (const Expect& e : kinds)
        if (e.type != S_IFSOCK)
            expect_attributes(dir + "/copy" + e.path, e, 0, true);
}

TEST_F(Mount, EveryChangeIsRefusedAsReadOnly)
{
    build(imgb::simple_disk({imgb::file("f", "data\n"), imgb::dir("d", {})}));
    MOUNT_OR_SKIP({"-p", "7", dir + "/disk.img", mnt, "-o", "rw,suid,dev"});
    std::string f = mnt + "/f", d = mnt + "/d", n = mnt + "/new";
    struct change {
        const char* what;
        std::function<int()> call;
    };
    const change changes[] = {
        {"open for writing", [&] { return open(f.c_str(), O_WRONLY); }},
        {"create", [&] { return open(n.c_str(), O_WRONLY | O_CREAT, 0644); }},
        {"truncate", [&] { return truncate(f.c_str(), 0); }},
        {"mkdir", [&] { return mkdir(n.c_str(), 0755); }},
        {"mkfifo", [&] { return mkfifo(n.c_str(), 0644); }},
        {"unlink", [&] { return unlink(f.c_str()); }},
        {"rmdir", [&] { return rmdir(d.c_str()); }},
        {"rename", [&] { return rename(f.c_str(), n.c_str()); }},
        {"link", [&] { return link(f.c_str(), n.c_str()); }},
        {"symlink", [&] { return symlink("f", n.c_str()); }},
        {"chmod", [&] { return chmod(f.c_str(), 0777); }},
        {"chown", [&] { return chown(f.c_str(), 1, 1); }},
        {"utimes", [&] { return utimes(f.c_str(), nullptr); }},
        {"setxattr", [&] { return setxattr(f.c_str(), "user.x", "1", 1, 0); }},
    };
    for (const change& c : changes) {
        errno = 0;
        EXPECT_EQ(c.call(), -1) << c.what;
        EXPECT_EQ(errno, EROFS) << c.what;
    }
    EXPECT_EQ(read_file(f), "data\n");
    // Read-only, and no program or device of the image usable through the mount, whatever -o asked.
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.find(" " + mnt + " ") != std::string::npos) {
            EXPECT_NE(line.find(" ro,nosuid,nodev"), std::string::npos) << line;
        }
}

// Damage in one file or directory fails the calls that meet it, and nothing else.
struct DamageCase {
    const char* name;
    Node node;
    const char* fails;  // "stat", "read", "list" of the damaged node, or "" (only bounded)
};

Node damaged(Node n, const std::function<void(Node&)>& f)
{
    f(n);
    return n;
}

std::vector<DamageCase> damage_cases()
{
    Node big = imgb::file("x", imgb::pattern(200000, 3));
    big.extent_blocks = 4;
    Node wide_dir = imgb::dir("x", {});
    for (int i = 0; i < 40; ++i)
        wide_dir.children.push_back(imgb::file("e" + std::to_string(i), "entry\n"));
    wide_dir.dir_entries_per_block = 4;
    return {
        {"bad extent magic", damaged(big, [](Node& n) { n.damage.bad_extent_magic_slot = 0; }), "stat"},
        {"negative size", damaged(big, [](Node& n) { n.damage.raw_size = -5; }), "stat"},
        {"negative extent count", damaged(big, [](Node& n) { n.damage.raw_extent_count = -1; }), "read"},
        {"too many indirect extents", damaged(big, [](Node& n) { n.damage.raw_indirect_count = 20; }), "read"},
        {"extent out of order", damaged(big, [](Node& n) { n.damage.break_invariant_at = 5; }), "read"},
        {"extent too long", damaged(big, [](Node& n) { n.damage.long_extent_at = 2; }), "read"},
        {"extent past the image", damaged(big, [](Node& n) { n.damage.extent_past_image_at = 7; }), "read"},
        {"directory past the image", damaged(wide_dir, [](Node& n) { n.damage.extent_past_image_at = 3; }), "list"},
        {"directory block without magic", damaged(wide_dir, [](Node& n) { n.damage.bad_dir_magic_blocks = {2}; }), ""},
        {"directory slots past the block", damaged(wide_dir, [](Node& n) { n.damage.slot_count_255_block = 1; }), ""},
        {"directory entry past its block", damaged(wide_dir, [](Node& n) { n.damage.entry_past_end = true; }), ""},
    };
}

int errno_of(const std::function<bool()>& call)
{
    errno = 0;
    return call() ? 0 : errno;
}

TEST_F(Mount, DamageFailsOnlyTheCallsThatMeetIt)
{
    for (const DamageCase& c : damage_cases()) {
        SCOPED_TRACE(c.name);
        Node loop;
        loop.name = "loop";
        loop.link_to = 2;  // a directory inside itself
        build(imgb::simple_disk({imgb::file("before", "sound\n"), c.node, loop, imgb::file("after", "sound\n")}));
        MOUNT_OR_SKIP({"-p", "7", dir + "/disk.img", mnt});
        std::string x = mnt + "/x";
        std::string how = c.fails;
        struct stat st;
        EXPECT_EQ(errno_of([&] { return lstat(x.c_str(), &st) == 0; }), how == "stat" ? EIO : 0);
        if (how == "read") {
            EXPECT_EQ(errno_of([&] {
                          int fd = open(x.c_str(), O_RDONLY);
                          char buf[65536];
                          ssize_t got = 0;
                          while (fd >= 0 && (got = read(fd, buf, sizeof buf)) > 0) {
                          }
                          int e = errno;
                          close(fd);
                          errno = e;
                          return got == 0;
                      }),
                      EIO);
        }
        if (how == "list") {
            std::error_code ec;
            for (auto it = std::filesystem::directory_iterator(x, ec); !ec && it != std::filesystem::directory_iterator();
                 it.increment(ec)) {
            }
            EXPECT_EQ(ec.value(), EIO);
        }
        // The whole tree walked, every file read: the walk ends, the mount still answers, and the
        // sound files and the loop show as on any host.
        EXPECT_NE(sh("find " + mnt + " >/dev/null 2>&1; find " + mnt + " -type f -exec cat {} + >/dev/null 2>&1; true"), 124);
        EXPECT_EQ(read_file(mnt + "/before") + read_file(mnt + "/after"), "sound\nsound\n");
        ASSERT_EQ(lstat((mnt + "/loop").c_str(), &st), 0);
        EXPECT_EQ(st.st_ino, 2u);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        unmount();
    }
}

TEST_F(Mount, StartFailuresSayWhyAndExitNonZero)
{
    build(imgb::simple_disk({}));
    imgb::Disk bad = imgb::simple_disk({});
    bad.damage.bad_magic = true;
    build(bad, "bad.img");
    imgb::Disk badsb = imgb::simple_disk({});
    badsb.partitions[0].fs->damage.bad_checksum = true;
    build(badsb, "badsb.img");
    std::string img = dir + "/disk.img";
    struct start_case {
        std::vector<std::string> args;
        std::string err;
    };
    const start_case cases[] = {
        {{dir + "/none.img", mnt}, "efsh-mount: open disk: No such file or directory\n"},
        {{dir + "/bad.img", mnt}, "efsh-mount: open disk: Bad magic number\n"},
        {{"-p", "7", dir + "/badsb.img", mnt}, "efsh-mount: mount fs: Bad magic number\n"},
        {{"-p", "3", img, mnt}, "efsh-mount: mount fs: Empty partition\n"},
        {{"-p", "16", img, mnt}, "efsh-mount: invalid partition (16)\nefsh-mount: mount fs: Bad partition\n"},
        {{img, dir + "/nowhere"}, "efsh-mount: " + dir + "/nowhere: No such file or directory\n"},
        {{img}, "Use: efsh-mount [-hdf] [-p part] [-o option,...] image mountpoint\n"},
    };
    run_options opt;
    opt.binary = mount_bin();
    opt.argv0 = "efsh-mount";
    opt.timeout_seconds = hang_seconds();
    for (const start_case& c : cases) {
        run_result r = run_efsh(c.args, "", opt);
        EXPECT_EQ(r.err, c.err);
        EXPECT_NE(r.status, 0) << c.err;
        EXPECT_FALSE(is_mounted(mnt));
    }
}

TEST_F(Mount, ImageOfOnePartitionMountsAsPartitionZero)
{
    imgb::Disk d = imgb::simple_disk({imgb::file("readme", "one partition\n")});
    d.partitions[0].first_block = 4096;
    build(d);
    write_file(dir + "/part.img", cut_partition(dir + "/disk.img", 4096));
    run_options opt;
    opt.binary = mount_bin();
    run_result r = run_efsh({"-p", "3", dir + "/part.img", mnt}, "", opt);
    EXPECT_EQ(r.err, "efsh-mount: invalid partition (3)\nefsh-mount: mount fs: Bad partition\n");
    EXPECT_NE(r.status, 0);
    MOUNT_OR_SKIP({dir + "/part.img", mnt});
    EXPECT_EQ(read_file(mnt + "/readme"), "one partition\n");
}

// In the foreground the mount stays until Ctrl-C, which unmounts it (a mount point given relative
// to where the program started included) and ends it with status 0; names that cannot be host
// names are reported once, however often the directory is listed.
TEST_F(Mount, ForegroundReportsLeftOutNamesOnceAndCtrlCUnmounts)
{
    build(imgb::simple_disk({imgb::file("a/b", "x"), imgb::file("ok", "y")}));
    std::string err = dir + "/err";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        signal(SIGINT, SIG_DFL);  // as at a terminal, whatever the test runner was given
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        execl(mount_bin().c_str(), "efsh-mount", "-f", "disk.img", "mnt", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait for the mount to come up, or for the program to end without one (or to hang).
    int status = 0;
    for (int waited = 0; !is_mounted(mnt) && waitpid(pid, &status, WNOHANG) == 0; ++waited) {
        if (waited > hang_seconds() * 1000) {
            kill(pid, SIGKILL);
            FAIL() << "efsh-mount neither mounted nor ended";
        }
        usleep(1000);
    }
    if (!is_mounted(mnt))
        GTEST_SKIP() << "the host refused the mount: " << read_file(err);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(sh("ls -a " + mnt + " >/dev/null"), 0);
    EXPECT_EQ(sh("ls " + mnt + " >/dev/null"), 0);
    kill(pid, SIGINT);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(is_mounted(mnt));
    EXPECT_EQ(read_file(err), "efsh-mount: directory inode 2: entry \"a/b\" cannot be a host name, left out\n");
}

#endif

}  // namespace
