// End-to-end: the worst cases for time and memory (junk slots, extent limits, deep chains, cycles, huge
// directories): what efsh makes of them. bench/run measures their time and memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>

#include "image_session.h"

namespace {

class Bounds : public ImageSession {
protected:
    void SetUp() override
    {
        // Host directories of many files are made much faster in memory than on disk; the copy's
        // time should be efsh's, not the host file system's.
        std::error_code ec;
        char buf[] = "/dev/shm/efsh-test-XXXXXX";
        start(std::filesystem::is_directory("/dev/shm", ec) && mkdtemp(buf) ? buf : make_scratch_dir());
        std::filesystem::create_directory(dir_ + "/T");
        opt.timeout_seconds = hang_seconds();
    }
    // Runs the script to its end (its time and memory are bench/run's to measure); nothing on the
    // host changes outside T but the pager's log and `out`.
    run_result run(const std::string& script)
    {
        std::vector<std::string> before = host_outside_target(dir_);
        run_result r = ImageSession::run(script);
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(host_outside_target(dir_), before);
        return r;
    }
};

TEST_F(Bounds, SlotCount255OverAFullBlockReadsJunkSafely)
{
    // Names long enough that the entries fill the block down into the slot bytes a count of 255 claims.
    std::vector<imgb::Node> kids;
    std::vector<std::string> names;
    for (int i = 0; i < 28; ++i) {
        names.push_back(fmt("entry-%02d-padding", i));
        kids.push_back(imgb::file(names.back(), "x"));
    }
    imgb::Node junk = imgb::dir("junk", kids);
    junk.damage.slot_count_255_block = 0;
    imgb::Result layout = build({junk});
    run_result r = run("cd junk\nls\nls -l\ncp -r /junk T\nbye\n");
    // At most 255 slots a block, junk or not, in the two blocks the entries take.
    EXPECT_LE(std::count(r.out.begin(), r.out.end(), '\n'), 2 * 255);
    for (const std::string& n : names) {
        int ino = static_cast<int>(layout.nodes["7:/junk/" + n].inode);
        EXPECT_NE(r.out.find(fmt("%10d %24s\n", ino, n.c_str())), std::string::npos) << n;
        EXPECT_EQ(read_file(dir_ + "/T/junk/" + n), "x") << n;
    }
    for (const std::string& t : host_tree(dir_ + "/T"))
        EXPECT_EQ(t.rfind("junk/", 0), 0u) << t;
}

TEST_F(Bounds, ExtentCountsAtTheFormatsLimits)
{
    // Twelve indirect extents of one block: 768 extents, as many as that layout can name.
    imgb::Node twelve = imgb::file("twelve", imgb::pattern(768 * 512 - 10, 3));
    twelve.extents = 768;
    twelve.indirect_extent_blocks = 1;
    imgb::Node thirteen = twelve;
    thirteen.name = "thirteen";
    thirteen.damage.raw_indirect_count = 13;  // one past what an inode can hold
    imgb::Node claims = twelve;
    claims.name = "claims";
    claims.damage.raw_extent_count = 0x7FFF;  // far more extents than the indirect blocks name
    // The largest extent count there is, 32767, in three indirect extents of up to 255 blocks:
    // eight extents hold the data, the others are empty.
    imgb::Node most = imgb::file("most", imgb::pattern(8 * 512, 4));
    most.extents = 8;
    for (int i = 0; i < 32767 - 8; ++i)
        most.zero_length_at.push_back(i % 9);
    imgb::Result layout = build({twelve, thirteen, claims, most});
    ASSERT_EQ(layout.nodes["7:/twelve"].indirect.size(), 12u);
    ASSERT_EQ(layout.nodes["7:/most"].extents.size(), 32767u);
    ASSERT_EQ(layout.nodes["7:/most"].indirect.size(), 3u);

    const std::string want12 = imgb::pattern(768 * 512 - 10, 3);
    for (const char* name : {"twelve", "claims", "most"}) {
        SCOPED_TRACE(name);
        run_result r = run(std::string("more ") + name + "\ncp " + name + " out\nbye\n");
        EXPECT_EQ(r.err, "");
        const std::string want = std::string(name) == "most" ? imgb::pattern(8 * 512, 4) : want12;
        EXPECT_TRUE(read_file(dir_ + "/out") == want);
        EXPECT_TRUE(read_file(dir_ + "/less.log") == want);
    }
    run_result r = run("more thirteen\ncp thirteen out\nbye\n");
    EXPECT_EQ(r.err, "fs_fread: Read error\nfs_fread: Read error\n");
    EXPECT_EQ(read_file(dir_ + "/out"), "");
    EXPECT_EQ(read_file(dir_ + "/less.log"), "");
}

TEST_F(Bounds, ChainOfTwoHundredDirectories)
{
    imgb::Node n = imgb::dir("d", {imgb::file("leaf", "leaf\n")});
    for (int i = 1; i < 200; ++i)
        n = imgb::dir("d", {n});
    imgb::Result layout = build({n});
    std::string path;
    for (int i = 0; i < 200; ++i)
        path += "/d";
    run_result r = run("cd " + path.substr(1) + "\npwd\nls\nmore leaf\ncd /\ncp -r /d T\nbye\n");
    EXPECT_EQ(r.out, prompts(3) +
                         fmt("%10d %24s\n%10d %24s\n%10d %24s\n", static_cast<int>(layout.nodes["7:" + path].inode), ".",
                             static_cast<int>(layout.nodes["7:" + path.substr(0, path.size() - 2)].inode), "..",
                             static_cast<int>(layout.nodes["7:" + path + "/leaf"].inode), "leaf") +
                         prompts(4));
    // Every level of the copy holds a directory stream open: the table of 16 runs out at level 17,
    // whose host directory is made before its stream is refused.
    EXPECT_EQ(r.err, path + "\nopendir d\nd: Too many open files\n");
    EXPECT_EQ(read_file(dir_ + "/less.log"), "leaf\n");
    std::vector<std::string> want;
    std::string p = "d/";
    for (int i = 0; i < 17; ++i, p += "d/")
        want.push_back(p);
    EXPECT_EQ(host_tree(dir_ + "/T"), want);
}

TEST_F(Bounds, CyclesAndShortcutsCopyEveryDirectoryOnce)
{
    // A chain l1 .. l12 in which every level also names the root, itself and its parent, and names
    // its child three more times: a copy that followed every name would make 4^12 copies.
    constexpr int kLevels = 12;
    auto link = [](const std::string& name, uint32_t ino) {
        imgb::Node n;
        n.kind = imgb::Kind::dir;
        n.name = name;
        n.link_to = ino;
        return n;
    };
    auto ino_of = [](int level) { return static_cast<uint32_t>(level == 0 ? 2 : 100 + level); };
    const std::vector<std::string> links = {"up", "self", "parent", "s1", "s2", "s3"};
    imgb::Node below;
    for (int i = kLevels; i >= 1; --i) {
        imgb::Node level = imgb::dir("l" + std::to_string(i), {});
        level.inode = ino_of(i);
        if (i < kLevels)
            level.children.push_back(below);
        level.children.push_back(imgb::file("f", "level " + std::to_string(i) + "\n"));
        level.children.push_back(link("up", ino_of(0)));
        level.children.push_back(link("self", ino_of(i)));
        level.children.push_back(link("parent", ino_of(i - 1)));
        if (i < kLevels)
            for (const char* s : {"s1", "s2", "s3"})
                level.children.push_back(link(s, ino_of(i + 1)));
        below = level;
    }
    build({below});
    run_result r = run("cd l1/l2/s1/s2/parent/self/l4\npwd\ncp -r / T\nbye\n");
    std::string want = "/l1/l2/s1/s2/parent/self/l4\n";
    for (int i = kLevels; i >= 1; --i) {
        std::string above;
        for (int k = 1; k < i; ++k)
            above += "/l" + std::to_string(k);
        for (const std::string& l : links)
            if (i < kLevels || l[0] != 's' || l == "self")
                want += (above.empty() ? "/" : above) + "/l" + std::to_string(i) + "/" + l + " not copied\n";
    }
    EXPECT_EQ(r.err, want);
    std::vector<std::string> tree;
    std::string p;
    for (int i = 1; i <= kLevels; ++i) {
        p += "l" + std::to_string(i) + "/";
        tree.push_back(p);
        tree.push_back(p + "f:" + std::to_string(std::string("level " + std::to_string(i) + "\n").size()));
    }
    std::sort(tree.begin(), tree.end());
    EXPECT_EQ(host_tree(dir_ + "/T"), tree);
}

TEST_F(Bounds, DirectoryOfTwentyThousandEntries)
{
    constexpr int kEntries = 20000;
    std::string want_ls;
    {  // the nodes are let go before efsh runs
        std::vector<imgb::Node> kids;
        for (int i = 0; i < kEntries; ++i)
            kids.push_back(imgb::file("file" + std::to_string(i), i % 1000 == 0 ? "1000\n" : ""));
        imgb::Result r = build({imgb::dir("many", std::move(kids))});
        want_ls = prompts(2) + fmt("%10d %24s\n%10d %24s\n", static_cast<int>(r.nodes["7:/many"].inode), ".", 2, "..");
        for (int i = 0; i < kEntries; ++i) {
            std::string name = "file" + std::to_string(i);
            want_ls += fmt("%10d %24s\n", static_cast<int>(r.nodes["7:/many/" + name].inode), name.c_str());
        }
        want_ls += prompts(1);
    }
    run_result ls = run("cd many\nls\nbye\n");
    EXPECT_TRUE(ls.out == want_ls) << "the short list differs";
    EXPECT_EQ(ls.err, "");

    run_result l = run("cd many\nls -l\nbye\n");
    EXPECT_EQ(std::count(l.err.begin(), l.err.end(), '\n'), kEntries + 2);

    run_result cp = run("cp -r /many T\nbye\n");
    EXPECT_EQ(cp.err, "");
    std::vector<std::string> tree = host_tree(dir_ + "/T");
    EXPECT_EQ(tree.size(), static_cast<size_t>(kEntries + 1));
    EXPECT_EQ(read_file(dir_ + "/T/many/file19000"), "1000\n");
}

}  // namespace

