// Path lookup, directory search, the current directory and directory streams.
#include <cstring>

#include "library_fixture.h"

using imgb::dir;
using imgb::file;

class Lookup : public Mounted {
protected:
    uint32_t ino(const imgb::Result& r, const std::string& p) { return r.nodes.at("7:" + p).inode; }
};

TEST_F(Lookup, PathsResolveFromRootAndCurrentDirectory)
{
    imgb::Result r = mount({dir("usr", {dir("bin", {file("ls", "elf")})}), file("plain", "x")});
    EXPECT_EQ(fs_namei("/"), ROOT_INODE);
    EXPECT_EQ(fs_namei(""), ROOT_INODE);
    EXPECT_EQ(fs_namei("/usr//bin/"), ino(r, "/usr/bin"));
    EXPECT_EQ(fs_namei("usr/bin/ls"), ino(r, "/usr/bin/ls"));
    EXPECT_EQ(fs_namei("plain/x"), 0u);
    EXPECT_EQ(fs_errno, FS_ENOTDIR);
    EXPECT_EQ(fs_namei("usr/nothing"), 0u);
    EXPECT_EQ(fs_errno, FS_ENOENT);
    EXPECT_EQ(fs_namei("us"), 0u);  // a prefix of a name does not match it
    EXPECT_EQ(fs_namei("usrx"), 0u);
    ASSERT_EQ(fs_chdir("usr"), 0);
    EXPECT_EQ(fs_namei("bin/ls"), ino(r, "/usr/bin/ls"));
    EXPECT_EQ(fs_namei(""), ino(r, "/usr"));
    EXPECT_EQ(fs_namei(std::string(1024, 'a').c_str()), 0u);
    EXPECT_EQ(fs_errno, FS_ENAMETOOLONG);
}

TEST_F(Lookup, NamesOfOneTo255BytesAndTooLong)
{
    std::string n255(255, 'n');
    imgb::Result r = mount({file("a", "1"), file(n255, "255")});
    EXPECT_EQ(fs_namei("a"), ino(r, "/a"));
    EXPECT_EQ(fs_namei(n255.c_str()), ino(r, "/" + n255));
    EXPECT_EQ(fs_namei((n255 + "n").c_str()), 0u);
    EXPECT_EQ(fs_errno, FS_ENOENT);
}

TEST_F(Lookup, BigDirectoriesDirectAndIndirect)
{
    std::vector<imgb::Node> direct, indirect;
    for (int i = 0; i < 40; ++i)
        direct.push_back(file("f" + std::to_string(i), std::to_string(i)));
    for (int i = 0; i < 600; ++i)
        indirect.push_back(file("g" + std::to_string(i), std::to_string(i)));
    imgb::Node ind = dir("ind", indirect);
    ind.dir_entries_per_block = 8;   // 76 blocks, one per extent: two indirect blocks
    ind.indirect_extent_blocks = 1;  // and two indirect extents
    imgb::Result r = mount({dir("direct", direct), ind});
    EXPECT_EQ(fs_namei("direct/f39"), ino(r, "/direct/f39"));
    EXPECT_GE(r.nodes["7:/ind"].indirect.size(), 2u);
    EXPECT_EQ(fs_namei("ind/g0"), ino(r, "/ind/g0"));
    EXPECT_EQ(fs_namei("ind/g599"), ino(r, "/ind/g599"));
    EXPECT_EQ(fs_namei("ind/g600"), 0u);
    EXPECT_EQ(names_of(fs_opendir("ind")).size(), 602u);
}

TEST_F(Lookup, BadDirectoryMagicBeforeInAndAfterTheNamesExtent)
{
    std::vector<imgb::Node> kids;
    for (int i = 0; i < 30; ++i)
        kids.push_back(file("e" + std::to_string(i), "x"));
    imgb::Node after = dir("after", kids);
    after.dir_entries_per_block = 4;
    after.damage.bad_dir_magic_blocks = {7};
    imgb::Node before = after;
    before.name = "before";
    before.damage.bad_dir_magic_blocks = {0};
    imgb::Node same = after;
    same.name = "same";
    same.extent_blocks = 8;  // one extent: a bad block earlier in the same extent does not hinder
    same.damage.bad_dir_magic_blocks = {0};
    mount({after, before, same});
    EXPECT_NE(fs_namei("after/e5"), 0u);
    EXPECT_EQ(fs_namei("before/e20"), 0u);
    EXPECT_EQ(fs_errno, FS_ENOENT);
    EXPECT_NE(fs_namei("same/e20"), 0u);
}

TEST_F(Lookup, ChdirPathTexts)
{
    mount({dir("a", {dir("b", {}), dir("c", {})}), file("f", "x")});
    char cwd[PATH_BUF];
    ASSERT_EQ(fs_chdir("a"), 0);
    EXPECT_STREQ(fs_getcwd(cwd), "/a");
    ASSERT_EQ(fs_chdir(".."), 0);
    EXPECT_STREQ(fs_getcwd(cwd), "/");
    ASSERT_EQ(fs_chdir(".."), 0);
    EXPECT_STREQ(fs_getcwd(cwd), "/");
    ASSERT_EQ(fs_chdir("/a/./b/../c"), 0);
    EXPECT_STREQ(fs_getcwd(cwd), "/a/c");
    EXPECT_EQ(fs_chdir("/f"), -1);
    EXPECT_EQ(fs_errno, FS_ENOTDIR);
    EXPECT_EQ(fs_chdir("nope"), -1);
    EXPECT_EQ(fs_errno, FS_ENOENT);
    EXPECT_STREQ(fs_getcwd(cwd), "/a/c");
    ASSERT_EQ(fs_chdir("/"), 0);
    EXPECT_EQ(f->cwd_inode, 2);
}

