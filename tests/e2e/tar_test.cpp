// End-to-end: tar's archives as GNU tar, bsdtar and Python's tarfile read them, and its reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "run_efsh.h"
#include "tests/support/image_builder.h"

namespace {

using imgb::dir;
using imgb::file;

// The member lines tests/e2e/tar_members.py prints: names with bytes outside printable ASCII as \xHH.
std::string text(const std::string& name)
{
    std::string out;
    for (unsigned char c : name)
        out += c > 32 && c < 127 && c != '\\' ? std::string(1, char(c)) : fmt("\\x%02x", c);
    return out;
}

std::string fnv(const std::string& data)
{
    uint64_t h = 0xcbf29ce484222325u;
    for (unsigned char c : data)
        h = (h ^ c) * 0x100000001b3u;
    return fmt("%016llx", static_cast<unsigned long long>(h));
}

std::string member(const std::string& name, char kind, unsigned mode, const std::string& data = "", int uid = 0, int gid = 0,
                   int64_t mtime = 0, const std::string& link = "-", const std::string& dev = "0,0")
{
    return text(name) + " " + kind + " " + fmt("%04o", mode) + " " + fmt("%d %d %lld %zu ", uid, gid, (long long)mtime,
                                                                           kind == 'f' ? data.size() : 0) +
           (link == "-" ? link : text(link)) + " " + dev + " " + (kind == 'f' ? fnv(data) : "-") + "\n";
}

// The same lines as a listing shows them, without the data's sums.
std::string without_sums(const std::string& lines)
{
    std::string out;
    for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string l = lines.substr(at, end - at);
        if (l.compare(0, 6, "links ") != 0)
            l = l.substr(0, l.rfind(' ')) + " -";
        out += l + "\n";
    }
    return out;
}

class Tar : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_scratch_dir();
        use_stand_in_less(dir_, opt);
    }
    void TearDown() override { remove_tree(dir_); }
    void build(std::vector<imgb::Node> kids)
    {
        img = dir_ + "/disk.img";
        imgb::Result r = imgb::write_image(imgb::simple_disk(std::move(kids)), img);
        ASSERT_TRUE(r.ok) << r.error;
    }
    run_result run(const std::string& input) { return run_efsh({"-p", "7", img}, input, opt); }
    // The archive's members as a reader sees them (gnu and bsd: after extracting it as root).
    std::string members(const std::string& reader, const std::string& archive)
    {
        static int n = 0;
        return output_of("python3 " EFSH_SOURCE_DIR "/tests/e2e/tar_members.py " + reader + " " + dir_ + "/" + archive + " " +
                         dir_ + "/x" + std::to_string(++n));
    }
    std::string dir_, img;
    run_options opt;
};