namespace {

// Extents that all name the same directory blocks: a walk ends once it has read as much as the file
// system holds, instead of listing those blocks 32766 times over (millions of lines from 1 MB).
TEST_F(Bounds, DirectoryExtentsReadingTheSameBlocksAgain)
{
    std::vector<imgb::Node> kids;
    for (int i = 0; i < 200; ++i)
        kids.push_back(imgb::file(fmt("f%03d", i), "x"));
    imgb::Node d = imgb::dir("d", kids);
    d.dir_entries_per_block = 1;
    d.extent_blocks = 248;
    d.extents = 2;
    d.zero_length_at.assign(32765, 1);
    imgb::Disk disk = imgb::simple_disk({d});
    disk.partitions[0].first_block = 64;
    imgb::Result layout = build(disk);
    ASSERT_TRUE(layout.ok) << layout.error;
    const imgb::NodeInfo& info = layout.nodes["7:/d"];
    ASSERT_EQ(info.extents.size(), 32767u);
    const uint32_t block = info.extents[0].block, length = info.extents[0].length;
    // Every empty extent now names the blocks of the first one, each at the offset that keeps the
    // extents in order, so nothing but their number gives them away.
    uint32_t logical = 0;
    for (const imgb::ExtentInfo& ind : info.indirect) {
        std::vector<uint8_t> bytes(size_t{ind.length} * 512);
        for (size_t k = 0; k < bytes.size() / 8 && logical < info.extents.size(); ++k, ++logical) {
            uint32_t off = logical * length;
            const imgb::ExtentInfo& e = info.extents[logical];
            bool again = logical > 0 && e.length == 0;
            uint32_t b = again ? block : e.block, n = again ? length : e.length, o = again ? off : e.offset;
            uint8_t* x = &bytes[k * 8];
            x[0] = 0, x[1] = uint8_t(b >> 16), x[2] = uint8_t(b >> 8), x[3] = uint8_t(b);
            x[4] = uint8_t(n), x[5] = uint8_t(o >> 16), x[6] = uint8_t(o >> 8), x[7] = uint8_t(o);
        }
        ASSERT_TRUE(imgb::patch(img, (64 + int64_t{ind.block}) * 512, bytes));
    }
    run_result r = run("cd d\nls\ncp -r /d T\nbye\n");
    size_t lines = static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
    EXPECT_GE(lines, size_t{length});
    EXPECT_LE(lines, layout.image_size / 512);  // one entry per block: at most a block's worth each
    // The tree copy reads each block once and says what it passed over: every extent after the
    // first names its blocks again, but for the last, which is out of order and read.
    EXPECT_EQ(r.err, "/d: block 101: Read error, 32766 damaged in all\n");
}

}  // namespace
