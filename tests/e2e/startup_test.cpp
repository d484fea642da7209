// End-to-end: the command line, the partition summary, opening failures and the prompt loop.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "run_efsh.h"
#include "tests/support/image_builder.h"

namespace {

const std::string USAGE = "Use: " + efsh_progname() + " [-hd] [-p part] file\n";

class Startup : public ::testing::Test {
protected:
    void SetUp() override { dir = make_scratch_dir(); }
    void TearDown() override { remove_tree(dir); }
    std::string image(const imgb::Disk& d, const std::string& name = "disk.img")
    {
        std::string path = dir + "/" + name;
        imgb::Result r = imgb::write_image(d, path);
        EXPECT_TRUE(r.ok) << r.error;
        return path;
    }
    std::string simple() { return image(imgb::simple_disk({imgb::file("readme", "hello\n")})); }
    std::string dir;
};

TEST_F(Startup, ProgramNameIsCutAtBackslashOnly)
{
    run_options o;
    o.argv0 = "C:\\tools\\efsh.exe";
    run_result r = run_efsh({}, "", o);
    EXPECT_EQ(r.err, "Use: efsh.exe [-hd] [-p part] file\n");
    o.argv0 = "/usr/bin/efsh";
    r = run_efsh({}, "", o);
    EXPECT_EQ(r.err, "Use: /usr/bin/efsh [-hd] [-p part] file\n");
}

TEST_F(Startup, SummaryListsTypesFiveAndSevenOnly)
{
    imgb::Disk d = imgb::simple_disk({imgb::file("a", "x")});
    d.cylinders = 1024;
    d.tracks_per_cyl = 8;
    d.sectors_per_track = 64;
    d.partitions.push_back({0, 0, 100000, 2047, std::nullopt});   // volume header type: not listed
    d.partitions.push_back({3, 5, 200000, 4096, std::nullopt});   // SysV: listed
    d.partitions.push_back({4, 7, 300000, 0, std::nullopt});      // empty: not listed
    d.partitions.push_back({5, 3, 400000, 8192, std::nullopt});   // raw data: not listed
    d.partitions.push_back({6, 7, 500000, 2047, std::nullopt});   // rounds down to 0
    std::string img = image(d);
    run_result r = run_efsh({img}, "");
    imgb::Result info;
    EXPECT_EQ(r.out, "");
    ASSERT_NE(r.err.find("\t256 Mb\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(0, 9), "\t256 Mb\n\t");
    EXPECT_NE(r.err.find("\t3\t2 Mb\n\t6\t0 Mb\n\t7\t"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("\t0\t"), std::string::npos);
    EXPECT_EQ(r.err.find("\t4\t"), std::string::npos);
    EXPECT_EQ(r.err.find("\t5\t"), std::string::npos);
}

// Command lines and images that never reach a prompt: what is said, nothing on standard output,
// and status 0 all the same.
TEST_F(Startup, UsageOpenAndMountFailures)
{
    auto with = [&](const char* name, auto change) {
        imgb::Disk d = imgb::simple_disk({});
        change(d);
        return image(d, name);
    };
    auto sb = [&](const char* name, bool imgb::FsDamage::*flag) {
        return with(name, [&](imgb::Disk& d) { d.partitions[0].fs->damage.*flag = true; });
    };
    const std::string img = simple(), prog = efsh_progname();
    const std::string parts = with("parts.img", [](imgb::Disk& d) { d.partitions.push_back({2, 3, 900000, 100, std::nullopt}); });
    write_file(dir + "/short.img", std::string(100, '\0'));
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, USAGE},
        {{"-h"}, USAGE},
        {{"-V"}, USAGE},
        {{"-h", "x.img"}, USAGE},
        {{"-x", "img"}, efsh_argv0() + ": illegal option -- x\n" + USAGE},
        {{"-p"}, efsh_argv0() + ": option requires an argument -- p\n" + USAGE},
        {{"-p", "16", img}, prog + ": invalid partition (16)\nmount fs: Bad partition\n"},
        {{"-p", "abc", img}, "mount fs: Empty partition\n"},
        // Beyond an int: held at the limit, never wrapped into the summary's -1.
        {{"-p", "18446744073709551615", img}, prog + ": invalid partition (2147483647)\nmount fs: Bad partition\n"},
        {{"-p", "7", dir + "/missing.img"}, "open disk: No such file or directory\n"},
        {{dir + "/short.img"}, "open disk: Read error\n" + dir + "/short.img: 100 bytes: too short to be a disk image\n"},
        {{with("ck.img", [](imgb::Disk& d) { d.damage.bad_checksum = true; })}, "open disk: Bad checksum\n"},
        {{with("mg.img", [](imgb::Disk& d) { d.damage.bad_checksum = d.damage.bad_magic = true; })},
         "open disk: Bad magic number\n"},
        {{with("mg2.img", [](imgb::Disk& d) { d.damage.bad_magic = true; })}, "open disk: Bad magic number\n"},
        {{"-p", "2", parts}, "mount fs: Bad partition\n"},
        {{"-p", "9", parts}, "mount fs: Empty partition\n"},
        {{"-p", "7", sb("sb0.img", &imgb::FsDamage::bad_magic)}, "mount fs: Bad magic number\n"},
        {{"-p", "7", sb("sb1.img", &imgb::FsDamage::bad_checksum)}, "mount fs: Bad magic number\n"},
        {{"-p", "7", sb("sb2.img", &imgb::FsDamage::negative_free_blocks)}, "mount fs: Bad magic number\n"},
        {{"-p", "7", sb("sb3.img", &imgb::FsDamage::negative_free_inodes)}, "mount fs: Bad magic number\n"},
        // A position before the image: never wraps.
        {{"-p", "4", with("neg.img", [](imgb::Disk& d) { d.partitions.push_back({4, 7, -5, 100, std::nullopt}); })},
         "mount fs: Seek error\n"},
        {{"-p", "7", with("trunc.img", [](imgb::Disk& d) {
              d.partitions[0].first_block = 5000000;
              d.damage.truncate_to = 4096;
          })},
         "mount fs: Read error\n"},
    };
    for (const auto& [args, err] : cases) {
        std::string line;
        for (const std::string& a : args)
            line += a + " ";
        SCOPED_TRACE(line);
        run_result r = run_efsh(args, "");
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST_F(Startup, PartitionOptionValues)
{
    std::string img = simple();
    run_result r = run_efsh({"-p", "-1", img}, "");
    EXPECT_EQ(r.err.rfind(efsh_progname() + ": invalid partition (-1)\n", 0), 0u);
    EXPECT_NE(r.err.find(" Mb\n"), std::string::npos);
    EXPECT_EQ(r.out, "");
    r = run_efsh({"-p", "3", "-p7", img}, "bye\n");
    EXPECT_EQ(r.out, img + "(7) # ");
    EXPECT_EQ(r.err, "");
}

// Full file systems (no free blocks, no free inodes, or neither: an old disk that filled up) and
// a partition beyond 2 GiB still read.
TEST_F(Startup, FullAndFarFileSystemsMount)
{
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        imgb::Disk d = imgb::simple_disk({imgb::dir("d", {imgb::file("x", "full\n")})});
        d.partitions[0].fs->damage.zero_free_blocks = k == 0 || k == 2;
        d.partitions[0].fs->damage.zero_free_inodes = k == 1 || k == 2;
        if (k == 3)
            d.partitions[0].first_block = 5000000;
        std::string img = image(d, "full" + std::to_string(k) + ".img");
        std::string t = dir + "/T" + std::to_string(k);
        std::filesystem::create_directory(t);
        run_result r = run_efsh({"-p", "7", img}, "cd d\nls\ncp -r / " + t + "\nbye\n");
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find(" x\n"), std::string::npos) << r.out;
        EXPECT_EQ(read_file(t + "/d/x"), "full\n");
    }
}

// The prompt loop: its words and messages, the end of input with and without a final newline
// (a last line without one is not run), and lcd.
TEST_F(Startup, PromptLoopWordsMessagesAndEndOfInput)
{
    std::string img = simple();
    const std::tuple<std::string, int, std::string> cases[] = {
        {"\n \t \n!\n!ls\n ! ls\nLS\nfoo bar\ndebug\ndebug\nlcd\ncd\nmore\nbye now\nls\n", 13,
         "sorry '!' feature not supported on this system\n"
         "duh?\ndebug ls bye pwd lcd cd cp more !cmd\n"
         "duh?\ndebug ls bye pwd lcd cd cp more !cmd\n"
         "duh?\ndebug ls bye pwd lcd cd cp more !cmd\n"
         "debug on\ndebug off\nuse: lcd path\nuse: cd path\nuse: more file\n"},
        {"pwd\n", 2, "/\n"},
        {"pwd\npwd", 2, "/\n"},
        {"", 1, ""},
        {"lcd /nonexistent-dir\ncp readme out\nbye\n", 3, "/nonexistent-dir: No such file or directory\n"},
    };
    for (const auto& [input, prompts, err] : cases) {
        run_result r = run_efsh({"-p", "7", img}, input, {dir, {}, {}});
        EXPECT_EQ(r.out, prompts_of(img, prompts)) << input;
        EXPECT_EQ(r.err, err) << input;
        EXPECT_EQ(r.status, 0) << input;
    }
    EXPECT_EQ(read_file(dir + "/out"), "hello\n");
}

TEST_F(Startup, DebugReportsComeBeforeTheFirstPromptOnlyWithAPartition)
{
    std::string img = simple();
    run_result r = run_efsh({"-d", "-p", "7", img}, "bye\n");
    EXPECT_EQ(r.out, img + "(7) # ");
    EXPECT_EQ(r.err.rfind("be5a941\tidentifies volume header (should be be5a941)\n", 0), 0u) << r.err;
    size_t sb = r.err.find("\tsize of filesystem, in sectors\n");
    ASSERT_NE(sb, std::string::npos);
    EXPECT_LT(r.err.find("xchecksum of sector\n"), sb);
    EXPECT_NE(r.err.find("72959\tmagic number (should be 72959)\n"), std::string::npos);
    EXPECT_EQ(r.err.substr(r.err.size() - 34), "\tchecksum of volume portion of fs\n");
    run_result none = run_efsh({"-d", img}, "");
    EXPECT_EQ(none.err.find("identifies"), std::string::npos);
}

}  // namespace
