// End-to-end: cp writes only files it makes, only inside its target, and never the image it reads,
// whatever the target already holds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "image_session.h"

namespace {

namespace fs = std::filesystem;
using imgb::dir;
using imgb::file;

class HostSafety : public ImageSession {
protected:
    run_result run(const std::string& input, const std::string& cwd = "")
    {
        run_options o = opt;
        o.cwd = cwd.empty() ? dir_ : cwd;
        o.timeout_seconds = hang_seconds();
        return run_efsh({"-p", "7", img}, input, o);
    }
};

// Everything below a host directory, links not followed: kind, bytes or link text, mode, mtime.
std::map<std::string, std::string> snapshot(const std::string& root)
{
    std::map<std::string, std::string> all;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        struct stat st;
        std::string p = it->path().string();
        EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
        std::string what = fmt("%o %lld ", unsigned(st.st_mode), static_cast<long long>(st.st_mtim.tv_sec));
        if (S_ISREG(st.st_mode))
            what += read_file(p);
        else if (S_ISLNK(st.st_mode))
            what += fs::read_symlink(p).string();
        all[p.substr(root.size())] = what;
    }
    return all;
}

// Links, pipes and devices already in the target are never written through, opened or followed:
// each gets the ordinary "not copied" line, the run ends, and nothing outside the target changes.
TEST_F(HostSafety, LinksPipesAndDevicesInTheTargetAreNeverFollowed)
{
    imgb::Node guest = dir("guest", {file("g", "g")}, 0777);
    guest.mtime = 100000000;
    imgb::Node motd = file("motd", "new motd", 0666);
    motd.mtime = 200000000;
    build({dir("etc", {motd, file("dangling", "d"), file("fifo", "f"), file("dev", "x"), guest, file("ok", "ok")})});
    const std::string out = dir_ + "/outside", T = dir_ + "/T";
    fs::create_directories(out + "/dir");
    write_file(out + "/victim", "keep me");
    chmod((out + "/victim").c_str(), 0600);
    chmod((out + "/dir").c_str(), 0700);
    fs::create_directories(T + "/etc");
    fs::create_symlink(out + "/victim", T + "/etc/motd");
    fs::create_symlink(out + "/created", T + "/etc/dangling");
    fs::create_directory_symlink(out + "/dir", T + "/etc/guest");
    ASSERT_EQ(mkfifo((T + "/etc/fifo").c_str(), 0644), 0);
    std::string dev_line;
    if (geteuid() == 0 && mknod((T + "/etc/dev").c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0)
        dev_line = "//etc/dev not copied\n";
    else
        write_file(T + "/etc/dev", "old");
    auto outside = snapshot(out);
    run_result r = run("cp -r etc T\ncp -rp etc T\ncp -rp etc/guest T/etc\n");
    EXPECT_FALSE(r.timed_out);
    std::string once = "//etc/motd not copied\n//etc/dangling not copied\n//etc/fifo not copied\n" + dev_line +
                       "//etc/guest not copied\n";
    EXPECT_EQ(r.err, once + once + "etc/guest not copied\n");
    EXPECT_EQ(snapshot(out), outside);
    EXPECT_FALSE(fs::exists(out + "/created"));
    EXPECT_EQ(read_file(T + "/etc/ok"), "ok");
    EXPECT_TRUE(fs::is_symlink(T + "/etc/motd"));
}

// The image is never written, created or cut, whatever name leads to it: itself, a hard link, a
// symbolic link, or an entry of a tree copy that lands on it. The copy goes on with the next entry.
TEST_F(HostSafety, TheImageIsNeverTheTargetOfACopy)
{
    build({file("unix", "kernel"), file("disk.img", "a file of the image's name"), file("after", "after"),
           dir("d", {file("hard", "h"), file("sym", "s"), file("z", "z")})});
    const std::string before = read_file(img);
    ASSERT_EQ(link(img.c_str(), (dir_ + "/hard.img").c_str()), 0);
    fs::create_symlink(img, dir_ + "/sym.img");
    fs::create_directories(dir_ + "/T/d");
    ASSERT_EQ(link(img.c_str(), (dir_ + "/T/d/hard").c_str()), 0);
    fs::create_symlink(img, dir_ + "/T/d/sym");
    run_result r = run("cp unix disk.img\ncp unix hard.img\ncp unix sym.img\ncp -r / .\ncp -r d T\n");
    EXPECT_EQ(r.err, "disk.img: the image being read is never written\n"
                     "hard.img: the image being read is never written\n"
                     "sym.img: the image being read is never written\n"
                     "disk.img: the image being read is never written\n"
                     "hard: the image being read is never written\n"
                     "//d/sym not copied\n");
    EXPECT_TRUE(read_file(img) == before);
    EXPECT_EQ(read_file(dir_ + "/after"), "after");
    EXPECT_EQ(read_file(dir_ + "/T/d/z"), "z");
}

// A host hard link in the target that leads to a file this run wrote in a directory above is
// not copied over it; a report made before anything else was written keeps its reason whatever
// stderr is; and cp -r works from a working directory whose path is longer than any fixed buffer.
TEST_F(HostSafety, WrittenFilesAboveReasonsAndDeepWorkingDirectories)
{
    build({dir("top", {file("a", "A"), dir("b", {file("x", "X")})}), file("f", "f")});
    fs::create_directories(dir_ + "/T/top/b");
    write_file(dir_ + "/T/top/a", "old");
    ASSERT_EQ(link((dir_ + "/T/top/a").c_str(), (dir_ + "/T/top/b/x").c_str()), 0);
    run_result r = run("cp f T\ncp -r top T\n");
    EXPECT_EQ(r.err, "fopen: Is a directory\ncp: Is a directory\n/top/b/x not copied\n");
    EXPECT_EQ(read_file(dir_ + "/T/top/a"), "A");

    std::string deep = dir_;
    while (deep.size() < 1200)
        deep += "/" + std::string(60, 'd');
    fs::create_directories(deep);
    r = run("cp -r top .\ncp f g\n", deep);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(deep + "/top/b/x"), "X");
    EXPECT_EQ(read_file(deep + "/g"), "f");
}