// Every kind of entry the image holds, kept as it is, and every entry that cannot be kept named.
TEST_F(Tar, EveryKindOfEntryAsThreeReadersSeeIt)
{
    if (geteuid() != 0 || !have("python3") || !have("tar") || !have("bsdtar"))
        GTEST_SKIP() << "extracting devices and owners takes root, python3, GNU tar and bsdtar";
    std::string big_data = imgb::pattern(300000, 5);
    imgb::Node big = file("big", big_data, 0640);
    big.uid = 1234;
    big.gid = 56;
    big.mtime = 1000000000;
    big.atime = 1100000000;
    big.ctime = 1200000000;
    big.extent_blocks = 16;
    imgb::Node old = file("old", "o");
    old.mtime = -86400;
    imgb::Node short_file = file("short", imgb::pattern(100));
    short_file.damage.raw_size = 5000;
    imgb::Node wide = imgb::device(imgb::Kind::blockdev, "wide", (300u << 18) | 70000, 0660);
    wide.rdev_wide = true;
    imgb::Node shared = file("first", "shared", 0640);
    shared.inode = 500;
    shared.nlink = 2;
    imgb::Node second;
    second.name = "second";
    second.link_to = 500;
    imgb::Node back;  // a cycle: the tree's own top directory again
    back.name = "back";
    back.link_to = 600;
    imgb::Node loop = dir("loop", {back});
    loop.inode = 601;
    imgb::Node again;  // a second name of a directory
    again.name = "again";
    again.link_to = 601;
    std::string long_name(150, 'n'), binary_long(120, '\xff');
    std::string link_text(300, 't');
    imgb::Node top = dir("top", {big, file("suid", "s", 04755), file("sgid", "g", 02711), dir("sticky", {}, 01777), old,
                                 short_file, imgb::symlink("ln", "big"), imgb::symlink("longln", link_text),
                                 imgb::symlink("toolong", std::string(1024, 'u')), imgb::symlink("nul", std::string("a\0b", 3)),
                                 imgb::device(imgb::Kind::chardev, "tty", 0x0501, 0620), wide,
                                 imgb::device(imgb::Kind::fifo, "pipe", 0, 0644), imgb::device(imgb::Kind::socket, "sock", 0),
                                 shared, dir("sub", {second}), dir(std::string(120, 'L'), {file(long_name, "x")}),
                                 file("caf\xc3\xa9", "u"), file("\xff\xfe", "b"), file(binary_long, "z"), file("a/b", "s"),
                                 file("..", "d"), loop, again});
    top.inode = 600;
    build({top});
    const std::string want =
        member("top/", 'd', 0755) + member("top/" + std::string(120, 'L') + "/", 'd', 0755) +
        member("top/" + std::string(120, 'L') + "/" + long_name, 'f', 0644, "x") + member("top/\xff\xfe", 'f', 0644, "b") +
        member("top/" + binary_long, 'f', 0644, "z") +
        member("top/big", 'f', 0640, big_data, 1234, 56, 1000000000) + member("top/caf\xc3\xa9", 'f', 0644, "u") +
        member("top/first", 'f', 0640, "shared") + member("top/ln", 'l', 0777, "", 0, 0, 0, "big") +
        member("top/longln", 'l', 0777, "", 0, 0, 0, link_text) + member("top/loop/", 'd', 0755) +
        member("top/old", 'f', 0644, "o", 0, 0, -86400) + member("top/pipe", 'p', 0644) + member("top/sgid", 'f', 02711, "g") +
        member("top/short", 'f', 0644, imgb::pattern(100) + std::string(4900, '\0')) + member("top/sticky/", 'd', 01777) +
        member("top/sub/", 'd', 0755) + member("top/sub/second", 'f', 0640, "shared") + member("top/suid", 'f', 04755, "s") +
        member("top/tty", 'c', 0620, "", 0, 0, 0, "-", "5,1") + member("top/wide", 'b', 0660, "", 0, 0, 0, "-", "300,70000") + "links top/first top/sub/second\n";
    const std::string reports = "/top/short: Read error\n/top/toolong not archived\n/top/nul not archived\n"
                                "/top/sock not archived\n/top/a/b not archived\n/top/.. not archived\n"
                                "/top/loop/back not archived\n/top/again not archived\n";
    for (const char* archive : {"t.tar", "t.tgz"}) {
        SCOPED_TRACE(archive);
        bool gz = std::string(archive) == "t.tgz";
        if (gz && !EFSH_ZLIB)
            continue;  // a build without zlib refuses -z
        run_result r = run(std::string("tar ") + (gz ? "-z " : "") + "top " + archive + "\n");
        EXPECT_EQ(r.err, reports);
        EXPECT_EQ(r.status, 0);
        for (const char* reader : {"tarfile", "gnu", "bsd"})
            EXPECT_EQ(members(reader, archive), want) << reader;
        EXPECT_EQ(members("gnulist", archive), without_sums(want));
    }
    if (EFSH_ZLIB) {
        EXPECT_EQ(output_of("gzip -dc " + dir_ + "/t.tgz | cmp - " + dir_ + "/t.tar && echo same"), "same\n");
    }
}

// Names in the archive are relative: rooted at the last name of the path, or at the root's entries.
TEST_F(Tar, NamesStartAtTheLastNameOfThePath)
{
    if (!have("python3"))
        GTEST_SKIP() << "the archive is read with Python's tarfile";
    build({dir("usr", {dir("people", {file("ann", "a")})}), file("motd", "m")});
    const struct {
        const char* path;
        const char* names;
    } cases[] = {
        {"/", "usr/\nusr/people/\nusr/people/ann\nmotd\n"},
        {"/usr/people/..", "usr/\nusr/people/\nusr/people/ann\n"},
        {"usr/people/", "people/\npeople/ann\n"},
        {"/usr/..", "usr/\nusr/people/\nusr/people/ann\nmotd\n"},
        {"/usr/people/ann", "ann\n"},
    };
    for (const auto& c : cases) {
        run_result r = run(std::string("tar -v ") + c.path + " n.tar\n");
        EXPECT_EQ(r.err, c.names) << c.path;
        EXPECT_EQ(output_of("python3 -c 'import tarfile,sys; [print(m.name + (\"/\" if m.isdir() else \"\")) for m in "
                            "tarfile.open(sys.argv[1])]' " +
                            dir_ + "/n.tar"),
                  c.names)
            << c.path;
    }
}

