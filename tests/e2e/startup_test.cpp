// End-to-end: the command line, the partition summary, opening failures and the prompt loop.
#include <gtest/gtest.h>

#include <filesystem>

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

TEST_F(Startup, UsageForMissingOperandHelpVersionAndBadOptions)
{
    for (auto args : std::vector<std::vector<std::string>>{{}, {"-h"}, {"-V"}, {"-h", "x.img"}}) {
        run_result r = run_efsh(args, "");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, USAGE);
        EXPECT_EQ(r.status, 0);
    }
    run_result r = run_efsh({"-x", "img"}, "");
    EXPECT_EQ(r.err, efsh_argv0() + ": illegal option -- x\n" + USAGE);
    r = run_efsh({"-p"}, "");
    EXPECT_EQ(r.err, efsh_argv0() + ": option requires an argument -- p\n" + USAGE);
    EXPECT_EQ(r.status, 0);
}

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

TEST_F(Startup, PartitionOptionValues)
{
    std::string img = simple();
    run_result r = run_efsh({"-p", "16", img}, "");
    EXPECT_EQ(r.err, efsh_progname() + ": invalid partition (16)\nmount fs: Bad partition\n");
    r = run_efsh({"-p", "-1", img}, "");
    EXPECT_EQ(r.err.rfind(efsh_progname() + ": invalid partition (-1)\n", 0), 0u);
    EXPECT_NE(r.err.find(" Mb\n"), std::string::npos);
    EXPECT_EQ(r.out, "");
    r = run_efsh({"-p", "abc", img}, "");
    EXPECT_EQ(r.err, "mount fs: Empty partition\n");
    // Beyond an int: held at the limit, never wrapped into the summary's -1.
    r = run_efsh({"-p", "18446744073709551615", img}, "");
    EXPECT_EQ(r.err, efsh_progname() + ": invalid partition (2147483647)\nmount fs: Bad partition\n");
    r = run_efsh({"-p", "3", "-p7", img}, "bye\n");
    EXPECT_EQ(r.out, img + "(7) # ");
    EXPECT_EQ(r.err, "");
}

TEST_F(Startup, OpenFailures)
{
    run_result r = run_efsh({"-p", "7", dir + "/missing.img"}, "");
    EXPECT_EQ(r.err, "open disk: No such file or directory\n");
    write_file(dir + "/short.img", std::string(100, '\0'));
    r = run_efsh({dir + "/short.img"}, "");
    EXPECT_EQ(r.err, "open disk: Read error\n");
    imgb::Disk d = imgb::simple_disk({});
    d.damage.bad_checksum = true;
    r = run_efsh({image(d, "ck.img")}, "");
    EXPECT_EQ(r.err, "open disk: Bad checksum\n");
    d.damage.bad_magic = true;
    r = run_efsh({image(d, "mg.img")}, "");
    EXPECT_EQ(r.err, "open disk: Bad magic number\n");
    d.damage.bad_checksum = false;
    r = run_efsh({image(d, "mg2.img")}, "");
    EXPECT_EQ(r.err, "open disk: Bad magic number\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Startup, MountFailures)
{
    imgb::Disk d = imgb::simple_disk({});
    d.partitions.push_back({2, 3, 900000, 100, std::nullopt});
    std::string img = image(d);
    EXPECT_EQ(run_efsh({"-p", "2", img}, "").err, "mount fs: Bad partition\n");
    EXPECT_EQ(run_efsh({"-p", "9", img}, "").err, "mount fs: Empty partition\n");
    for (int k = 0; k < 4; ++k) {
        imgb::Disk b = imgb::simple_disk({});
        imgb::FsDamage& fd = b.partitions[0].fs->damage;
        (k == 0 ? fd.bad_magic : k == 1 ? fd.bad_checksum : k == 2 ? fd.negative_free_blocks : fd.negative_free_inodes) = true;
        run_result r = run_efsh({"-p", "7", image(b, "sb" + std::to_string(k) + ".img")}, "");
        EXPECT_EQ(r.err, "mount fs: Bad magic number\n") << k;
        EXPECT_EQ(r.out, "");
    }
    imgb::Disk neg = imgb::simple_disk({});
    neg.partitions.push_back({4, 7, -5, 100, std::nullopt});  // a position before the image: never wraps
    EXPECT_EQ(run_efsh({"-p", "4", image(neg, "neg.img")}, "").err, "mount fs: Seek error\n");
    imgb::Disk far = imgb::simple_disk({});
    far.partitions[0].first_block = 5000000;
    far.damage.truncate_to = 4096;
    EXPECT_EQ(run_efsh({"-p", "7", image(far, "trunc.img")}, "").err, "mount fs: Read error\n");
}

// An old disk that filled up: no free blocks, no free inodes, or neither, and it still reads.
TEST_F(Startup, FullFileSystemsMount)
{
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        imgb::Disk d = imgb::simple_disk({imgb::dir("d", {imgb::file("x", "full\n")})});
        d.partitions[0].fs->damage.zero_free_blocks = k != 1;
        d.partitions[0].fs->damage.zero_free_inodes = k != 0;
        std::string img = image(d, "full" + std::to_string(k) + ".img");
        std::string t = dir + "/T" + std::to_string(k);
        std::filesystem::create_directory(t);
        run_result r = run_efsh({"-p", "7", img}, "cd d\nls\ncp -r / " + t + "\nbye\n");
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find(" x\n"), std::string::npos) << r.out;
        EXPECT_EQ(read_file(t + "/d/x"), "full\n");
    }
}

TEST_F(Startup, PartitionBeyondTwoGibMounts)
{
    imgb::Disk d = imgb::simple_disk({imgb::file("far", "far away\n")});
    d.partitions[0].first_block = 5000000;
    std::string img = image(d);
    run_result r = run_efsh({"-p", "7", img}, "ls\nbye\n");
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(" far\n"), std::string::npos) << r.out;
}

TEST_F(Startup, PromptLoopWordsAndMessages)
{
    std::string img = simple();
    std::string p = img + "(7) # ";
    run_result r = run_efsh({"-p", "7", img},
                            "\n \t \n!\n!ls\n ! ls\nLS\nfoo bar\ndebug\ndebug\nlcd\ncd\nmore\nbye now\nls\n");
    EXPECT_EQ(r.out, p + p + p + p + p + p + p + p + p + p + p + p + p);
    EXPECT_EQ(r.err,
              "sorry '!' feature not supported on this system\n"
              "duh?\ndebug ls bye pwd lcd cd cp more !cmd\n"
              "duh?\ndebug ls bye pwd lcd cd cp more !cmd\n"
              "duh?\ndebug ls bye pwd lcd cd cp more !cmd\n"
              "debug on\ndebug off\nuse: lcd path\nuse: cd path\nuse: more file\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Startup, EndOfInputWithAndWithoutFinalNewline)
{
    std::string img = simple();
    std::string p = img + "(7) # ";
    EXPECT_EQ(run_efsh({"-p", "7", img}, "pwd\n").err, "/\n");
    run_result r = run_efsh({"-p", "7", img}, "pwd\npwd");
    EXPECT_EQ(r.err, "/\n");
    EXPECT_EQ(r.out, p + p);
    EXPECT_EQ(run_efsh({"-p", "7", img}, "").out, p);
}

TEST_F(Startup, LcdChangesTheHostDirectoryOrReports)
{
    std::string img = simple();
    run_result r = run_efsh({"-p", "7", img}, "lcd /nonexistent-dir\ncp readme out\nbye\n", {dir, {}, {}});
    EXPECT_EQ(r.err, "/nonexistent-dir: No such file or directory\n");
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