// Loop devices attached for one test (and file systems mounted from them), detached again however
// the test ends.
struct loop_devices {
    std::vector<std::string> attached, mounted;
    ~loop_devices() { release(); }
    void release()
    {
        for (const std::string& m : mounted)
            (void)std::system(("umount " + m + " 2>/dev/null").c_str());
        for (const std::string& d : attached)
            (void)std::system(("losetup -d " + d + " 2>/dev/null").c_str());
        mounted.clear();
        attached.clear();
    }
    // The device losetup attached to file with its options, or an empty text.
    std::string attach(const std::string& options, const std::string& file)
    {
        std::string dev;
        if (FILE* p = popen(("losetup -f --show " + options + " " + file + " 2>/dev/null").c_str(), "r")) {
            char buf[256];
            while (std::fgets(buf, sizeof buf, p))
                dev += buf;
            pclose(p);
        }
        while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' '))
            dev.pop_back();
        if (!dev.empty())
            attached.push_back(dev);
        return dev;
    }
};

// One image behind other host names: what efsh reads, what it is told to write there, and whether
// that shares the image's storage.
struct storage_case {
    std::string reading, writing;
    bool refused;
};

class ImageBehindDevices : public HostSafety {
protected:
    void SetUp() override
    {
        HostSafety::SetUp();
        if (efsh_under_wine())
            GTEST_SKIP() << "loop devices are Linux's";
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to attach loop devices";
        if (std::system("command -v losetup >/dev/null") != 0)
            GTEST_SKIP() << "losetup is missing";
        build({file("unix", "kernel"), dir("d", {file("e", "e")})});
        image = read_file(img);
    }
    void TearDown() override
    {
        loops.release();  // before the scratch directory, which holds the mount point and files
        HostSafety::TearDown();
    }
    // tar and cp onto each target in turn: refused with the one line each, or written.
    void check(const std::vector<storage_case>& cases)
    {
        for (const storage_case& c : cases) {
            run_options o = opt;
            o.timeout_seconds = hang_seconds();
            bool there = fs::exists(c.writing);
            run_result r = run_efsh({"-p", "7", c.reading}, "tar / " + c.writing + "\ncp unix " + c.writing + "\n", o);
            std::string line = c.writing + ": the image being read is never written\n";
            EXPECT_EQ(r.err, c.refused ? line + line : "") << c.reading << " writing " << c.writing;
            EXPECT_EQ(fs::exists(c.writing), there || !c.refused) << c.writing;
            if (!c.refused) {
                EXPECT_EQ(read_file(c.writing).substr(0, 6), "kernel") << c.writing;
            }
        }
    }
    std::string image;
    loop_devices loops;
};