// A tree deeper than the library's stream slots, with paths longer than its current directory can
// hold, is archived whole, down to the longest path an archive reader takes.
TEST_F(Tar, DeepTreesAreArchivedDownToTheLongestPath)
{
    auto level = [](int i) { return std::string(99, char('a' + i % 26)); };
    imgb::Node deepest = dir(level(40), {file("g", "too far")});
    imgb::Node d = dir(level(39), {file("f", "deep"), deepest});
    for (int i = 38; i >= 0; --i)
        d = dir(level(i), {d});
    build({d});
    std::string want, path;
    for (int i = 0; i < 40; ++i)
        want += (path += level(i) + "/") + "\n";
    want += path + "f\n/" + path + level(40) + " not archived\n";
    EXPECT_EQ(run("tar -v / deep.tar\n").err, want);
    if (have("python3")) {
        EXPECT_EQ(output_of("python3 -c 'import tarfile,sys; t=tarfile.open(sys.argv[1]); "
                            "print(t.extractfile(sys.argv[2]).read().decode())' " +
                            dir_ + "/deep.tar " + path + "f"),
                  "deep\n");
    }
}

// A directory whose entries end short of its size is named before the entries it gave.
TEST_F(Tar, DirectoriesReadShortAreNamed)
{
    imgb::Node cut = dir("cut", {});
    for (const char* name : {"a", "b", "c", "d", "e", "f"})
        cut.children.push_back(file(name, name));
    cut.dir_entries_per_block = 2;  // ".", ".."; a, b | c, d; e, f: the last extent's second block is bad
    cut.extent_blocks = 2;
    cut.damage.bad_dir_magic_blocks = {3};
    imgb::Node tall = dir("tall", {file("d", "4")});
    tall.damage.raw_size = 5000;
    build({cut, tall});
    EXPECT_EQ(run("tar -v / d.tar\n").err, "cut/\n/cut: block 3: Bad magic number\ncut/a\ncut/b\ncut/c\ncut/d\ntall/\n/tall: block 1: Read error\ntall/d\n");
}

TEST_F(Tar, WrongCallsAndFailedWrites)
{
    build({file("f", "data")});
    std::filesystem::create_directory(dir_ + "/D");
    const struct {
        const char* line;
        const char* err;
    } cases[] = {
        {"tar\n", "Use: tar [-vz] fs-path unix-file\n"},
        {"tar f\n", "Use: tar [-vz] fs-path unix-file\n"},
        {"tar -q f a.tar\n", "tar: illegal option -- q\nUse: tar [-vz] fs-path unix-file\n"},
        {"tar nothing a.tar\n", "nothing: No such file or directory\n"},
        {"tar f D\n", "D: Is a directory\n"},
        {"tar f disk.img\n", "disk.img: the image being read is never written\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run(c.line).err, c.err) << c.line;
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/a.tar"));
    if (!efsh_under_wine() && std::filesystem::exists("/dev/full")) {
        EXPECT_EQ(run("tar / /dev/full\n").err, "/dev/full: No space left on device\n");
        struct stat st;
        EXPECT_TRUE(::stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode));
    }
}

// A disk that fills up leaves no archive that could pass for a whole one.
TEST_F(Tar, FullDiskLeavesNoArchive)
{
    std::string full = dir_ + "/full";
    std::filesystem::create_directory(full);
    if (geteuid() != 0 || std::system(("mount -t tmpfs -o size=64k tmpfs " + full + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "mounting a small tmpfs takes root";
    build({file("big", imgb::pattern(300000))});
    run_result r = run(std::string("tar / full/a.tar\n") + (EFSH_ZLIB ? "tar -z / full/a.tgz\n" : ""));
    EXPECT_EQ(r.err, std::string("full/a.tar: No space left on device\n") + (EFSH_ZLIB ? "full/a.tgz: No space left on device\n" : ""));
    EXPECT_TRUE(std::filesystem::is_empty(full));
    EXPECT_EQ(std::system(("umount " + full).c_str()), 0);
}

}  // namespace
