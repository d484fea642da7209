// End-to-end: efsh-mount shows an image under a directory to the host's own tools, read-only;
// images of one partition without a volume header, in efsh and efsh-mount.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <map>
#include <poll.h>
#include <set>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "damaged_images.h"
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
        if (pid > 0)
            wait_foreground();
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
    // Starts efsh-mount in the foreground in dir, its standard error in dir/err. True once the
    // mount is up; false when the program ended without one (or hung, and is killed).
    bool start_foreground(const std::vector<std::string>& args)
    {
        // A change of the mount table wakes a poll on it: no waiting by the clock.
        int table = open("/proc/self/mountinfo", O_RDONLY);
        pid = fork();
        if (pid == 0) {
            int fd = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 2);
            signal(SIGINT, SIG_DFL);  // as at a terminal, whatever the test runner was given
            std::vector<char*> argv = {const_cast<char*>("efsh-mount"), const_cast<char*>("-f")};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            if (chdir(dir.c_str()) == 0)
                execv(mount_bin().c_str(), argv.data());
            _exit(127);
        }
        pollfd wait[2] = {{table, POLLPRI, 0}, {static_cast<int>(syscall(SYS_pidfd_open, pid, 0)), POLLIN, 0}};
        while (!is_mounted(mnt) && wait[1].revents == 0)
            if (poll(wait, 2, static_cast<int>(hang_seconds() * 1000)) == 0)
                break;
        close(table);
        close(wait[1].fd);
        if (is_mounted(mnt))
            return true;
        if (wait[1].revents == 0)
            kill(pid, SIGKILL);
        refused = read_file(dir + "/err");
        EXPECT_NE(wait_foreground(), -1) << "efsh-mount neither mounted nor ended";
        return false;
    }
    // The exit status of the foreground program, once it ends; -1 when it had to be killed.
    int wait_foreground()
    {
        pollfd end = {static_cast<int>(syscall(SYS_pidfd_open, pid, 0)), POLLIN, 0};
        bool hung = end.fd >= 0 && poll(&end, 1, static_cast<int>(hang_seconds() * 1000)) == 0;
        close(end.fd);
        if (hung)
            kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return !hung && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string dir, mnt, refused;
    pid_t pid = -1;  // the program started in the foreground
};

#define MOUNT_OR_SKIP(...)                                              \
    do {                                                                \
        if (!mount(__VA_ARGS__))                                        \
            GTEST_SKIP() << "the host refused the mount: " << refused; \
    } while (0)

