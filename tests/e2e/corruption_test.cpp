// End-to-end: every damage switch of the image builder driven through the real binary, outputs compared exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sys/stat.h>

#include "run_efsh.h"
#include "tests/support/image_builder.h"

namespace {

using imgb::NodeDamage;

constexpr int kAll = -2;   // the whole directory or file
constexpr int kNone = -1;  // the directory cannot be opened
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

struct StartCase {
    const char* name;
    imgb::DiskDamage disk{};
    imgb::FsDamage fs{};
    std::string err{};
};

imgb::DiskDamage bad_disk(bool magic, bool checksum, int64_t cut = -1)
{
    imgb::DiskDamage d;
    d.bad_magic = magic;
    d.bad_checksum = checksum;
    d.truncate_to = cut;
    return d;
}

imgb::FsDamage bad_fs(bool magic, bool checksum, bool free_blocks, bool free_inodes)
{
    imgb::FsDamage d;
    d.bad_magic = magic;
    d.bad_checksum = checksum;
    d.negative_free_blocks = free_blocks;
    d.negative_free_inodes = free_inodes;
    return d;
}

constexpr int32_t kFirstBlock = 64;               // the partition's place in these images
constexpr int64_t kSuperblock = (kFirstBlock + 1) * 512;

TEST_F(Damage, HeaderAndSuperblockStopEfshBeforeThePrompt)
{
    const std::vector<StartCase> cases = {
        {.name = "header magic", .disk = bad_disk(true, false), .err = "open disk: Bad magic number\n"},
        {.name = "header checksum", .disk = bad_disk(false, true), .err = "open disk: Bad checksum\n"},
        {.name = "header magic and checksum", .disk = bad_disk(true, true), .err = "open disk: Bad magic number\n"},
        {.name = "cut inside the header", .disk = bad_disk(false, false, 100), .err = "open disk: Read error\n"},
        {.name = "cut after the header", .disk = bad_disk(false, false, 512), .err = "mount fs: Read error\n"},
        {.name = "cut before the partition", .disk = bad_disk(false, false, 20000), .err = "mount fs: Read error\n"},
        {.name = "cut inside the superblock", .disk = bad_disk(false, false, kSuperblock + 46),
         .err = "mount fs: Read error\n"},
        {.name = "superblock magic", .fs = bad_fs(true, false, false, false), .err = "mount fs: Bad magic number\n"},
        {.name = "superblock checksum", .fs = bad_fs(false, true, false, false), .err = "mount fs: Bad magic number\n"},
        {.name = "negative free blocks", .fs = bad_fs(false, false, true, false), .err = "mount fs: Bad magic number\n"},
        {.name = "negative free inodes", .fs = bad_fs(false, false, false, true), .err = "mount fs: Bad magic number\n"},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.name);
        reset_host();
        imgb::Disk d = imgb::simple_disk({imgb::file("f", "data\n")});
        d.partitions[0].first_block = kFirstBlock;
        d.damage = c.disk;
        d.partitions[0].fs->damage = c.fs;
        build(d);
        run_result r = run("ls\ncp -r / T\nbye\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(host_tree(dir_ + "/T"), std::vector<std::string>{});
    }
}

// ---------------------------------------------------------------------------------------------
// One damaged node in a tree of two files and two directories, each kind laid out with direct
// extents and with indirect ones. The script lists the root, enters the node, pages it, copies it
// and copies the whole tree; everything it prints is compared, and so are the bytes copied.

struct NodeCase {
    const char* name = "";
    char target = 'f';                   // f, g: files with direct and indirect extents; d, e: directories
    NodeDamage damage{};
    std::string inode_error{};      // the inode cannot be used: each command reports this message
    int64_t bytes = kAll;           // what more and cp deliver of the data, from its start
    bool read_error = false;        // ... followed by "fs_fread: Read error"
    std::optional<int32_t> size{};  // ls -l's size column when the damage changes it
    int listed = kAll;              // directories: entries ls lists inside, in order (kNone: none, with a message)
};

const char* kBadMagic = "Bad magic number";

const std::vector<NodeCase> kNodeCases = {
    // f: 3000 bytes in 3 extents of 2 blocks; g: 10140 bytes in 20 extents of 1 block, 1 indirect.
    {.name = "f: bad magic in a used slot", .target = 'f', .damage = NodeDamage{.bad_extent_magic_slot = 1}, .inode_error = kBadMagic},
    {.name = "f: bad magic in the first slot", .target = 'f', .damage = NodeDamage{.bad_extent_magic_slot = 0}, .inode_error = kBadMagic},
    {.name = "f: bad magic in an unused slot", .target = 'f', .damage = NodeDamage{.bad_extent_magic_slot = 5}},
    {.name = "g: bad magic in the indirect slot", .target = 'g', .damage = NodeDamage{.bad_extent_magic_slot = 0}, .inode_error = kBadMagic},
    {.name = "f: no extents", .target = 'f', .damage = NodeDamage{.raw_extent_count = 0}, .bytes = 0, .read_error = true},
    {.name = "f: negative extent count", .target = 'f', .damage = NodeDamage{.raw_extent_count = -1}, .bytes = 0, .read_error = true},
    {.name = "f: one extent of three", .target = 'f', .damage = NodeDamage{.raw_extent_count = 1}, .bytes = 1024, .read_error = true},
    {.name = "f: twelve extents of three", .target = 'f', .damage = NodeDamage{.raw_extent_count = 12}},
    {.name = "f: direct extents taken for indirect", .target = 'f', .damage = NodeDamage{.raw_extent_count = 13}, .bytes = 0,
     .read_error = true},
    {.name = "g: indirect extent taken for data", .target = 'g', .damage = NodeDamage{.raw_extent_count = 12}, .bytes = 0,
     .read_error = true},
    {.name = "g: thirteen extents of twenty", .target = 'g', .damage = NodeDamage{.raw_extent_count = 13}, .bytes = 13 * 512,
     .read_error = true},
    {.name = "g: largest extent count", .target = 'g', .damage = NodeDamage{.raw_extent_count = 0x7FFF}},
    {.name = "g: no indirect extents", .target = 'g', .damage = NodeDamage{.raw_indirect_count = 0}, .bytes = 0, .read_error = true},
    {.name = "g: two indirect extents of one", .target = 'g', .damage = NodeDamage{.raw_indirect_count = 2}},
    {.name = "g: thirteen indirect extents", .target = 'g', .damage = NodeDamage{.raw_indirect_count = 13}, .bytes = 0,
     .read_error = true},
    {.name = "g: largest indirect count", .target = 'g', .damage = NodeDamage{.raw_indirect_count = 0xFFFFFF}, .bytes = 0,
     .read_error = true},
    {.name = "f: size -1 reads every extent", .target = 'f', .damage = NodeDamage{.raw_size = -1}, .bytes = 3072, .size = -1},
    {.name = "f: size 0", .target = 'f', .damage = NodeDamage{.raw_size = 0}, .bytes = 0, .size = 0},
    {.name = "f: size 1", .target = 'f', .damage = NodeDamage{.raw_size = 1}, .bytes = 1, .size = 1},
    {.name = "f: size past the extents", .target = 'f', .damage = NodeDamage{.raw_size = 100000}, .bytes = 3072,
     .read_error = true, .size = 100000},
    {.name = "g: largest size", .target = 'g', .damage = NodeDamage{.raw_size = 0x7FFFFFFF}, .bytes = 10240, .read_error = true,
     .size = 0x7FFFFFFF},
    {.name = "f: gap before the first extent", .target = 'f', .damage = NodeDamage{.break_invariant_at = 0}, .bytes = 0,
     .read_error = true},
    {.name = "f: gap before the second extent", .target = 'f', .damage = NodeDamage{.break_invariant_at = 1}, .bytes = 1024,
     .read_error = true},
    {.name = "f: gap before the last extent", .target = 'f', .damage = NodeDamage{.break_invariant_at = 2}, .bytes = 2048,
     .read_error = true},
    {.name = "g: gap in the indirect extents", .target = 'g', .damage = NodeDamage{.break_invariant_at = 14}, .bytes = 14 * 512,
     .read_error = true},
    {.name = "f: first extent longer than a read", .target = 'f', .damage = NodeDamage{.long_extent_at = 0}, .bytes = 0,
     .read_error = true},
    {.name = "f: second extent longer than a read", .target = 'f', .damage = NodeDamage{.long_extent_at = 1}, .bytes = 1024,
     .read_error = true},
    {.name = "g: indirect extent longer than a read", .target = 'g', .damage = NodeDamage{.long_extent_at = 1}, .bytes = 512,
     .read_error = true},
    {.name = "f: first extent past the image", .target = 'f', .damage = NodeDamage{.extent_past_image_at = 0}, .bytes = 0,
     .read_error = true},
    {.name = "f: last extent past the image", .target = 'f', .damage = NodeDamage{.extent_past_image_at = 2}, .bytes = 2048,
     .read_error = true},
    {.name = "g: indirect extent past the image", .target = 'g', .damage = NodeDamage{.extent_past_image_at = 2}, .bytes = 1024,
     .read_error = true},

    // d: ". .." "a b" "c" in 3 extents of 1 block; e: ".", "..", x1 .. x13 in 15 extents, 1 indirect.
    {.name = "d: bad magic in a used slot", .target = 'd', .damage = NodeDamage{.bad_extent_magic_slot = 1}, .inode_error = kBadMagic},
    {.name = "d: bad magic in an unused slot", .target = 'd', .damage = NodeDamage{.bad_extent_magic_slot = 5}},
    {.name = "e: bad magic in the indirect slot", .target = 'e', .damage = NodeDamage{.bad_extent_magic_slot = 0}, .inode_error = kBadMagic},
    {.name = "d: no extents", .target = 'd', .damage = NodeDamage{.raw_extent_count = 0}, .bytes = 0, .read_error = true,
     .listed = kNone},
    {.name = "d: negative extent count", .target = 'd', .damage = NodeDamage{.raw_extent_count = -1}, .bytes = 0, .read_error = true,
     .listed = kNone},
    {.name = "d: one extent of three", .target = 'd', .damage = NodeDamage{.raw_extent_count = 1}, .bytes = 512, .read_error = true,
     .listed = 2},
    {.name = "d: direct extents taken for indirect", .target = 'd', .damage = NodeDamage{.raw_extent_count = 13}, .bytes = 0,
     .read_error = true, .listed = kNone},
    {.name = "e: indirect extent taken for data", .target = 'e', .damage = NodeDamage{.raw_extent_count = 12}, .bytes = 0,
     .read_error = true, .listed = kNone},
    {.name = "e: thirteen extents of fifteen", .target = 'e', .damage = NodeDamage{.raw_extent_count = 13}, .bytes = 13 * 512,
     .read_error = true, .listed = 13},
    {.name = "e: largest extent count", .target = 'e', .damage = NodeDamage{.raw_extent_count = 0x7FFF}},
    {.name = "e: no indirect extents", .target = 'e', .damage = NodeDamage{.raw_indirect_count = 0}, .bytes = 0, .read_error = true,
     .listed = kNone},
    {.name = "e: two indirect extents of one", .target = 'e', .damage = NodeDamage{.raw_indirect_count = 2}},
    {.name = "e: thirteen indirect extents", .target = 'e', .damage = NodeDamage{.raw_indirect_count = 13}, .bytes = 0,
     .read_error = true, .listed = kNone},
    {.name = "d: size 0 still lists", .target = 'd', .damage = NodeDamage{.raw_size = 0}, .bytes = 0, .size = 0},
    {.name = "d: size past the extents", .target = 'd', .damage = NodeDamage{.raw_size = 100000}, .bytes = 1536,
     .read_error = true, .size = 100000},
    {.name = "e: size -1", .target = 'e', .damage = NodeDamage{.raw_size = -1}, .size = -1},
    {.name = "d: bad first block", .target = 'd', .damage = NodeDamage{.bad_dir_magic_blocks = {0}}, .listed = kNone},
    // A listing looks at the magic only of further blocks within an extent; a bad first block of
    // an extent is walked, so its entries are still listed and copied (by inode number).
    {.name = "d: bad middle block", .target = 'd', .damage = NodeDamage{.bad_dir_magic_blocks = {1}}},
    {.name = "d: bad last block", .target = 'd', .damage = NodeDamage{.bad_dir_magic_blocks = {2}}},
    {.name = "e: bad block in the indirect extents", .target = 'e', .damage = NodeDamage{.bad_dir_magic_blocks = {13}}},
    {.name = "d: entry past the end of its block", .target = 'd', .damage = NodeDamage{.entry_past_end = true}},
    {.name = "e: entry past the end of its block", .target = 'e', .damage = NodeDamage{.entry_past_end = true}},
    {.name = "d: gap before the first extent", .target = 'd', .damage = NodeDamage{.break_invariant_at = 0}, .bytes = 0,
     .read_error = true, .listed = kNone},
    {.name = "d: gap before the second extent", .target = 'd', .damage = NodeDamage{.break_invariant_at = 1}, .bytes = 512,
     .read_error = true, .listed = 2},
    {.name = "d: gap before the last extent", .target = 'd', .damage = NodeDamage{.break_invariant_at = 2}, .bytes = 1024,
     .read_error = true, .listed = 4},
    {.name = "e: gap in the indirect extents", .target = 'e', .damage = NodeDamage{.break_invariant_at = 14}, .bytes = 14 * 512,
     .read_error = true, .listed = 14},
    {.name = "d: first extent longer than a read", .target = 'd', .damage = NodeDamage{.long_extent_at = 0}, .bytes = 0,
     .read_error = true, .listed = 0},
    {.name = "e: indirect extent longer than a read", .target = 'e', .damage = NodeDamage{.long_extent_at = 1}, .bytes = 512,
     .read_error = true, .listed = 1},
    {.name = "d: first extent past the image", .target = 'd', .damage = NodeDamage{.extent_past_image_at = 0}, .bytes = 0,
     .read_error = true, .listed = kNone},
    {.name = "d: last extent past the image", .target = 'd', .damage = NodeDamage{.extent_past_image_at = 2}, .bytes = 1024,
     .read_error = true, .listed = 4},
    {.name = "e: indirect extent past the image", .target = 'e', .damage = NodeDamage{.extent_past_image_at = 1}, .bytes = 512,
     .read_error = true, .listed = 1},
    {.name = "d: slot count 255", .target = 'd', .damage = NodeDamage{.slot_count_255_block = 0}},
    {.name = "e: slot count 255", .target = 'e', .damage = NodeDamage{.slot_count_255_block = 1}},
};

constexpr int kEChildren = 13;

std::vector<imgb::Node> damage_tree(const NodeCase& c)
{
    imgb::Node f = imgb::file("f", imgb::pattern(3000, 11));
    f.extent_blocks = 2;
    imgb::Node g = imgb::file("g", imgb::pattern(10140, 12));
    g.extents = 20;
    imgb::Node d = imgb::dir("d", {imgb::file("a", "a\n"), imgb::file("b", "b\n"), imgb::file("c", "c\n")});
    d.dir_entries_per_block = 2;
    std::vector<imgb::Node> xs;
    for (int i = 1; i <= kEChildren; ++i)
        xs.push_back(imgb::file("x" + std::to_string(i), "x" + std::to_string(i) + "\n"));
    imgb::Node e = imgb::dir("e", xs);
    e.dir_entries_per_block = 1;
    imgb::Node& t = c.target == 'f' ? f : c.target == 'g' ? g : c.target == 'd' ? d : e;
    t.damage = c.damage;
    return {f, g, d, e, imgb::file("ok", "ok\n")};
}

// The children of d or e in directory order, each with its size.
std::vector<std::pair<std::string, int>> children_of(char target)
{
    if (target == 'd')
        return {{"a", 2}, {"b", 2}, {"c", 2}};
    std::vector<std::pair<std::string, int>> kids;
    for (int i = 1; i <= kEChildren; ++i)
        kids.emplace_back("x" + std::to_string(i), i < 10 ? 3 : 4);
    return kids;
}

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
            size_t n = c.listed == kAll ? kids.size() : c.listed <= 2 ? 0 : static_cast<size_t>(c.listed - 2);
            for (size_t i = 0; i < n && i < kids.size(); ++i)
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
            else if (c.listed == kNone)
                err += "opendir " + x + "\n" + x + ": No such file or directory\n";
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
    // Two groups of 8 inodes: "far" has its inode in the second group, every data block is in the first.
    imgb::Node far = imgb::file("far", "far\n");
    far.inode = 13;
    imgb::Disk d = imgb::simple_disk({imgb::file("near", "near\n"), far});
    d.partitions[0].first_block = kFirstBlock;
    d.partitions[0].fs->cg_count = 2;
    d.partitions[0].fs->cg_inode_blocks = 2;
    reset_host();
    imgb::Result layout = build(d);
    d.damage.truncate_to = layout.nodes["7:/far"].inode_offset / 512 * 512 + 100;
    reset_host();
    imgb::Result r = build(d);
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

TEST_F(Damage, ImageCutInsideTheDataOfItsLastFile)
{
    imgb::Node last = imgb::file("last", imgb::pattern(3000, 5));
    last.extent_blocks = 2;
    imgb::Disk d = imgb::simple_disk({imgb::file("ok", "ok\n"), last});
    d.partitions[0].first_block = kFirstBlock;
    // The last cut leaves every byte of the file but not all of its last extent, which is read whole.
    for (auto [k, cut] : {std::pair{1, 600}, std::pair{2, 600}, std::pair{2, 1000}}) {
        SCOPED_TRACE("cut in extent " + std::to_string(k) + " at " + std::to_string(cut));
        reset_host();
        imgb::Result layout = build(d);
        d.damage.truncate_to = (kFirstBlock + int64_t{layout.nodes["7:/last"].extents[static_cast<size_t>(k)].block}) * 512 + cut;
        reset_host();
        build(d);
        run_result s = run("ls -l\nmore last\ncp last out\ncp -r / T\nbye\n");
        EXPECT_EQ(s.out, prompts(5));
        EXPECT_EQ(s.err, "d      2 0755  2     0     0     512 Jan  1 00:00 .\n"
                         "d      2 0755  2     0     0     512 Jan  1 00:00 ..\n"
                         "-      3 0644  1     0     0       3 Jan  1 00:00 ok\n"
                         "-      4 0644  1     0     0    3000 Jan  1 00:00 last\n" +
                             kReadError + kReadError + kReadError);
        const std::string want = imgb::pattern(3000, 5).substr(0, static_cast<size_t>(k) * 1024);
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
