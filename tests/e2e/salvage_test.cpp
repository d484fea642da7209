// End-to-end: damaged directories taken out whole by cp -r and tar, every entry of every intact
// block, the damage said once, in memory bounded by the image; ls at the prompt as it always was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>

#include "image_session.h"

namespace {

constexpr int32_t kFirst = 64;  // the partition's first block in these images

imgb::Disk disk_of(std::vector<imgb::Node> kids)
{
    imgb::Disk d = imgb::simple_disk(std::move(kids));
    d.partitions[0].first_block = kFirst;
    return d;
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

std::string sorted_lines(const std::string& command)
{
    std::set<std::string> lines;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[1024];
        while (std::fgets(buf, sizeof buf, p))
            lines.insert(buf);
        pclose(p);
    }
    std::string all;
    for (const std::string& l : lines)
        all += l;
    return all;
}

const std::string kLong(255, 'N');

struct SalvageCase {
    const char* name;
    // Builds disk.img at the path (patching bytes where the builder has no switch for the damage).
    std::function<void(const std::string&)> make;
    std::string top;                 // the directory copied and archived
    std::vector<std::string> copied; // what cp -r leaves under T
    std::string report;              // what cp -r and tar each say of the damage
    // `cd top` and `ls` at the prompt, as it always was: the entries it lists (-1: not run), what it says.
    int listed;
    std::string ls_err;
};

// A directory of ten files, two entries a block, all in one extent; block 1 has a bad magic number.
void ten_files(const std::string& img)
{
    std::vector<imgb::Node> kids;
    for (int i = 0; i < 10; ++i)
        kids.push_back(imgb::file("m" + std::to_string(i), "m" + std::to_string(i) + "\n"));
    imgb::Node d = imgb::dir("d", kids);
    d.dir_entries_per_block = 2;
    d.extent_blocks = 6;
    d.damage.bad_dir_magic_blocks = {1};
    ASSERT_TRUE(imgb::write_image(disk_of({d}), img).ok);
}

// A directory of 44 files whose "." entry is gone (its slot freed): no lookup of "." finds it.
void no_dot(const std::string& img)
{
    std::vector<imgb::Node> kids;
    for (int i = 0; i < 44; ++i)
        kids.push_back(imgb::file(fmt("f%02d", i), "f"));
    imgb::Result r = imgb::write_image(disk_of({imgb::dir("d1", kids)}), img);
    ASSERT_TRUE(r.ok);
    ASSERT_TRUE(imgb::patch(img, (kFirst + int64_t{r.nodes["7:/d1"].extents[0].block}) * 512 + 4, {0}));
}

// sb_size 0x7FFFFFF0 with its checksum redone, and a directory of 32767 extents all over the same
// 248 blocks, each block 196 slots naming one entry of a 255-byte name: 1.59 billion entries in
// an image of less than a megabyte, were each extent read.
void memory_bomb(const std::string& img)
{
    imgb::Node pad = imgb::file("pad", std::string(248 * 512, 'p'));
    pad.extent_blocks = 248;
    imgb::Node bomb = imgb::dir("bomb", {imgb::file(kLong, "x")});
    bomb.extents = 2;
    bomb.zero_length_at.assign(32765, 1);
    imgb::Result r = imgb::write_image(disk_of({pad, bomb}), img);
    ASSERT_TRUE(r.ok);
    const imgb::NodeInfo& info = r.nodes["7:/bomb"];
    ASSERT_EQ(info.extents.size(), 32767u);
    const uint32_t blocks = r.nodes["7:/pad"].extents[0].block;
    const uint32_t entry = r.nodes["7:/bomb/" + kLong].inode;
    std::vector<uint8_t> block(512, 0);
    block[0] = 0xBE, block[1] = 0xEF, block[3] = 196;
    for (int i = 0; i < 196; ++i)
        block[4 + i] = 125;  // the entry at byte 250: 4 + 1 + 255 bytes, to the block's end but two
    put32(block, 250, entry);
    block[254] = 255;
    std::fill(block.begin() + 255, block.begin() + 510, 'N');
    std::vector<uint8_t> all;
    for (int i = 0; i < 248; ++i)
        all.insert(all.end(), block.begin(), block.end());
    ASSERT_TRUE(imgb::patch(img, (kFirst + int64_t{blocks}) * 512, all));
    uint32_t logical = 0;
    for (const imgb::ExtentInfo& ind : info.indirect) {
        std::vector<uint8_t> ext(size_t{ind.length} * 512);
        for (size_t k = 0; k < ext.size() / 8 && logical < info.extents.size(); ++k, ++logical) {
            uint8_t* x = &ext[k * 8];
            uint32_t off = logical * 248;
            x[0] = 0, x[1] = uint8_t(blocks >> 16), x[2] = uint8_t(blocks >> 8), x[3] = uint8_t(blocks);
            x[4] = 248, x[5] = uint8_t(off >> 16), x[6] = uint8_t(off >> 8), x[7] = uint8_t(off);
        }
        ASSERT_TRUE(imgb::patch(img, (kFirst + int64_t{ind.block}) * 512, ext));
    }
    std::vector<uint8_t> sb(92);
    FILE* f = std::fopen(img.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fseek(f, (kFirst + 1) * 512, SEEK_SET);
    ASSERT_EQ(std::fread(sb.data(), 1, sb.size(), f), sb.size());
    std::fclose(f);
    put32(sb, 0, 0x7FFFFFF0);
    put32(sb, 88, imgb::superblock_checksum(sb.data()));
    ASSERT_TRUE(imgb::patch(img, (kFirst + 1) * 512, sb));
}

std::vector<std::string> ten_copied()
{
    std::vector<std::string> t = {"d/"};
    for (int i = 2; i < 10; ++i)
        t.push_back("d/m" + std::to_string(i) + ":3");
    return t;
}

std::vector<std::string> f44_copied()
{
    std::vector<std::string> t = {"d1/"};
    for (int i = 0; i < 44; ++i)
        t.push_back(fmt("d1/f%02d:1", i));
    std::sort(t.begin(), t.end());
    return t;
}

class Salvage : public ImageSession {
protected:
    void SetUp() override
    {
        // The memory bomb's copy writes one file some 48,000 times over: in memory, the time is efsh's.
        std::error_code ec;
        char buf[] = "/dev/shm/efsh-test-XXXXXX";
        start(std::filesystem::is_directory("/dev/shm", ec) && mkdtemp(buf) ? buf : make_scratch_dir());
    }
};

TEST_F(Salvage, DamagedDirectoriesComeOutWholeAndSayItOnce)
{
    const SalvageCase cases[] = {
        {"a bad block inside a directory's one extent", ten_files, "/d", ten_copied(),
         "/d: block 1: Bad magic number\n", 2, ""},  // it stops at the bad block
        {"a directory without its \".\" entry", no_dot, "/d1", f44_copied(), "", 0,
         "ls .\nopendir: No such file or directory\n"},
        {"a directory of 32767 extents over the same blocks, sb_size far past the image", memory_bomb, "/bomb",
         {"bomb/", "bomb/" + kLong + ":1"}, "/bomb: block 248: Read error, 32766 damaged in all\n", -1, ""},
    };
    for (const SalvageCase& c : cases) {
        SCOPED_TRACE(c.name);
        remove_tree(dir_ + "/T");
        std::remove((dir_ + "/t.tar").c_str());
        ASSERT_EQ(std::system(("mkdir -p " + dir_ + "/T").c_str()), 0);
        c.make(img);
        std::string image = read_file(img);
        opt.timeout_seconds = hang_seconds();
        opt.measure_peak = true;
        run_result cp = run("cp -r " + c.top + " T\nbye\n");
        EXPECT_EQ(cp.status, 0);
        EXPECT_EQ(cp.err, c.report);
        EXPECT_EQ(host_tree(dir_ + "/T"), c.copied);
        run_result tar = run("tar " + c.top + " t.tar\nbye\n");
        EXPECT_EQ(tar.status, 0);
        EXPECT_EQ(tar.err, c.report);
        // The archive holds what the copy holds (each name once, however often it is listed).
        std::string want;
        for (std::string p : c.copied)
            want += p.substr(0, p.find(':')) + "\n";
        EXPECT_EQ(sorted_lines("tar -tf " + dir_ + "/t.tar"), sorted_lines("printf '" + want + "'"));
        EXPECT_LT(cp.peak_kb, 64 * 1024);  // 0 where it cannot be measured
        EXPECT_LT(tar.peak_kb, 64 * 1024);
        if (c.listed >= 0) {
            run_result ls = run("cd " + c.top + "\nls\nbye\n");
            EXPECT_EQ(std::count(ls.out.begin(), ls.out.end(), '\n'), c.listed);
            EXPECT_EQ(ls.err, c.ls_err);
        }
        EXPECT_TRUE(read_file(img) == image) << "the image was written";
    }
}

// -d says what bounds the walks when sb_size claims more than the partition and the image hold,
// after every line it always gave; a sound image gives no such line.
TEST_F(Salvage, DebugNamesTheBoundOfTheWalks)
{
    memory_bomb(img);
    run_result r = run_efsh({"-d", "-p", "7", img}, "bye\n", opt);
    const std::string tail = "\tsectors the partition and the image hold of it: the bound of every walk\n";
    ASSERT_GT(r.err.size(), tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
    size_t line = r.err.rfind('\n', r.err.size() - tail.size() - 1) + 1;
    long bound = std::atol(r.err.c_str() + line);
    EXPECT_GT(bound, 248);
    EXPECT_LE(bound * 512, static_cast<long>(read_file(img).size()) - kFirst * 512);
    EXPECT_NE(r.err.find("2147483632\tsize of filesystem, in sectors\n"), std::string::npos);
    ASSERT_TRUE(imgb::write_image(disk_of({imgb::file("f", "x")}), img).ok);
    EXPECT_EQ(run_efsh({"-d", "-p", "7", img}, "bye\n", opt).err.find(tail), std::string::npos);
}

}  // namespace