// A loop device over a copy of the image, either way round; and a file system made in the copy's
// last megabytes, past the image's own bytes, into which nothing is written, not even a new name
// or a directory.
TEST_F(ImageBehindDevices, ALoopDeviceAndItsBackingFileAreOneImage)
{
    const std::string copy = dir_ + "/copy.img", mnt = dir_ + "/mnt";
    const size_t room = size_t{4} << 20;
    write_file(copy, image + std::string(room, '\0'));
    std::string loop = loops.attach("", copy);
    if (loop.empty())
        GTEST_SKIP() << "no loop device could be attached here";
    std::vector<storage_case> cases = {{copy, loop, true}, {loop, copy, true}};
    std::string tail = loops.attach(fmt("-o %zu", image.size()), copy);
    fs::create_directory(mnt);
    if (!tail.empty() && std::system(("mkfs.ext4 -q " + tail + " >/dev/null 2>&1 && mount " + tail + " " + mnt).c_str()) == 0) {
        loops.mounted.push_back(mnt);
        cases.push_back({copy, mnt + "/new", true});
        cases.push_back({loop, mnt + "/new", true});
    }
    check(cases);
    if (!loops.mounted.empty()) {
        run_options o = opt;
        o.timeout_seconds = hang_seconds();
        EXPECT_EQ(run_efsh({"-p", "7", copy}, "cp -r d " + mnt + "\n", o).err, "d: Read-only file system\n");
        EXPECT_EQ(host_tree(mnt), std::vector<std::string>{"lost+found/"});
        // A directory there already is entered, but neither filled nor given the image's mode and times.
        struct stat before, after;
        ASSERT_EQ(mkdir((mnt + "/d").c_str(), 0700), 0);
        ASSERT_EQ(stat((mnt + "/d").c_str(), &before), 0);
        EXPECT_EQ(run_efsh({"-p", "7", copy}, "cp -rp d " + mnt + "\n", o).err,
                  "e: the image being read is never written\nd: Read-only file system\n");
        ASSERT_EQ(stat((mnt + "/d").c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_mtime, before.st_mtime);
        EXPECT_EQ(host_tree(mnt), (std::vector<std::string>{"d/", "lost+found/"}));
    }
    EXPECT_TRUE(read_file(copy).substr(0, image.size()) == image);
    EXPECT_TRUE(read_file(loop).substr(0, image.size()) == image);
}

// The image as partition 1 of a disk with a PC partition table, attached with its partitions: the
// disk, its file and another loop device over the image's bytes of that file are refused whichever
// of them is read; partition 2 beside it is written.
TEST_F(ImageBehindDevices, APartitionItsDiskAndItsNeighbours)
{
    ASSERT_EQ(image.size() % 512, 0u);
    const uint32_t first = 2048, sectors = static_cast<uint32_t>(image.size() / 512), second = first + sectors;
    std::string disk(size_t{second + 2048} * 512, '\0');
    auto entry = [&](size_t at, uint32_t start, uint32_t count) {
        disk[at + 4] = '\x83';
        for (int i = 0; i < 4; ++i) {
            disk[at + 8 + i] = static_cast<char>(start >> (8 * i));
            disk[at + 12 + i] = static_cast<char>(count >> (8 * i));
        }
    };
    entry(446, first, sectors);
    entry(462, second, 2048);
    disk[510] = '\x55';
    disk[511] = '\xaa';
    disk.replace(size_t{first} * 512, image.size(), image);
    const std::string file = dir_ + "/disk-with-table.img";
    write_file(file, disk);
    std::string whole = loops.attach("-P", file);
    if (whole.empty())
        GTEST_SKIP() << "no loop device could be attached here";
    // A kernel built without the PC table's reader makes no partitions itself; partx reads the
    // table and adds them.
    const std::string p1 = whole + "p1", p2 = whole + "p2";
    if (!fs::exists(p1) && std::system("command -v partx >/dev/null") == 0)
        (void)std::system(("partx -a " + whole + " 2>/dev/null").c_str());
    if (!fs::exists(p1) || !fs::exists(p2))
        GTEST_SKIP() << "the kernel made no partitions of " << whole;
    std::string slice = loops.attach(fmt("-o %u --sizelimit %zu", first * 512, image.size()), file);
    ASSERT_FALSE(slice.empty());
    check({{p1, whole, true}, {p1, file, true}, {p1, slice, true}, {slice, p1, true}, {slice, whole, true},
           {p1, p2, false}});
    EXPECT_TRUE(read_file(p1) == image);
    EXPECT_TRUE(read_file(file).substr(size_t{first} * 512, image.size()) == image);
}

// A regular file of more than one name where a copy writes is given a new file under that name,
// never written through: its other names (here outside the target) keep their bytes. So for the
// files of a tree copy, a file copied into a directory, and a target the user named, itself or
// through a symbolic link. (Its own group: it runs against efsh.exe under wine as well.)
using HardLinks = HostSafety;
TEST_F(HardLinks, AFileOfSeveralNamesWhereACopyWritesIsReplacedNotWrittenThrough)
{
    build({dir("d", {file("f", "image f"), file("g", "image g")}), file("unix", "kernel")});
    const std::string out = dir_ + "/outside";
    fs::create_directories(out);
    fs::create_directories(dir_ + "/T/d");
    const struct {
        const char *outside, *name, *bytes;
    } links[] = {{"v1", "T/d/f", "image f"}, {"v2", "T/unix", "kernel"}, {"v3", "named", "kernel"}, {"v4", "T/behind", "kernel"}};
    for (const auto& l : links) {
        write_file(out + "/" + l.outside, "keep me");
        ASSERT_EQ(link((out + "/" + l.outside).c_str(), (dir_ + "/" + l.name).c_str()), 0) << l.name;
    }
    // Wine shows a symbolic link as the file it leads to: there the named target is the name itself.
    bool wine = efsh_under_wine();
    if (!wine)
        fs::create_symlink(dir_ + "/T/behind", dir_ + "/sym");
    auto outside = snapshot(out);
    run_result r = run(std::string("cp -r d T\ncp -r unix T\ncp unix named\ncp unix ") + (wine ? "T/behind\n" : "sym\n"));
    EXPECT_EQ(r.err, "-r makes no sense here\n");
    EXPECT_EQ(snapshot(out), outside);
    for (const auto& l : links)
        EXPECT_EQ(read_file(dir_ + "/" + l.name), l.bytes) << l.name;
    EXPECT_EQ(read_file(dir_ + "/T/d/g"), "image g");
    EXPECT_TRUE(wine || fs::is_symlink(dir_ + "/sym"));
}

}  // namespace
