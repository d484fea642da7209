// End-to-end: every damage switch of the image builder driven through the real binary, outputs compared exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>

#include "damaged_images.h"
#include "run_efsh.h"

namespace {

const std::string kReadError = "fs_fread: Read error\n";

// The outcome every run must have whatever the image holds: status 0, and an end (its time and
// memory are bench/run's to measure).
void expect_bounded(const run_result& r)
{
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.timed_out);
}

class Damage : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_scratch_dir();
        use_stand_in_less(dir_, opt_);
        opt_.timeout_seconds = hang_seconds();
        opt_.measure_peak = true;
    }
    void TearDown() override { remove_tree(dir_); }

    // A fresh host side for the next case: the pager's log, the copies and the target directory go.
    void reset_host()
    {
        for (const char* p : {"/less.log", "/out", "/T", "/disk.img"})
            remove_tree(dir_ + p);
        std::filesystem::create_directory(dir_ + "/T");
    }
    imgb::Result build(const imgb::Disk& d)
    {
        imgb::Result r = imgb::write_image(d, dir_ + "/disk.img");
        EXPECT_TRUE(r.ok) << r.error;
        return r;
    }
    // Runs the script and checks what must hold for any image: bounds, the image untouched, and
    // nothing on the host but the pager's log, `out` and what lies under T.
    run_result run(const std::string& script)
    {
        std::string image = read_file(dir_ + "/disk.img");
        std::vector<std::string> before = host_outside_target(dir_);
        run_result r = run_efsh({"-p", "7", "disk.img"}, script, opt_);
        expect_bounded(r);
        EXPECT_LT(r.peak_kb, kPeakLimitKiB);  // 0 where it cannot be measured
        EXPECT_TRUE(read_file(dir_ + "/disk.img") == image) << "the image was written";
        EXPECT_EQ(host_outside_target(dir_), before);
        return r;
    }
    std::string prompts(int n) const { return prompts_of("disk.img", n); }

    std::string dir_;
    run_options opt_;
};

// ---------------------------------------------------------------------------------------------
// A header or superblock that does not pass: efsh says why and never reaches the prompt.