// The peak memory of a running program, in KiB, from /proc; 0 where the host has none.
long peak_kib(pid_t p)
{
    std::ifstream in("/proc/" + std::to_string(p) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

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

// What a walk of one damaged image must meet: the tree the image builder wrote, and the one node
// damaged in it with what the calls on it give.
struct Walk {
    std::string name{};
    std::function<imgb::Result(const std::string&)> write{};
    std::vector<Node> tree{};  // the root's children
    std::string x{};           // the damaged node's path
    bool stat_fails = false;   // its inode cannot be used
    bool read_fails = false;   // a file's reads fail after a part of `bytes`; a directory's listing
                               // after `listed` children, whose lookups fail too
    std::string bytes{};       // a file's: what its reads deliver
    size_t listed = SIZE_MAX;  // a directory's: children listed
    std::set<std::string> lost{};  // a directory's: children in its damaged blocks, left out of the listing
    std::string salvage{};         // a directory's: what its listing says of the damage it passed over
};

// Writes an image of one partition holding the tree.
std::function<imgb::Result(const std::string&)> writer(const std::vector<Node>& tree)
{
    return [tree](const std::string& path) { return imgb::write_image(imgb::simple_disk(tree), path); };
}

std::vector<Walk> walks()
{
    std::vector<Walk> w;
    for (const NodeCase& c : kNodeCases) {
        std::vector<Node> tree = damage_tree(c);
        const Node& x = *std::find_if(tree.begin(), tree.end(), [&](const Node& n) { return n.name[0] == c.target; });
        std::string padded = x.data;
        padded.resize((padded.size() + 511) / 512 * 512, '\0');
        bool whole = c.listed == kAll || (c.listed == kNone && !c.read_error);
        w.push_back({.name = c.name, .write = writer(tree), .tree = tree, .x = "/" + x.name,
                     .stat_fails = !c.inode_error.empty() || c.size.value_or(0) < 0, .read_fails = c.read_error,
                     .bytes = c.bytes == kAll ? x.data : padded.substr(0, static_cast<size_t>(c.bytes)),
                     .listed = whole ? x.children.size() : static_cast<size_t>(std::max(c.listed - 2, 0))});
        // A listing salvages a damaged directory as the tree walks do: every entry of the blocks it
        // can trust, and then EIO.
        if (!c.salvage.empty()) {
            Walk& d = w.back();
            d.read_fails = true;
            d.listed = SIZE_MAX;
            d.salvage = c.salvage;
            for (int i : c.lost)
                for (size_t k = 0; k < x.children.size(); ++k)
                    if (i == kAll || static_cast<size_t>(i) == k)
                        d.lost.insert(x.children[k].name);
        }
    }
    for (const CutCase& c : cut_cases()) {
        const std::vector<Node>& tree = c.disk.partitions[0].fs->root.children;
        auto x = std::find_if(tree.begin(), tree.end(), [&](const Node& n) { return "/" + n.name == c.path; });
        w.push_back({.name = c.name, .write = [c](const std::string& p) { return write_cut_image(c, p); }, .tree = tree,
                     .x = c.path, .stat_fails = c.extent < 0, .read_fails = c.extent >= 0, .bytes = x->data});
    }
    Node loop;
    loop.name = "loop";
    loop.link_to = 2;  // the root
    w.push_back({.name = "a directory inside itself", .write = writer({imgb::file("ok", "ok\n"), loop}),
                 .tree = {imgb::file("ok", "ok\n"), loop}});
    // Two extents of two blocks, two entries a block; the last block has no directory magic.
    Node cut = imgb::dir("x", {});
    for (const char* name : {"a", "b", "c", "d", "e", "f"})
        cut.children.push_back(imgb::file(name, std::string(name) + "\n"));
    cut.dir_entries_per_block = 2;
    cut.extent_blocks = 2;
    cut.damage.bad_dir_magic_blocks = {3};
    w.push_back({.name = "a bad block in a directory's last extent", .write = writer({cut}), .tree = {cut}, .x = "/x",
                 .read_fails = true, .listed = 4, .salvage = "block 3: Bad magic number"});
    return w;
}

// What find and cat show of the mount, from the tree: find's lines ("TYPE INODE PATH") and
// errors, and each file read by path with the bytes it must give (all of them, or, failing, a
// part from their start).
struct Seen {
    std::vector<std::string> found, find_errors;
    std::vector<std::string> files, bytes;
    std::string cat_errors;
};

void expect_seen(const Walk& w, imgb::Result& r, const std::vector<Node>& kids, const std::string& at, size_t listed, Seen& s)
{
    const std::string eio = ": Input/output error\n";
    for (size_t i = 0; i < kids.size(); ++i) {
        const Node& n = kids[i];
        std::string p = at + "/" + n.name;
        bool damaged = p == w.x, visible = i < listed && !(at == w.x && w.lost.count(n.name));
        bool usable = visible && !(damaged && w.stat_fails);
        if (n.link_to != 0) {  // find knows the root by its inode number
            s.find_errors.push_back("find: File system loop detected; '." + p + "' is part of the same file system loop as '.'.\n");
            continue;
        }
        if (usable)
            s.found.push_back(std::string(n.kind == Kind::dir ? "d " : "f ") + std::to_string(r.nodes["7:" + p].inode) + " ." + p + "\n");
        else if (visible)
            s.find_errors.push_back("find: '." + p + "'" + eio);
        if (n.kind == Kind::dir) {
            if (usable && damaged && w.read_fails)
                s.find_errors.push_back("find: '." + p + "'" + eio);
            expect_seen(w, r, n.children, p, !usable ? 0 : damaged ? w.listed : SIZE_MAX, s);
            continue;
        }
        s.files.push_back("." + p);
        s.bytes.push_back(!usable ? "" : damaged ? w.bytes : n.data);
        if (!usable || (damaged && w.read_fails))
            s.cat_errors += "cat: ." + p + eio;
    }
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end + 1 - at));
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Every damaged image of the corruption suite mounted in turn: each file read by path before and
// after find walks the tree (a name reads the same whether its directory was listed first or
// not), and every call that meets damage, and only those, fails with EIO.
TEST_F(Mount, DamagedImagesFailOnlyTheCallsThatMeetIt)
{
    for (const Walk& w : walks()) {
        SCOPED_TRACE(w.name);
        imgb::Result r = w.write(dir + "/disk.img");
        ASSERT_TRUE(r.ok) << r.error;
        if (!start_foreground({"-p", "7", "disk.img", "mnt"}))
            GTEST_SKIP() << "the host refused the mount: " << refused;
        Seen want;
        want.found.push_back("d 2 .\n");
        expect_seen(w, r, w.tree, "", SIZE_MAX, want);
        std::sort(want.found.begin(), want.found.end());
        std::sort(want.find_errors.begin(), want.find_errors.end());
        std::string cat = "i=0; for f in";
        for (const std::string& f : want.files)
            cat += " " + f;
        EXPECT_NE(sh("cd " + mnt + " && export LC_ALL=C && walk() { " + cat + "; do i=$((i+1)); cat $f >" + dir +
                     "/$1$i; done 2>" + dir + "/$1; } && walk a; find . -printf \"%y %i %p\\n\" >" + dir +
                     "/found 2>" + dir + "/errors; walk b"),
                  124);
        EXPECT_EQ(lines_of(read_file(dir + "/found")), want.found);
        EXPECT_EQ(lines_of(read_file(dir + "/errors")), want.find_errors);
        for (const char* pass : {"a", "b"}) {
            EXPECT_EQ(read_file(dir + "/" + pass), want.cat_errors) << pass;
            for (size_t i = 0; i < want.files.size(); ++i) {
                std::string got = read_file(dir + "/" + pass + std::to_string(i + 1));
                bool part = want.cat_errors.find(want.files[i] + ":") != std::string::npos;
                EXPECT_TRUE(part ? want.bytes[i].compare(0, got.size(), got) == 0 : got == want.bytes[i])
                    << pass << " " << want.files[i] << ": " << got.size() << " bytes";
            }
        }
        struct stat st;
        EXPECT_EQ(lstat(mnt.c_str(), &st), 0) << "the mount no longer answers";
        EXPECT_EQ(st.st_ino, 2u);
        EXPECT_LT(peak_kib(pid), kPeakLimitKiB) << "KiB at the peak";
        unmount();
        EXPECT_EQ(wait_foreground(), 0);
        std::string said = "efsh-mount: directory inode " + std::to_string(r.nodes["7:" + w.x].inode) + ": ";
        EXPECT_EQ(read_file(dir + "/err"), w.salvage.empty() ? "" : said + w.salvage + "\n");
    }
}

TEST_F(Mount, StartFailuresSayWhyAndExitNonZero)
{
    build(imgb::simple_disk({}));
    std::string img = dir + "/disk.img";
    struct start_case {
        std::vector<std::string> args;
        std::string err;
    };
    std::vector<start_case> cases = {
        {{dir + "/none.img", mnt}, "efsh-mount: open disk: No such file or directory\n"},
        {{"-p", "3", img, mnt}, "efsh-mount: mount fs: Empty partition\n"},
        {{"-p", "16", img, mnt}, "efsh-mount: invalid partition (16)\nefsh-mount: mount fs: Bad partition\n"},
        {{img, dir + "/nowhere"}, "efsh-mount: " + dir + "/nowhere: No such file or directory\n"},
        {{img}, "Use: efsh-mount [-hdf] [-p part] [-o option,...] image mountpoint\n"},
    };
    // Every image the corruption suite cannot mount: efsh's own message, after the program's name.
    for (const StartCase& c : kStartCases) {
        std::string name = std::to_string(cases.size()) + ".img";
        build(start_disk(c), name);
        cases.push_back({{"-p", "7", dir + "/" + name, mnt}, "efsh-mount: " + start_err(c, dir + "/" + name)});
    }
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

Node numbered(Node n, uint32_t ino)
{
    n.inode = ino;
    return n;
}

Node second_name(const std::string& name, uint32_t ino)
{
    Node n;
    n.kind = Kind::dir;
    n.name = name;
    n.link_to = ino;
    return n;
}

// Crafted images the mount must show as they are, or say it cannot: each path's lstat (an inode
// number, or an errno value), each file's bytes and link's target, each directory's listing, all
// asked for on a fresh mount and again after `ls -lR` has listed everything; what find meets;
// what is said on standard error; and the program's peak memory.
struct Crafted {
    std::string name;
    std::vector<Node> tree;
    struct probe {
        std::string path;
        int err;             // of lstat, readlink or the read
        uint32_t ino;        // when err is 0
        std::string bytes{};  // a file's bytes, a link's target
    };
    std::vector<probe> probes;
    std::vector<std::pair<std::string, std::string>> listings;  // a directory, its "INODE NAME" lines in order
    size_t find_lines;
    std::string reports;
    std::function<void(const std::string& image, imgb::Result& layout)> patch{};  // damage written after the build
};

constexpr int64_t kCraftedFirstBlock = 64;

// Every empty extent of `node` made to name the blocks of its first extent again, each at the
// offset that keeps the extents in order, so that nothing but their number gives them away; and
// the superblock made to claim nearly 2^31 blocks.
void repeat_first_extent(const std::string& image, imgb::Result& layout, const std::string& node)
{
    const imgb::NodeInfo& info = layout.nodes["7:" + node];
    ASSERT_FALSE(info.indirect.empty());
    const uint32_t block = info.extents[0].block, length = info.extents[0].length;
    uint32_t logical = 0;
    for (const imgb::ExtentInfo& ind : info.indirect) {
        std::vector<uint8_t> bytes(size_t{ind.length} * 512);
        for (size_t k = 0; k < bytes.size() / 8 && logical < info.extents.size(); ++k, ++logical) {
            const imgb::ExtentInfo& e = info.extents[logical];
            bool again = logical > 0 && e.length == 0;
            uint32_t b = again ? block : e.block, n = again ? length : e.length, o = again ? logical * length : e.offset;
            uint8_t* x = &bytes[k * 8];
            x[0] = 0, x[1] = uint8_t(b >> 16), x[2] = uint8_t(b >> 8), x[3] = uint8_t(b);
            x[4] = uint8_t(n), x[5] = uint8_t(o >> 16), x[6] = uint8_t(o >> 8), x[7] = uint8_t(o);
        }
        ASSERT_TRUE(imgb::patch(image, (kCraftedFirstBlock + int64_t{ind.block}) * 512, bytes));
    }
    std::string sb = read_file(image).substr(static_cast<size_t>(kCraftedFirstBlock + 1) * 512, 512);
    std::vector<uint8_t> raw(sb.begin(), sb.end());
    raw[0] = 0x7F, raw[1] = 0xFF, raw[2] = 0xFF, raw[3] = 0xF0;
    uint32_t sum = imgb::superblock_checksum(raw.data());
    for (int i = 0; i < 4; ++i)
        raw[88 + i] = static_cast<uint8_t>(sum >> (24 - 8 * i));
    ASSERT_TRUE(imgb::patch(image, (kCraftedFirstBlock + 1) * 512, raw));
}

std::vector<Crafted> crafted()
{
    std::vector<Crafted> cases;
    // 40 directories, each naming the next twice: a walk that followed both names would meet 2^40.
    constexpr uint32_t kChain = 40, kFirst = 100;
    Node chain = numbered(imgb::dir("x", {imgb::file("leaf", "end\n")}), kFirst + kChain - 1);
    for (uint32_t i = kChain - 1; i-- > 0;)
        chain = numbered(imgb::dir("x", {chain, second_name("y", kFirst + i + 1)}), kFirst + i);
    chain.name = "D0";
    std::string deep = "/D0", reports;
    for (uint32_t i = 0; i + 1 < kChain; ++i) {
        deep += "/x";
        reports += "efsh-mount: directory inode " + std::to_string(kFirst + i) + ": entry \"y\" is a second name of a directory, left out\n";
    }
    cases.push_back({"a chain of diamonds", {chain},
                     {{"/D0/y", ENOENT, 0}, {"/D0/x/x/y", ENOENT, 0}, {deep, 0, kFirst + kChain - 1},
                      {deep + "/leaf", 0, 3, "end\n"}},
                     {{"/D0", "101 x"}, {deep.substr(0, deep.size() - 2), std::to_string(kFirst + kChain - 1) + " x"}},
                     kChain + 2, reports});

    // Two entries of each name: the first is the one shown, looked up and read.
    cases.push_back({"two entries of one name",
                     {numbered(imgb::file("dup", "first\n"), 20), numbered(imgb::file("dup", "second\n"), 21),
                      numbered(imgb::dir("d", {imgb::file("in", "in\n")}), 30), numbered(imgb::dir("d", {}), 31),
                      second_name("again", 30)},
                     {{"/dup", 0, 20, "first\n"}, {"/d", 0, 30}, {"/d/in", 0, 3, "in\n"}, {"/again", ENOENT, 0}},
                     {{"", "20 dup\n30 d"}},
                     4,
                     "efsh-mount: directory inode 2: entry \"dup\" is a second entry of that name, left out\n"
                     "efsh-mount: directory inode 2: entry \"d\" is a second entry of that name, left out\n"
                     "efsh-mount: directory inode 2: entry \"again\" is a second name of a directory, left out\n"});

    // Device numbers wider than the kernel's (a 12-bit major), and a link target holding a NUL.
    Node blk = numbered(imgb::device(Kind::blockdev, "blk", 4104u << 18), 40);
    Node chr = numbered(imgb::device(Kind::chardev, "chr", (4097u << 18) | 3u), 41);
    Node fits = numbered(imgb::device(Kind::chardev, "fits", (4095u << 18) | 0xFFFFFu), 42);
    blk.rdev_wide = chr.rdev_wide = fits.rdev_wide = true;
    cases.push_back({"what the host cannot show",
                     {blk, chr, fits, numbered(imgb::symlink("nul", std::string("ab\0cd", 5)), 43),
                      numbered(imgb::symlink("ok", "fits"), 44)},
                     {{"/blk", EIO, 0}, {"/chr", EIO, 0}, {"/fits", 0, 42}, {"/nul", EIO, 43}, {"/ok", 0, 44, "fits"}},
                     {{"", "40 blk\n41 chr\n42 fits\n43 nul\n44 ok"}},
                     8,  // find says that it cannot stat the devices, and names them
                     "efsh-mount: inode 40: device 4104,0 has a number the host cannot carry, shown as an input/output error\n"
                     "efsh-mount: inode 41: device 4097,3 has a number the host cannot carry, shown as an input/output error\n"
                     "efsh-mount: inode 43: link target holds a NUL byte, shown as an input/output error\n"});

    // A directory whose ".." names a file: it is shown in the directory of lowest inode number that
    // names it, whichever name the kernel asks for first.
    cases.push_back({"a directory whose \"..\" names no directory",
                     {numbered(imgb::dir("b", {numbered(imgb::dir("c", {imgb::file("in", "in\n")}), 30)}), 20),
                      numbered(imgb::dir("a", {second_name("alias", 30)}), 10), numbered(imgb::file("f", "f\n"), 40)},
                     {{"/b/c", ENOENT, 0}, {"/a/alias", 0, 30}, {"/a/alias/in", 0, 3, "in\n"}},
                     {{"/a", "30 alias"}, {"/b", ""}},
                     6,
                     "efsh-mount: directory inode 20: entry \"c\" is a second name of a directory, left out\n",
                     [](const std::string& image, imgb::Result&) {
                         // The entry: its inode number, its name's length, its name.
                         std::string bytes = read_file(image);
                         size_t at = bytes.find(std::string("\0\0\0\x14\x02..", 7));
                         ASSERT_NE(at, std::string::npos);
                         ASSERT_TRUE(imgb::patch(image, static_cast<int64_t>(at), {0, 0, 0, 40}));
                     }});

    // 200 entries of 255-byte names, one a block, in 32767 extents that all name the same blocks,
    // under a superblock claiming 2^31 blocks: 6.5 million entries, 1.7 GB of names, for a walk
    // that reads every extent. Each block is read once; the extents that read them again are damage.
    std::vector<Node> names;
    for (int i = 0; i < 200; ++i)
        names.push_back(imgb::file(std::string(250, 'n') + std::to_string(10000 + i), "x"));
    Node bomb = imgb::dir("d", names);
    bomb.dir_entries_per_block = 1;
    bomb.extent_blocks = 248;
    bomb.extents = 1;
    bomb.zero_length_at.assign(32766, 1);
    cases.push_back({"extents naming the same blocks 32767 times", {bomb},
                     {{"/d/" + std::string(250, 'n') + "10199", 0, 203, "x"}},
                     {},
                     203,  // the directory's listing ends in an error after its 200 entries
                     "efsh-mount: directory inode 3: block 202: Read error, 32766 damaged in all\n",
                     [](const std::string& image, imgb::Result& layout) { repeat_first_extent(image, layout, "/d"); }});
    return cases;
}

// The inode numbers and names of a directory's listing, "." and ".." aside, one a line.
std::string listed(const std::string& path)
{
    std::string out;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                out += (out.empty() ? "" : "\n") + std::to_string(e->d_ino) + " " + e->d_name;
        closedir(d);
    }
    return out;
}

void expect_probe(const std::string& mnt, const Crafted::probe& p)
{
    SCOPED_TRACE(p.path);
    std::string path = mnt + p.path;
    struct stat st;
    errno = 0;
    int rc = lstat(path.c_str(), &st);
    if (p.err != 0 && p.ino == 0) {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(errno, p.err) << std::strerror(errno);
        return;
    }
    ASSERT_EQ(rc, 0) << std::strerror(errno);
    EXPECT_EQ(st.st_ino, p.ino);
    if (S_ISLNK(st.st_mode)) {
        char target[64];
        errno = 0;
        ssize_t got = readlink(path.c_str(), target, sizeof target);
        EXPECT_EQ(got < 0 ? errno : 0, p.err);
        if (got >= 0) {
            EXPECT_EQ(std::string(target, static_cast<size_t>(got)), p.bytes);
        }
    } else if (S_ISREG(st.st_mode)) {
        EXPECT_EQ(read_file(path), p.bytes);
    }
}

TEST_F(Mount, CraftedImagesShowEachNameOnceOrSayWhyNot)
{
    for (const Crafted& c : crafted()) {
        SCOPED_TRACE(c.name);
        imgb::Disk disk = imgb::simple_disk(c.tree);
        disk.partitions[0].first_block = kCraftedFirstBlock;
        imgb::Result layout = build(disk);
        if (c.patch)
            c.patch(dir + "/disk.img", layout);
        if (!start_foreground({"-p", "7", "disk.img", "mnt"}))
            GTEST_SKIP() << "the host refused the mount: " << refused;
        // Asked for by path first, as on a fresh mount, then again once listings made the entries.
        for (const Crafted::probe& p : c.probes)
            expect_probe(mnt, p);
        for (const auto& [path, lines] : c.listings)
            EXPECT_EQ(listed(mnt + path), lines) << path;
        EXPECT_NE(sh("ls -lR " + mnt + " >/dev/null 2>&1; find " + mnt + " >" + dir + "/found 2>&1"), 124);
        EXPECT_EQ(lines_of(read_file(dir + "/found")).size(), c.find_lines) << read_file(dir + "/found");
        for (const Crafted::probe& p : c.probes)
            expect_probe(mnt, p);
        long peak = peak_kib(pid);
        EXPECT_LT(peak, kPeakLimitKiB) << "KiB at the peak";
        unmount();
        EXPECT_EQ(wait_foreground(), 0);
        // Said once each, in the order the kernel happened to ask.
        EXPECT_EQ(lines_of(read_file(dir + "/err")), lines_of(c.reports));
    }
}

// What a walk of the mount takes below root/rel, as host_tree gives a copy ("path/", "path:size"),
// each file read whole; the directories whose listing ended in EIO go to failed.
void mount_tree(const std::string& root, const std::string& rel, std::vector<std::string>& out, std::set<std::string>& failed)
{
    out.push_back(rel + "/");
    DIR* d = opendir((root + "/" + rel).c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    errno = 0;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
        errno = 0;
    }
    if (errno == EIO)
        failed.insert(rel);
    closedir(d);
    for (const std::string& n : names) {
        std::string path = rel + "/" + n;
        struct stat st;
        if (lstat((root + "/" + path).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            mount_tree(root, path, out, failed);
        else
            out.push_back(path + ":" + std::to_string(S_ISREG(st.st_mode) ? read_file(root + "/" + path).size() : 0));
    }
}

// The directories that cp -r and tar salvage: the mount lists every entry they take, each read
// whole, ends the listing in EIO where they report damage, and says the damage as they do.
TEST_F(Mount, SalvagedDirectoriesListWhatTheWalksTake)
{
    for (const SalvageImage& c : salvage_images()) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.write(dir + "/disk.img"));
        if (!start_foreground({"-p", "7", "disk.img", "mnt"}))
            GTEST_SKIP() << "the host refused the mount: " << refused;
        std::vector<std::string> tree;
        std::set<std::string> failed;
        mount_tree(mnt, c.top.substr(1), tree, failed);
        std::sort(tree.begin(), tree.end());
        EXPECT_EQ(tree, c.salvaged);
        EXPECT_EQ(failed, c.report.empty() ? std::set<std::string>{} : std::set<std::string>{c.top.substr(1)});
        EXPECT_LT(peak_kib(pid), kPeakLimitKiB) << "KiB at the peak";
        unmount();
        EXPECT_EQ(wait_foreground(), 0);
        // The walks name the directory by its path, the mount by its inode number; besides, it
        // says which entries it leaves out (the bomb's one name, given 48,608 times).
        std::string said, prefix = "efsh-mount: directory inode ";
        for (const std::string& line : lines_of(read_file(dir + "/err")))
            if (line.size() < 11 || line.compare(line.size() - 11, 11, ", left out\n") != 0)
                said += line;
        size_t number_end = said.find(':', prefix.size());
        if (c.report.empty()) {
            EXPECT_EQ(said, "");
        } else {
            ASSERT_EQ(said.rfind(prefix, 0), 0u) << said;
            ASSERT_NE(number_end, std::string::npos) << said;
            EXPECT_EQ(said.substr(number_end), c.report.substr(c.top.size())) << said;
        }
    }
}

// In the foreground the mount stays until Ctrl-C, which unmounts it (a mount point given relative
// to where the program started included) and ends it with status 0; names that cannot be host
// names, and entries naming inode 0, are reported once, however often the directory is listed.
TEST_F(Mount, ForegroundReportsLeftOutNamesOnceAndCtrlCUnmounts)
{
    build(imgb::simple_disk({imgb::file("a/b", "x"), imgb::file("ok", "y"), imgb::file("zero-entry", "z")}));
    // The entry's inode number is the four bytes before its name's length.
    std::string img = read_file(dir + "/disk.img");
    size_t at = img.find("\x0Azero-entry");
    ASSERT_NE(at, std::string::npos);
    img.replace(at - 4, 4, std::string(4, '\0'));
    write_file(dir + "/disk.img", img);
    if (!start_foreground({"disk.img", "mnt"}))
        GTEST_SKIP() << "the host refused the mount: " << refused;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(sh("ls -a " + mnt + " >/dev/null"), 0);
    EXPECT_EQ(sh("ls " + mnt + " >/dev/null"), 0);
    kill(pid, SIGINT);
    EXPECT_EQ(wait_foreground(), 0);
    EXPECT_FALSE(is_mounted(mnt));
    EXPECT_EQ(read_file(dir + "/err"), "efsh-mount: directory inode 2: entry \"a/b\" cannot be a host name, left out\n"
                                       "efsh-mount: directory inode 2: entry \"zero-entry\" names no inode, left out\n");
}

#endif

}  // namespace