TEST_F(Lookup, ChdirRefusesPathsOf1024Characters)
{
    // Nested directories whose path text reaches 1020 characters, then names of 2 and 3 bytes.
    std::string seg(50, 'd');  // "/" + 50 = 51 characters a level; 20 levels = 1020
    imgb::Node leaf = dir(seg, {dir("xy", {}), dir("xyz", {})});
    for (int i = 0; i < 19; ++i)
        leaf = dir(seg, {leaf});
    mount({leaf});
    std::string p;
    for (int i = 0; i < 20; ++i)
        p += "/" + seg;
    ASSERT_EQ(fs_chdir(p.c_str()), 0);
    EXPECT_EQ(fs_chdir("xyz"), -1);
    EXPECT_EQ(fs_errno, FS_ENAMETOOLONG);
    EXPECT_EQ(fs_chdir("xy"), 0);
    char cwd[PATH_BUF];
    EXPECT_EQ(std::strlen(fs_getcwd(cwd)), 1023u);
}

TEST_F(Lookup, DirectoryStreamEntriesAndReclen)
{
    std::string n255(255, 'z');
    imgb::Result r = mount({file("abc", "1"), file("abcd", "2"), file(n255, "3")});
    fs_dir* d = fs_opendir("/");
    ASSERT_NE(d, nullptr);
    std::vector<std::pair<std::string, int>> got;
    while (fs_dirent* e = fs_readdir(d))
        got.emplace_back(e->d_name, e->d_reclen);
    fs_closedir(d);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], std::make_pair(std::string("."), 12));
    EXPECT_EQ(got[1], std::make_pair(std::string(".."), 12));
    EXPECT_EQ(got[2], std::make_pair(std::string("abc"), 12));
    EXPECT_EQ(got[3], std::make_pair(std::string("abcd"), 16));
    EXPECT_EQ(got[4], std::make_pair(n255, 264));
}

TEST_F(Lookup, DamagedDirectoriesEndCleanly)
{
    imgb::Node past = dir("past", {file("ok", "1")});
    past.damage.entry_past_end = true;
    imgb::Node junk = dir("junk", {file("ok", "1")});
    junk.damage.slot_count_255_block = 0;
    imgb::Node neg = dir("neg", {file("ok", "1")});
    neg.damage.raw_extent_count = -1;
    imgb::Node broken = dir("broken", {file("ok", "1")});
    broken.extents = 2;
    broken.damage.break_invariant_at = 1;
    mount({past, junk, neg, broken});
    for (const char* p : {"past", "junk", "neg", "broken"})
        EXPECT_LT(names_of(fs_opendir(p), 1000).size(), 300u) << p;
    // The entry whose name runs past its block is passed over, not read beyond it.
    EXPECT_EQ(names_of(fs_opendir("past")), (std::vector<std::string>{".", "..", "ok"}));
    EXPECT_NE(fs_namei("past/ok"), 0u);
    EXPECT_EQ(fs_namei("neg/ok"), 0u);
}

// Within an extent only further blocks are checked for the magic; an empty extent does not end a listing.
TEST_F(Lookup, DirectoryStreamMagicAndEmptyExtents)
{
    imgb::Node two = dir("two", {file("a", "1"), file("b", "2"), file("c", "3")});
    two.dir_entries_per_block = 2;
    two.extent_blocks = 2;
    two.damage.bad_dir_magic_blocks = {1};
    imgb::Node first = dir("first", {file("a", "1"), file("b", "2"), file("c", "3")});
    first.dir_entries_per_block = 2;
    first.damage.bad_dir_magic_blocks = {1};
    imgb::Node gaps = dir("gaps", {file("a", "1"), file("b", "2"), file("c", "3")});
    gaps.dir_entries_per_block = 2;
    gaps.zero_length_at = {1, 2};
    mount({two, first, gaps});
    EXPECT_EQ(names_of(fs_opendir("/two")), (std::vector<std::string>{".", ".."}));
    EXPECT_EQ(names_of(fs_opendir("/first")), (std::vector<std::string>{".", "..", "a", "b", "c"}));
    EXPECT_EQ(names_of(fs_opendir("/gaps")), (std::vector<std::string>{".", "..", "a", "b", "c"}));
}

TEST_F(Lookup, DeviceNumbersInBothForms)
{
    struct Case {
        const char* name;
        imgb::Kind kind;
        uint32_t rdev;
        bool wide;
        uint32_t major, minor;
    } cases[] = {
        {"tty", imgb::Kind::chardev, 0x0501, false, 5, 1},
        {"dsk", imgb::Kind::blockdev, 0xFF00, false, 255, 0},
        {"wide", imgb::Kind::chardev, (300u << 18) | 70000u, true, 300, 70000},
        {"top", imgb::Kind::blockdev, 0xFFFFFFFFu, true, 0x3FFF, 0x3FFFF},
        {"fifo", imgb::Kind::fifo, 0x0501, false, 0, 0},  // only devices have a number
    };
    std::vector<imgb::Node> nodes;
    for (const Case& c : cases) {
        nodes.push_back(imgb::device(c.kind, c.name, c.rdev));
        nodes.back().rdev_wide = c.wide;
    }
    mount(std::move(nodes));
    for (const Case& c : cases) {
        fs_statbuf st;
        ASSERT_EQ(fs_stat(c.name, &st), 0) << c.name;
        EXPECT_EQ(st.st_major, c.major) << c.name;
        EXPECT_EQ(st.st_minor, c.minor) << c.name;
    }
}