TEST_F(Damage, HeaderAndSuperblockStopEfshBeforeThePrompt)
{
    for (const StartCase& c : kStartCases) {
        SCOPED_TRACE(c.name);
        reset_host();
        build(start_disk(c));
        run_result r = run("ls\ncp -r / T\nbye\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, start_err(c, "disk.img"));
        EXPECT_EQ(host_tree(dir_ + "/T"), std::vector<std::string>{});
    }
}

// ---------------------------------------------------------------------------------------------
// One damaged node in a tree of two files and two directories, each kind laid out with direct
// extents and with indirect ones. The script lists the root, enters the node, pages it, copies it
// and copies the whole tree; everything it prints is compared, and so are the bytes copied.

// The host tree of a clean cp -r / T, with the target's part replaced by what the case leaves.
std::vector<std::string> expected_copy(const NodeCase& c, int64_t bytes)
{
    std::vector<std::string> t = {"f:3000", "g:10140", "ok:3", "d/", "e/"};
    for (char dir : {'d', 'e'})
        for (const auto& [name, size] : children_of(dir))
            t.push_back(std::string(1, dir) + "/" + name + ":" + std::to_string(size));
    std::string x(1, c.target);
    std::erase_if(t, [&](const std::string& p) { return p.rfind(x + ":", 0) == 0 || p.rfind(x + "/", 0) == 0; });
    if (c.inode_error.empty()) {
        if (c.target == 'f' || c.target == 'g') {
            t.push_back(x + ":" + std::to_string(bytes));
        } else {
            t.push_back(x + "/");
            std::vector<std::pair<std::string, int>> kids = children_of(c.target);
            for (int i = 0; i < static_cast<int>(kids.size()); ++i)
                if (std::find(c.lost.begin(), c.lost.end(), i) == c.lost.end() && c.lost != std::vector<int>{kAll})
                    t.push_back(x + "/" + kids[i].first + ":" + std::to_string(kids[i].second));
        }
    }
    std::sort(t.begin(), t.end());
    return t;
}

TEST_F(Damage, EveryNodeDamageOnFilesAndDirectoriesDirectAndIndirect)
{
    for (const NodeCase& c : kNodeCases) {
        SCOPED_TRACE(c.name);
        reset_host();
        imgb::Result r = build(imgb::simple_disk(damage_tree(c)));
        const std::string x(1, c.target);
        const bool is_dir = c.target == 'd' || c.target == 'e';
        auto ino = [&](const std::string& path) { return static_cast<int>(r.nodes["7:" + path].inode); };

        // Sizes as built: d has 3 blocks, e 15, and an entry past the end takes one more.
        const int extra = c.damage.entry_past_end ? 512 : 0;
        auto listed_size = [&](char t, int built) { return c.target == t && c.size ? *c.size : built; };
        const int d_size = 1536 + (c.target == 'd' ? extra : 0), e_size = 7680 + (c.target == 'e' ? extra : 0);
        const char* file_line = "- %6d 0644  1     0     0 %7d Jan  1 00:00 %s\n";
        const char* dir_line = "d %6d 0755 %2d     0     0 %7d Jan  1 00:00 %s\n";
        const std::vector<std::pair<std::string, std::string>> root = {
            {".", fmt(dir_line, ino("/"), 4, 512, ".")},
            {"..", fmt(dir_line, ino("/"), 4, 512, "..")},
            {"f", fmt(file_line, ino("/f"), listed_size('f', 3000), "f")},
            {"g", fmt(file_line, ino("/g"), listed_size('g', 10140), "g")},
            {"d", fmt(dir_line, ino("/d"), 2, listed_size('d', d_size), "d")},
            {"e", fmt(dir_line, ino("/e"), 2, listed_size('e', e_size), "e")},
            {"ok", fmt(file_line, ino("/ok"), 3, "ok")},
        };
        std::string short_root, long_root;
        for (const auto& [name, line] : root) {
            short_root += fmt("%10d %24s\n", name == "." || name == ".." ? ino("/") : ino("/" + name), name.c_str());
            long_root += name == x && !c.inode_error.empty() ? "stat: " + c.inode_error + "\n" : line;
        }

        // What the node's data is: the file's bytes padded to whole blocks, or the directory's blocks.
        std::string padded = c.target == 'f' ? imgb::pattern(3000, 11) : imgb::pattern(10140, 12);
        padded.resize((padded.size() + 511) / 512 * 512, '\0');
        const int64_t whole = c.target == 'f' ? 3000 : c.target == 'g' ? 10140 : c.target == 'd' ? d_size : e_size;
        const int64_t bytes = c.bytes == kAll ? whole : c.bytes;
        const std::string read_msg = c.read_error ? kReadError : "";
        const std::string bad = c.inode_error.empty() ? "" : x + ": " + c.inode_error + "\n";

        std::string script = "ls\nls -l\ncd " + x + "\n";
        if (is_dir)
            script += "ls\ncd /\n";
        script += "more " + x + "\ncp " + x + " out\ncp -r / T\nbye\n";
        run_result s = run(script);

        std::string out = prompts(1) + short_root + prompts(2);
        std::string err = long_root;
        err += !bad.empty() ? bad : is_dir ? "" : x + ": Not a directory\n";
        if (is_dir) {
            out += prompts(1);
            if (!bad.empty()) {
                out += short_root;  // the cd failed: ls lists the root again
            } else if (c.listed == kNone) {
                err += "ls .\nopendir: No such file or directory\n";
            } else {
                std::vector<std::string> names = {".", ".."};
                std::vector<int> inos = {ino("/" + x), ino("/")};
                for (const auto& [name, size] : children_of(c.target)) {
                    names.push_back(name);
                    inos.push_back(ino("/" + x + "/" + name));
                }
                size_t n = c.listed == kAll ? names.size() : static_cast<size_t>(c.listed);
                for (size_t i = 0; i < n; ++i)
                    out += fmt("%10d %24s\n", inos[i], names[i].c_str());
                // ls stops at the damage cp -r passes over, and says so; a block without its mark at
                // the start of an extent it lists as it always has.
                if (!c.salvage.empty() && c.damage.bad_dir_magic_blocks.empty())
                    err += "/" + x + ": the listing ends at damage; cp -r, tar and manifest take the entries past it\n";
            }
            out += prompts(1);
        }
        out += prompts(4);
        if (!bad.empty()) {
            err += "fs_fopen: " + c.inode_error + "\n" + bad + bad + bad;
        } else {
            err += read_msg + read_msg;
            if (!is_dir)
                err += read_msg;
            else if (!c.salvage.empty())
                err += "/" + x + ": " + c.salvage + "\n";
        }
        EXPECT_EQ(s.out, out);
        EXPECT_EQ(s.err, err);

        EXPECT_EQ(host_tree(dir_ + "/T"), expected_copy(c, bytes));
        if (!bad.empty()) {
            EXPECT_EQ(read_file(dir_ + "/less.log"), "");
            EXPECT_FALSE(std::filesystem::exists(dir_ + "/out"));
        } else if (is_dir) {
            EXPECT_EQ(read_file(dir_ + "/out").size(), static_cast<size_t>(bytes));
            EXPECT_EQ(read_file(dir_ + "/less.log"), read_file(dir_ + "/out"));
        } else {
            const std::string want = padded.substr(0, static_cast<size_t>(bytes));
            EXPECT_TRUE(read_file(dir_ + "/out") == want) << "cp delivered other bytes";
            EXPECT_TRUE(read_file(dir_ + "/less.log") == want) << "more delivered other bytes";
            EXPECT_TRUE(read_file(dir_ + "/T/" + x) == want) << "cp -r delivered other bytes";
        }
    }
}

// ---------------------------------------------------------------------------------------------
// An image cut short after the superblock: inodes and data that lie past the cut read as errors.

TEST_F(Damage, ImageCutInsideTheInodesOfASecondCylinderGroup)
{
    for (const CutCase& c : cut_cases()) {
        if (c.extent >= 0)
            continue;
        reset_host();
        imgb::Result r = write_cut_image(c, dir_ + "/disk.img");
        ASSERT_TRUE(r.ok) << r.error;
        int near = static_cast<int>(r.nodes["7:/near"].inode);
        run_result s = run("ls\nls -l\nmore far\ncp far out\ncp -r / T\nmore near\nbye\n");
        EXPECT_EQ(s.out, prompts(1) + fmt("%10d %24s\n%10d %24s\n%10d %24s\n%10d %24s\n", 2, ".", 2, "..", near, "near", 13, "far") +
                             prompts(6));
        EXPECT_EQ(s.err, fmt("d      2 0755  2     0     0     512 Jan  1 00:00 .\n"
                             "d      2 0755  2     0     0     512 Jan  1 00:00 ..\n"
                             "- %6d 0644  1     0     0       5 Jan  1 00:00 near\n", near) +
                             "stat: Read error\nfs_fopen: Read error\nfar: Read error\nfar: Read error\nfar: Read error\n");
        EXPECT_EQ(host_tree(dir_ + "/T"), std::vector<std::string>{"near:5"});
        EXPECT_EQ(read_file(dir_ + "/less.log"), "near\n");
    }
}

TEST_F(Damage, ImageCutInsideTheDataOfItsLastFile)
{
    for (const CutCase& c : cut_cases()) {
        if (c.extent < 0)
            continue;
        SCOPED_TRACE(c.name);
        reset_host();
        imgb::Result r = write_cut_image(c, dir_ + "/disk.img");
        ASSERT_TRUE(r.ok) << r.error;
        run_result s = run("ls -l\nmore last\ncp last out\ncp -r / T\nbye\n");
        EXPECT_EQ(s.out, prompts(5));
        EXPECT_EQ(s.err, "d      2 0755  2     0     0     512 Jan  1 00:00 .\n"
                         "d      2 0755  2     0     0     512 Jan  1 00:00 ..\n"
                         "-      3 0644  1     0     0       3 Jan  1 00:00 ok\n"
                         "-      4 0644  1     0     0    3000 Jan  1 00:00 last\n" +
                             kReadError + kReadError + kReadError);
        const std::string want = imgb::pattern(3000, 5).substr(0, static_cast<size_t>(c.extent) * 1024);
        EXPECT_TRUE(read_file(dir_ + "/less.log") == want);
        EXPECT_TRUE(read_file(dir_ + "/out") == want);
        EXPECT_TRUE(read_file(dir_ + "/T/last") == want);
        EXPECT_EQ(read_file(dir_ + "/T/ok"), "ok\n");
    }
}

// An extent of no blocks is no damage: the file reader passes over it, and so must ls and cp -r.
TEST_F(Damage, EmptyExtentsInADirectoryHideNoEntry)
{
    imgb::Node d = imgb::dir("d", {imgb::file("a", "a\n"), imgb::file("b", "b\n"), imgb::file("c", "c\n")});
    d.dir_entries_per_block = 2;
    d.zero_length_at = {1, 2};
    reset_host();
    imgb::Result r = build(imgb::simple_disk({d}));
    run_result s = run("cd d\nls\ncp -r /d T\nbye\n");
    std::string want = prompts(2);
    for (const char* n : {".", "..", "a", "b", "c"}) {
        std::string key = std::string(n) == "." ? "7:/d" : std::string(n) == ".." ? "7:/" : "7:/d/" + std::string(n);
        want += fmt("%10d %24s\n", static_cast<int>(r.nodes[key].inode), n);
    }
    EXPECT_EQ(s.out, want + prompts(2));
    EXPECT_EQ(s.err, "");
    EXPECT_EQ(host_tree(dir_ + "/T"), (std::vector<std::string>{"d/", "d/a:2", "d/b:2", "d/c:2"}));
}

}  // namespace
