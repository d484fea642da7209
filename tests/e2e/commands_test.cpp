// End-to-end: ls, more and cp on images from the builder, both output streams compared exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "image_session.h"

namespace {

using imgb::dir;
using imgb::file;

class Commands : public ImageSession {};

TEST_F(Commands, ShortAndLongListings)
{
    imgb::Node f644 = file("plain", std::string(1234, 'p'));
    f644.mtime = 86400 * 365;
    imgb::Node suid = file("suid", "s", 04755);
    suid.uid = 65535;
    suid.gid = 7;
    imgb::Node none = file("none", "", 0);
    none.inode = 70000;
    imgb::Node odd = file("odd", "");
    odd.mode = 0xE123;
    imgb::Result r = build({f644, suid, none, odd, imgb::symlink("link", "plain"),
                            imgb::device(imgb::Kind::chardev, "tty", 0x0501), imgb::device(imgb::Kind::blockdev, "disk", 1),
                            imgb::device(imgb::Kind::fifo, "pipe", 0), imgb::device(imgb::Kind::socket, "sock", 0),
                            dir("sub", {})});
    run_result s = run("ls\nbye\n");
    std::string want = prompts(1);
    for (const char* n : {".", "..", "plain", "suid", "none", "odd", "link", "tty", "disk", "pipe", "sock", "sub"}) {
        uint32_t ino = r.nodes[std::string("7:/") + (std::string(n) == "." || std::string(n) == ".." ? "" : n)].inode;
        want += fmt("%10d %24s\n", int(ino), n);
    }
    EXPECT_EQ(s.out, want + prompts(1));
    EXPECT_EQ(s.err, "");

    run_result l = run("ls -l\nls x /etc\nbye\n");
    EXPECT_EQ(l.out, prompts(3));
    auto line_of = [&](const std::string& name) {
        size_t p = l.err.find(" " + name + "\n");
        size_t b = l.err.rfind('\n', p);
        return l.err.substr(b == std::string::npos ? 0 : b + 1, p + name.size() + 2 - (b == std::string::npos ? 0 : b + 1));
    };
    EXPECT_EQ(line_of("plain"), fmt("- %6d 0644  1 %5d %5d %7d Jan  1 00:00 plain\n", int(r.nodes["7:/plain"].inode), 0, 0, 1234));
    EXPECT_NE(line_of("suid").find(" 4755  1    -1     7       1 "), std::string::npos) << line_of("suid");
    EXPECT_EQ(line_of("none").substr(0, 14), "-   4464 0000 ");
    const std::pair<const char*, const char*> kinds[] = {{"odd", "? "},  {"link", "l "}, {"tty", "c "}, {"disk", "b "},
                                                          {"pipe", "p "}, {"sock", "s "}, {"sub", "d "}};
    for (const auto& [name, letter] : kinds)
        EXPECT_EQ(line_of(name).substr(0, 2), letter);
    EXPECT_EQ(l.err.size() % 2, 0u);  // the two listings are identical
    EXPECT_EQ(l.err.substr(0, l.err.size() / 2), l.err.substr(l.err.size() / 2));
}

// Values wider than their columns or negative, as a damaged inode holds them, widen the line like printf.
TEST_F(Commands, LongListFieldsWiderThanTheirColumns)
{
    imgb::Node wide = file(std::string(200, 'w'), "abc", 07777);
    wide.nlink = -3;
    wide.uid = 40000;
    wide.gid = 65535;
    wide.damage.raw_size = -12345678;
    wide.mtime = -1;
    imgb::Node big = file("big", "", 01);
    big.nlink = 32767;
    big.damage.raw_size = 2147483647;
    imgb::Result r = build({wide, big});
    run_result l = run("ls -l\nbye\n");
    const char* f = "%s%6d %0.4o %2d %5d %5d %7d %-12.12s %s\n";
    std::string want = fmt(f, "d ", 2, 0755, 2, 0, 0, 512, "Jan  1 00:00", ".") + fmt(f, "d ", 2, 0755, 2, 0, 0, 512, "Jan  1 00:00", "..") +
                       fmt(f, "- ", int(r.nodes["7:/" + wide.name].inode), 07777, -3, -25536, -1, -12345678, "Dec 31 23:59",
                           wide.name.c_str()) +
                       fmt(f, "- ", int(r.nodes["7:/big"].inode), 01, 32767, 0, 0, 2147483647, "Jan  1 00:00", "big");
    EXPECT_EQ(l.err, want);
    EXPECT_EQ(l.status, 0);
}

// A size beyond the extents: what there is gets copied and shown, and the early end is named.
TEST_F(Commands, ExtentsEndingBeforeTheSizeAreReportedAsAReadError)
{
    imgb::Node f = file("short", imgb::pattern(100));
    f.damage.raw_size = 5000;
    build({f});
    run_result r = run("cp short out\nmore short\nbye\n");
    EXPECT_EQ(r.err, "fs_fread: Read error\nfs_fread: Read error\n");
    EXPECT_EQ(r.status, 0);
    std::string got = read_file(dir_ + "/out");
    ASSERT_EQ(got.size(), 512u);
    EXPECT_EQ(got.substr(0, 100), imgb::pattern(100));
    EXPECT_EQ(read_file(dir_ + "/less.log"), got);
}

// The date column is ctime's month, day and time, across the whole range of on-disk times.
TEST_F(Commands, LongListDatesAreThoseOfCtime)
{
    std::vector<imgb::Node> kids;
    std::vector<int32_t> times = {INT32_MIN, -1, 0, 59, 3600 * 13 + 60 * 7, 951782400, 2147483647};
    for (int i = 0; i < 40; ++i)
        times.push_back(static_cast<int32_t>(INT32_MIN + int64_t{i} * 107374182 + 12345 * i));
    for (size_t i = 0; i < times.size(); ++i) {
        kids.push_back(file(fmt("t%02d", int(i)), ""));
        kids.back().mtime = times[i];
    }
    build(kids);
    run_result l = run("ls -l\nbye\n");
    setenv("TZ", "UTC", 1);
    tzset();
    std::string want;
    for (size_t i = 0; i < times.size(); ++i) {
        time_t t = times[i];
        want += fmt("%-12.12s t%02d\n", std::ctime(&t) + 4, int(i));
    }
    std::string got;
    for (size_t p = 0, e; (e = l.err.find('\n', p)) != std::string::npos; p = e + 1)
        if (l.err.compare(e - 3, 2, " t") == 0 || l.err.compare(e - 4, 2, " t") == 0)
            got += l.err.substr(e - 16, 17);
    EXPECT_EQ(got, want);
}

TEST_F(Commands, CdAndPwdWithTheirMessages)
{
    build({dir("usr", {dir("lib", {})}), file("f", "x")});
    run_result r = run("cd usr/lib\npwd\ncd ..\npwd\ncd /nope\ncd /f\ncd\npwd\n");
    EXPECT_EQ(r.err, "/usr/lib\n/usr\n/nope: No such file or directory\n/f: Not a directory\nuse: cd path\n/usr\n");
    EXPECT_EQ(r.out, prompts(9));
}

TEST_F(Commands, MoreFeedsThePagerExactly)
{
    std::string bin = std::string("a\r\nb\0c\n", 7) + imgb::pattern(300);
    build({file("empty", ""), file("k513", imgb::pattern(513)), file("bin", bin), dir("d", {})});
    run_result r = run("more empty\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir_ + "/less.log"), "");
    run("more k513\n");
    EXPECT_EQ(read_file(dir_ + "/less.log"), imgb::pattern(513));
    run("more bin\n");
    EXPECT_EQ(read_file(dir_ + "/less.log"), bin);
    run("more d\n");
    EXPECT_EQ(read_file(dir_ + "/less.log").substr(0, 2), "\xBE\xEF");
    r = run("more nothing\nmore\n");
    EXPECT_EQ(r.err, "fs_fopen: No such file or directory\nnothing: No such file or directory\nuse: more file\n");
    EXPECT_EQ(read_file(dir_ + "/less.log"), "");
}

TEST_F(Commands, CpStatusesAndMessages)
{
    build({file("file", imgb::pattern(1000)), file("zero", ""), dir("d", {file("x", "x")})});
    std::filesystem::create_directory(dir_ + "/T");
    write_file(dir_ + "/afile", "keep");
    run_result r = run("cp\ncp a\ncp -r a b c\ncp -x a b\ncp nothing out\n"
                       "cp -r d missing\ncp -r d afile\ncp -r file missing\ncp -r file afile\ncp -r file T\n"
                       "cp -v file out\ncp zero zout\ncp file T\n");
    EXPECT_EQ(r.err,
              "1:1\nUse: cp [-rpv] fs-file unix-file\n"
              "1:2\nUse: cp [-rpv] fs-file unix-file\n"
              "2:5\nUse: cp [-rpv] fs-file unix-file\n"
              "cp: illegal option -- x\nUse: cp [-rpv] fs-file unix-file\n"
              "nothing: No such file or directory\n"
              "d: directory, target missing does not exist\n"
              "cp: No such file or directory\n"
              "d: directory, target afile not directory\n"
              "-r makes no sense here\n"
              "target afile exists\n"
              "-r makes no sense here\n"
              "copy_file file out\n"
              "fopen: Is a directory\n"
              "cp: Is a directory\n");
    EXPECT_EQ(read_file(dir_ + "/out"), imgb::pattern(1000));
    EXPECT_EQ(read_file(dir_ + "/T/file"), imgb::pattern(1000));
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/zout"));
    EXPECT_EQ(read_file(dir_ + "/zout"), "");
    EXPECT_EQ(read_file(dir_ + "/afile"), "keep");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/missing"));
}

TEST_F(Commands, RecursiveCopyOfATree)
{
    imgb::Node big = file("big", imgb::pattern(700000, 3));
    big.extents = 80;
    build({dir("usr", {dir("lib", {file("libc.a", imgb::pattern(5000)), big, imgb::symlink("ln", "big"),
                                   imgb::device(imgb::Kind::chardev, "null", 0x0303), dir("empty", {})}),
                       file("top", "top\n")})});
    std::filesystem::create_directory(dir_ + "/T");
    run_result r = run("cd usr\ncp -rv lib T\npwd\ncp -rp lib T\ncp -r / T\ncp top here\nbye\n");
    EXPECT_EQ(r.err,
              "copy_dir lib .\ncopy_file libc.a libc.a\ncopy_file big big\n"
              "/usr/lib/ln not copied\n/usr/lib/null not copied\ncopy_dir empty .\n"
              "/usr\n"
              "/usr/lib/ln not copied\n/usr/lib/null not copied\n"
              "/usr/lib/ln not copied\n/usr/lib/null not copied\n");
    EXPECT_EQ(read_file(dir_ + "/T/lib/big"), imgb::pattern(700000, 3));
    EXPECT_EQ(read_file(dir_ + "/here"), "top\n");  // the host working directory is where it was
    EXPECT_EQ(read_file(dir_ + "/T/lib/libc.a"), imgb::pattern(5000));
    EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/T/lib/empty"));
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/T/lib/ln"));
    // The root's entries go straight into the target.
    EXPECT_EQ(read_file(dir_ + "/T/usr/top"), "top\n");
    EXPECT_EQ(read_file(dir_ + "/T/usr/lib/big"), imgb::pattern(700000, 3));
}

TEST_F(Commands, MultiComponentSourceIsNamedByItsLastComponent)
{
    build({dir("usr", {dir("lib", {file("a", "a")})})});
    std::filesystem::create_directory(dir_ + "/T");
    run_result r = run("cp -r usr/lib T\ncp -r usr/lib/a T\n");
    EXPECT_EQ(read_file(dir_ + "/T/lib/a"), "a");
    EXPECT_EQ(read_file(dir_ + "/T/a"), "a");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/T/usr"));
}

TEST_F(Commands, CraftedNamesAndCyclesNeverEscapeTheTarget)
{
    imgb::Node loop = dir("loop", {});
    loop.inode = 50;
    imgb::Node back;
    back.kind = imgb::Kind::dir;
    back.name = "back";
    back.link_to = 50;  // the directory itself
    loop.children.push_back(back);
    build({dir("d", {file("../escape", "x"), file("a/b", "y"), file("", "z"), file("ok", "ok")}), loop,
           dir("two", {file("a", "1"), file("b", "2"), dir("x", {file("f", "f")}), dir("y", {file("g", "g")})})});
    std::filesystem::create_directory(dir_ + "/T");
    // Host names that lead to what this copy wrote under another name (as names differing only in
    // case do on a file system that ignores case): the later entry would overwrite the earlier.
    std::filesystem::create_directories(dir_ + "/T/two");
    std::filesystem::create_symlink("a", dir_ + "/T/two/b");
    std::filesystem::create_directory_symlink("x", dir_ + "/T/two/y");
    run_result r = run("cp -r d T\ncp -r loop T\ncp -r two T\n");
    EXPECT_EQ(r.err, "//d/../escape not copied\n//d/a/b not copied\n//d/ not copied\n//loop/back not copied\n"
                     "//two/b not copied\n//two/y not copied\n");
    EXPECT_EQ(read_file(dir_ + "/T/two/a"), "1");
    EXPECT_EQ(host_tree(dir_ + "/T/two/x"), std::vector<std::string>{"f:1"});
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/escape"));
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/T/escape"));
    EXPECT_EQ(read_file(dir_ + "/T/d/ok"), "ok");
}

TEST_F(Commands, UnreadableSourceLeavesHostFileAndFullDiskIsReported)
{
    imgb::Node bad = file("bad", imgb::pattern(20 * 512));
    bad.extents = 20;
    imgb::Result layout = build({bad, file("good", imgb::pattern(200000))});
    // The indirect extent points far past the end of the image: the inode reads, the stream cannot open.
    ASSERT_TRUE(imgb::patch(img, layout.nodes["7:/bad"].inode_offset + 33, {0xFF, 0xFF, 0xFF}));
    write_file(dir_ + "/keep", "precious");
    run_result r = run("cp bad keep\ncp good /dev/full\n");
    EXPECT_EQ(r.err, "fs_fopen: Read error\nfwrite: No space left on device\n");
    EXPECT_EQ(read_file(dir_ + "/keep"), "precious");
}

// Long runs of extents back to back are offered to the host to share, other extents read and
// written in large pieces, by turns in one file; into another file system everything is read and
// written. Either way the bytes arrive whole, and what was read before a damaged extent still arrives.
TEST_F(Commands, LargeFilesArriveWholeInsideOneFileSystemAndIntoAnother)
{
    const std::string data = imgb::pattern(3 * 1024 * 1024 + 300, 6);
    imgb::Node big = file("big", data);
    big.extents = 40;
    imgb::Node packed = big;
    packed.name = "packed";
    packed.extent_gaps = false;
    imgb::Node broken = big;
    broken.name = "broken";
    broken.damage.break_invariant_at = 30;
    imgb::Node broken_packed = packed;
    broken_packed.name = "broken_packed";
    broken_packed.damage.break_invariant_at = 30;
    imgb::Disk disk = imgb::simple_disk({big, packed, broken, broken_packed});
    disk.partitions[0].fs->cg_count = 8;  // the inodes of each group part the packed extents into runs
    imgb::Result layout = build(disk);
    ASSERT_TRUE(layout.ok);
    // The damaged extent claims to start one block after the data before it ends.
    auto before_damage = [&](const char* name) {
        return data.substr(0, size_t{layout.nodes[std::string("7:/") + name].extents[30].offset - 1} * 512);
    };
    // The image, and where its copies land: beside it, on another file system, and both in memory
    // (where the kernel copies runs itself).
    std::vector<std::pair<std::string, std::string>> cases = {{img, dir_}};
    struct stat here {}, there {};
    char other[] = "/dev/shm/efsh-test-XXXXXX";
    if (stat(dir_.c_str(), &here) == 0 && stat("/dev/shm", &there) == 0 && here.st_dev != there.st_dev &&
        mkdtemp(other)) {
        cases.push_back({img, other});
        std::filesystem::copy_file(img, std::string(other) + "/disk.img");
        cases.push_back({std::string(other) + "/disk.img", other});
    }
    for (const auto& [image, t] : cases) {
        SCOPED_TRACE(image + " -> " + t);
        img = image;
        run_result r = run(fmt("cp big %s/big\ncp packed %s/packed\ncp broken %s/broken\ncp broken_packed %s/bp\n",
                               t.c_str(), t.c_str(), t.c_str(), t.c_str()));
        EXPECT_EQ(r.err, "fs_fread: Read error\nfs_fread: Read error\n");
        EXPECT_TRUE(read_file(t + "/big") == data);
        EXPECT_TRUE(read_file(t + "/packed") == data);
        EXPECT_TRUE(read_file(t + "/broken") == before_damage("broken"));
        EXPECT_TRUE(read_file(t + "/bp") == before_damage("broken_packed"));
    }
    if (cases.size() > 1)
        remove_tree(other);
}

TEST_F(Commands, DepthLimitOfFourteenLevels)
{
    imgb::Node n = dir("l17", {file("f17", "x")});
    for (int i = 16; i >= 1; --i)
        n = dir("l" + std::to_string(i), {file("f" + std::to_string(i), "x"), n});
    build({n});
    std::filesystem::create_directory(dir_ + "/T");
    run_result r = run("cp -r l1 T\n");
    std::string p = dir_ + "/T/l1";
    for (int i = 2; i <= 16; ++i) {
        p += "/l" + std::to_string(i);
        EXPECT_EQ(std::filesystem::exists(p + "/f" + std::to_string(i)), i <= 15) << i;
    }
    EXPECT_EQ(r.err, "fs_fopen: Too many open files\nopendir l17\nl17: Too many open files\n");
}

TEST_F(Commands, TargetDirectoryThatCannotBeEnteredGivesStatusFive)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run efsh as another user";
    build({dir("d", {file("x", "x")}), file("f", "f")});
    chmod(dir_.c_str(), 0755);
    chmod(img.c_str(), 0644);
    std::filesystem::create_directory(dir_ + "/locked");
    chmod((dir_ + "/locked").c_str(), 0600);  // a directory, but no search permission for others
    run_options o = opt;
    o.uid = 65534;
    o.cwd = "/";
    run_result r = run_efsh({"-p", "7", img}, "cp -r d " + dir_ + "/locked\ncp -r f " + dir_ + "/locked\n", o);
    // Status 5 prints nothing of its own; the prompt loop adds the host's reason for the failed chdir.
    EXPECT_EQ(r.err, "cp: Permission denied\ncp: Permission denied\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir_ + "/locked"));
}

// --- cp -p and the host directories of cp -r -----------------------------------------------------
// The copies run as an unprivileged user when the tests run as root, so that read-only
// directories really are read-only to efsh and permissions really refuse it.

struct host_stat {
    unsigned mode;
    int64_t atime, mtime;
};

host_stat stat_of(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return {static_cast<unsigned>(st.st_mode & 07777), st.st_atim.tv_sec, st.st_mtim.tv_sec};
}

// A host directory owned by the user efsh runs as.
void make_dir(const std::string& path, const run_options& o)
{
    std::filesystem::create_directories(path);
    if (o.uid >= 0) {
        EXPECT_EQ(chown(path.c_str(), static_cast<uid_t>(o.uid), static_cast<gid_t>(o.uid)), 0);
    }
}

// Makes a tree searchable again, so the test can read and remove what a copy left read-only.
void open_up(const std::string& path)
{
    chmod(path.c_str(), 0755);
    for (const auto& e : std::filesystem::directory_iterator(path))
        if (e.is_directory() && !e.is_symlink())
            open_up(e.path().string());
}

class CpHost : public Commands {
protected:
    void SetUp() override
    {
        Commands::SetUp();
        chmod(dir_.c_str(), 0755);
        as = opt;
        as.uid = geteuid() == 0 ? 65534 : -1;
    }
    void TearDown() override
    {
        open_up(dir_);
        Commands::TearDown();
    }
    run_result run_in(const std::string& sub, const std::string& input)
    {
        chmod(img.c_str(), 0644);
        run_options o = as;
        o.cwd = dir_ + "/" + sub;
        return run_efsh({"-p", "7", img}, input, o);
    }
    run_options as;
};

TEST_F(CpHost, PCarriesPermissionBitsAndTimesAndPrintsTheSame)
{
    imgb::Node f = file("f", "ff", 0640);
    f.atime = 200000000;
    f.mtime = 300000000;
    imgb::Node none = dir("none", {file("b", "b", 0600)}, 0);
    none.mtime = 600000000;
    imgb::Node ro = dir("ro", {file("a", "a", 0444), none}, 0555);
    ro.mtime = 500000000;
    imgb::Node d = dir("d", {ro, file("c", "c"), imgb::symlink("ln", "c")}, 0750);
    d.atime = 400000001;
    d.mtime = 400000000;
    imgb::Disk disk = imgb::simple_disk({f, file("s", "s", 07755), file("z", "z", 0), d});
    disk.partitions[0].fs->root.mtime = 111111111;
    ASSERT_TRUE(build(disk).ok);
    for (const char* side : {"P", "N"})
        for (const char* t : {"", "/T", "/R", "/R2"})
            make_dir(dir_ + "/" + side + t, as);
    for (const char* t : {"/P/R", "/P/R2"})
        chmod((dir_ + t).c_str(), 0700);
    run_result p = run_in("P", "cp -p f f\ncp -p s s\ncp -p z z\ncp -rpv d T\ncp -rp / R\ncd d\ncp -rp . R2\nbye\n");
    run_result n = run_in("N", "cp f f\ncp s s\ncp z z\ncp -rv d T\ncp -r / R\ncd d\ncp -r . R2\nbye\n");
    EXPECT_EQ(p.err, "copy_dir d .\ncopy_dir ro .\ncopy_file a a\ncopy_dir none .\ncopy_file b b\ncopy_file c c\n"
                     "//d/ln not copied\n//d/ln not copied\n/d/./ln not copied\n");
    EXPECT_EQ(p.err, n.err);
    EXPECT_EQ(p.out, n.out);

    const std::string P = dir_ + "/P/";
    auto expect = [](const std::string& path, unsigned mode, int64_t atime, int64_t mtime) {
        host_stat s = stat_of(path);
        EXPECT_EQ(s.mode, mode) << path;
        EXPECT_EQ(s.atime, atime) << path;
        EXPECT_EQ(s.mtime, mtime) << path;
    };
    expect(P + "f", 0640, 200000000, 300000000);
    EXPECT_EQ(stat_of(P + "s").mode, 0755u);  // set-user-ID, set-group-ID and sticky stay behind
    EXPECT_EQ(stat_of(P + "z").mode, 0u);
    for (const char* t : {"T/d", "R/d"}) {
        expect(P + t, 0750, 400000001, 400000000);
        expect(P + t + "/ro", 0555, 0, 500000000);
        expect(P + t + "/ro/none", 0, 0, 600000000);
    }
    // The targets themselves keep their own mode and times, also when the entries go straight in.
    for (const char* t : {"R", "R2"}) {
        host_stat s = stat_of(P + t);
        EXPECT_EQ(s.mode, 0700u) << t;
        EXPECT_NE(s.mtime, 111111111) << t;
        EXPECT_NE(s.mtime, 400000000) << t;
    }
    EXPECT_NE(stat_of(dir_ + "/N/f").mtime, 300000000);  // without -p nothing is carried
    EXPECT_NE(stat_of(dir_ + "/N/T/d/ro").mtime, 500000000);
    open_up(dir_);
    // The read-only directories were filled completely.
    EXPECT_EQ(read_file(P + "T/d/ro/none/b"), "b");
    EXPECT_EQ(host_tree(dir_ + "/P"), host_tree(dir_ + "/N"));
    EXPECT_EQ(host_tree(dir_ + "/P/R2"), std::vector<std::string>({"c:1", "ro/", "ro/a:1", "ro/none/", "ro/none/b:1"}));
}

// A host directory that cannot be made or entered is named; the rest of the tree is still copied.
TEST_F(CpHost, DirectoriesThatCannotBeMadeOrEnteredAreNamed)
{
    build({dir("d", {file("a", "a"), dir("sub", {file("y", "y")}), dir("e", {file("x", "x")}), file("z", "z")})});
    for (const char* t : {"T/d", "U"})
        make_dir(dir_ + "/" + t, as);
    std::filesystem::create_directory(dir_ + "/V");
    write_file(dir_ + "/T/d/sub", "in the way");
    write_file(dir_ + "/U/d", "in the way");
    chmod((dir_ + "/V").c_str(), as.uid >= 0 ? 0755 : 0555);  // no write permission for efsh
    // A host directory in the way that is a symbolic link is never followed: the copy would land
    // outside the target. The entries after it still land in the target.
    make_dir(dir_ + "/S/d", as);
    make_dir(dir_ + "/elsewhere/e", as);
    std::filesystem::create_directory_symlink(dir_ + "/elsewhere/e", dir_ + "/S/d/e");
    std::string script = "cp -r d T\ncp -r d U\ncp -r d V\ncp -r d S\n";
    std::string want = "sub: Not a directory\nd: Not a directory\nd: Permission denied\n//d/e not copied\n";
    if (as.uid >= 0) {
        // Host entries efsh may fill but not change (the owner's): the copy goes on after saying so.
        make_dir(dir_ + "/W", as);
        write_file(dir_ + "/W/own", "");
        chmod((dir_ + "/W/own").c_str(), 0666);
        std::filesystem::create_directories(dir_ + "/X/d");
        chmod((dir_ + "/X/d").c_str(), 0777);
        script += "cp -p d/a W/own\ncp -rp d X\n";
        want += "W/own: Operation not permitted\nd: Operation not permitted\n";
    }
    run_result r = run_in("", script);
    EXPECT_EQ(r.err, want);
    EXPECT_EQ(host_tree(dir_ + "/T"), std::vector<std::string>({"d/", "d/a:1", "d/e/", "d/e/x:1", "d/sub:10", "d/z:1"}));
    EXPECT_EQ(host_tree(dir_ + "/U"), std::vector<std::string>({"d:10"}));
    EXPECT_EQ(host_tree(dir_ + "/V"), std::vector<std::string>{});
    EXPECT_EQ(host_tree(dir_ + "/S"), std::vector<std::string>({"d/", "d/a:1", "d/e/", "d/sub/", "d/sub/y:1", "d/z:1"}));
    EXPECT_EQ(host_tree(dir_ + "/elsewhere"), std::vector<std::string>({"e/"}));
    if (as.uid >= 0) {
        EXPECT_EQ(read_file(dir_ + "/W/own"), "a");
        EXPECT_EQ(host_tree(dir_ + "/X"), std::vector<std::string>({"d/", "d/a:1", "d/e/", "d/e/x:1", "d/sub/", "d/sub/y:1", "d/z:1"}));
        EXPECT_EQ(stat_of(dir_ + "/X/d/sub").mode, 0755u);  // what efsh made is its own to change
    }
}

}  // namespace
