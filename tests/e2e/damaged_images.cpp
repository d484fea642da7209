// The corruption suite's damaged images.
#include "damaged_images.h"

#include <algorithm>
#include <cstdio>

using imgb::NodeDamage;

namespace {

const char* kBadMagic = "Bad magic number";

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

constexpr int64_t kSuperblock = (kFirstBlock + 1) * 512;

}  // namespace

const std::vector<StartCase> kStartCases = {
    {.name = "header magic", .disk = bad_disk(true, false), .err = "open disk: Bad magic number\n"},
    {.name = "header checksum", .disk = bad_disk(false, true), .err = "open disk: Bad checksum\n"},
    {.name = "header magic and checksum", .disk = bad_disk(true, true), .err = "open disk: Bad magic number\n"},
    {.name = "cut inside the header",
     .disk = bad_disk(false, false, 100),
     .err = "open disk: Read error\n{image}: 100 bytes: too short to be a disk image\n"},
    {.name = "cut after the header", .disk = bad_disk(false, false, 512), .err = "mount fs: Read error\n"},
    {.name = "cut before the partition", .disk = bad_disk(false, false, 20000), .err = "mount fs: Read error\n"},
    {.name = "cut inside the superblock", .disk = bad_disk(false, false, kSuperblock + 46),
     .err = "mount fs: Read error\n"},
    {.name = "superblock magic", .fs = bad_fs(true, false, false, false), .err = "mount fs: Bad magic number\n"},
    {.name = "superblock checksum", .fs = bad_fs(false, true, false, false), .err = "mount fs: Bad magic number\n"},
    {.name = "negative free blocks", .fs = bad_fs(false, false, true, false), .err = "mount fs: Bad magic number\n"},
    {.name = "negative free inodes", .fs = bad_fs(false, false, false, true), .err = "mount fs: Bad magic number\n"},
};

imgb::Disk start_disk(const StartCase& c)
{
    imgb::Disk d = imgb::simple_disk({imgb::file("f", "data\n")});
    d.partitions[0].first_block = kFirstBlock;
    d.damage = c.disk;
    d.partitions[0].fs->damage = c.fs;
    return d;
}

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
     .listed = kNone, .lost = {kAll}, .salvage = "block 0: Read error"},
    {.name = "d: negative extent count", .target = 'd', .damage = NodeDamage{.raw_extent_count = -1}, .bytes = 0, .read_error = true,
     .listed = kNone, .lost = {kAll}, .salvage = "block 0: Read error"},
    {.name = "d: one extent of three", .target = 'd', .damage = NodeDamage{.raw_extent_count = 1}, .bytes = 512, .read_error = true,
     .listed = 2, .lost = {kAll}, .salvage = "block 1: Read error"},
    {.name = "d: direct extents taken for indirect", .target = 'd', .damage = NodeDamage{.raw_extent_count = 13}, .bytes = 0,
     .read_error = true, .listed = kNone, .lost = {kAll}, .salvage = "block 0: Read error"},
    {.name = "e: indirect extent taken for data", .target = 'e', .damage = NodeDamage{.raw_extent_count = 12}, .bytes = 0,
     .read_error = true, .listed = kNone, .lost = {kAll}, .salvage = "block 0: Read error, 3 damaged in all"},
    {.name = "e: thirteen extents of fifteen", .target = 'e', .damage = NodeDamage{.raw_extent_count = 13}, .bytes = 13 * 512,
     .read_error = true, .listed = 13, .lost = {11, 12}, .salvage = "block 13: Read error"},
    {.name = "e: largest extent count", .target = 'e', .damage = NodeDamage{.raw_extent_count = 0x7FFF}},
    {.name = "e: no indirect extents", .target = 'e', .damage = NodeDamage{.raw_indirect_count = 0}, .bytes = 0, .read_error = true,
     .listed = kNone, .lost = {kAll}, .salvage = "block 0: Read error"},
    {.name = "e: two indirect extents of one", .target = 'e', .damage = NodeDamage{.raw_indirect_count = 2}},
    {.name = "e: thirteen indirect extents", .target = 'e', .damage = NodeDamage{.raw_indirect_count = 13}, .bytes = 0,
     .read_error = true, .listed = kNone, .lost = {kAll}, .salvage = "block 0: Read error"},
    {.name = "d: size 0 still lists", .target = 'd', .damage = NodeDamage{.raw_size = 0}, .bytes = 0, .size = 0},
    {.name = "d: size past the extents", .target = 'd', .damage = NodeDamage{.raw_size = 100000}, .bytes = 1536,
     .read_error = true, .size = 100000, .salvage = "block 3: Read error"},
    {.name = "e: size -1", .target = 'e', .damage = NodeDamage{.raw_size = -1}, .size = -1},
    {.name = "d: bad first block", .target = 'd', .damage = NodeDamage{.bad_dir_magic_blocks = {0}}, .listed = kNone,
     .salvage = "block 0: Bad magic number"},
    // A listing looks at the magic only of further blocks within an extent; a bad first block of
    // an extent is walked, so its entries are still listed. The tree walks pass over every block
    // without the magic, say so, and go on with the next.
    {.name = "d: bad middle block", .target = 'd', .damage = NodeDamage{.bad_dir_magic_blocks = {1}},
     .lost = {0, 1}, .salvage = "block 1: Bad magic number"},
    {.name = "d: bad last block", .target = 'd', .damage = NodeDamage{.bad_dir_magic_blocks = {2}},
     .lost = {2}, .salvage = "block 2: Bad magic number"},
    {.name = "e: bad block in the indirect extents", .target = 'e', .damage = NodeDamage{.bad_dir_magic_blocks = {13}},
     .lost = {11}, .salvage = "block 13: Bad magic number"},
    {.name = "d: entry past the end of its block", .target = 'd', .damage = NodeDamage{.entry_past_end = true}},
    {.name = "e: entry past the end of its block", .target = 'e', .damage = NodeDamage{.entry_past_end = true}},
    {.name = "d: gap before the first extent", .target = 'd', .damage = NodeDamage{.break_invariant_at = 0}, .bytes = 0,
     .read_error = true, .listed = kNone, .salvage = "block 0: Read error, 2 damaged in all"},
    {.name = "d: gap before the second extent", .target = 'd', .damage = NodeDamage{.break_invariant_at = 1}, .bytes = 512,
     .read_error = true, .listed = 2, .salvage = "block 1: Read error, 2 damaged in all"},
    {.name = "d: gap before the last extent", .target = 'd', .damage = NodeDamage{.break_invariant_at = 2}, .bytes = 1024,
     .read_error = true, .listed = 4, .salvage = "block 2: Read error"},
    {.name = "e: gap in the indirect extents", .target = 'e', .damage = NodeDamage{.break_invariant_at = 14}, .bytes = 14 * 512,
     .read_error = true, .listed = 14, .salvage = "block 14: Read error"},
    {.name = "d: first extent longer than a read", .target = 'd', .damage = NodeDamage{.long_extent_at = 0}, .bytes = 0,
     .read_error = true, .listed = 0, .salvage = "block 0: Read error, 2 damaged in all"},
    {.name = "e: indirect extent longer than a read", .target = 'e', .damage = NodeDamage{.long_extent_at = 1}, .bytes = 512,
     .read_error = true, .listed = 1, .salvage = "block 1: Read error, 2 damaged in all"},
    {.name = "d: first extent past the image", .target = 'd', .damage = NodeDamage{.extent_past_image_at = 0}, .bytes = 0,
     .read_error = true, .listed = kNone, .salvage = "block 0: Seek error"},
    {.name = "d: last extent past the image", .target = 'd', .damage = NodeDamage{.extent_past_image_at = 2}, .bytes = 1024,
     .read_error = true, .listed = 4, .lost = {2}, .salvage = "block 2: Seek error"},
    {.name = "e: indirect extent past the image", .target = 'e', .damage = NodeDamage{.extent_past_image_at = 1}, .bytes = 512,
     .read_error = true, .listed = 1, .salvage = "block 1: Seek error"},
    {.name = "d: slot count 255", .target = 'd', .damage = NodeDamage{.slot_count_255_block = 0}},
    {.name = "e: slot count 255", .target = 'e', .damage = NodeDamage{.slot_count_255_block = 1}},
};

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

std::vector<std::pair<std::string, int>> children_of(char target)
{
    if (target == 'd')
        return {{"a", 2}, {"b", 2}, {"c", 2}};
    std::vector<std::pair<std::string, int>> kids;
    for (int i = 1; i <= kEChildren; ++i)
        kids.emplace_back("x" + std::to_string(i), i < 10 ? 3 : 4);
    return kids;
}

std::vector<CutCase> cut_cases()
{
    // Two groups of 8 inodes: "far" has its inode in the second group, every data block is in the first.
    imgb::Node far = imgb::file("far", "far\n");
    far.inode = 13;
    imgb::Disk groups = imgb::simple_disk({imgb::file("near", "near\n"), far});
    groups.partitions[0].first_block = kFirstBlock;
    groups.partitions[0].fs->cg_count = 2;
    groups.partitions[0].fs->cg_inode_blocks = 2;
    std::vector<CutCase> cuts = {{"cut inside the inodes of a second cylinder group", groups, "/far", -1, 100}};
    imgb::Node last = imgb::file("last", imgb::pattern(3000, 5));
    last.extent_blocks = 2;
    imgb::Disk d = imgb::simple_disk({imgb::file("ok", "ok\n"), last});
    d.partitions[0].first_block = kFirstBlock;
    // The last cut leaves every byte of the file but not all of its last extent, which is read whole.
    for (auto [k, cut] : {std::pair{1, 600}, std::pair{2, 600}, std::pair{2, 1000}})
        cuts.push_back({"cut in extent " + std::to_string(k) + " at " + std::to_string(cut), d, "/last", k, cut});
    return cuts;
}

imgb::Result write_cut_image(const CutCase& c, const std::string& path)
{
    imgb::Disk d = c.disk;
    imgb::Result layout = imgb::write_image(d, path);
    if (!layout.ok)
        return layout;
    const imgb::NodeInfo& n = layout.nodes["7:" + c.path];
    d.damage.truncate_to = c.extent < 0 ? n.inode_offset / 512 * 512 + c.at
                                        : (d.partitions[0].first_block + int64_t{n.extents[static_cast<size_t>(c.extent)].block}) * 512 + c.at;
    return imgb::write_image(d, path);
}

// ---------------------------------------------------------------------------------------------
// Crafted directories the tree walks salvage.

namespace {

imgb::Disk disk_of(std::vector<imgb::Node> kids)
{
    imgb::Disk d = imgb::simple_disk(std::move(kids));
    d.partitions[0].first_block = kFirstBlock;
    return d;
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

const std::string kLong(255, 'N');  // the memory bomb's one name

std::string two_digits(int i)
{
    return std::string(i < 10 ? "0" : "") + std::to_string(i);
}

// A directory of ten files, two entries a block, all in one extent; one block has a bad magic number.
bool ten_files_bad_at(const std::string& img, int block)
{
    std::vector<imgb::Node> kids;
    for (int i = 0; i < 10; ++i)
        kids.push_back(imgb::file("m" + std::to_string(i), "m" + std::to_string(i) + "\n"));
    imgb::Node d = imgb::dir("d", kids);
    d.dir_entries_per_block = 2;
    d.extent_blocks = 6;
    d.damage.bad_dir_magic_blocks = {block};
    return imgb::write_image(disk_of({d}), img).ok;
}

// Block 1 bad: the files m0 and m1 go with it.
bool ten_files(const std::string& img)
{
    return ten_files_bad_at(img, 1);
}

// The same directory with its first block bad: "." and ".." go with it, every file stays.
bool first_block_bad(const std::string& img)
{
    return ten_files_bad_at(img, 0);
}

// A directory of 44 files whose "." entry is gone (its slot freed): no lookup of "." finds it.
bool no_dot(const std::string& img)
{
    std::vector<imgb::Node> kids;
    for (int i = 0; i < 44; ++i)
        kids.push_back(imgb::file("f" + two_digits(i), "f"));
    imgb::Result r = imgb::write_image(disk_of({imgb::dir("d1", kids)}), img);
    if (!r.ok)
        return false;
    return imgb::patch(img, (kFirstBlock + int64_t{r.nodes["7:/d1"].extents[0].block}) * 512 + 4, {0});
}

// sb_size 0x7FFFFFF0 with its checksum redone, and a directory of 32767 extents all over the same
// 248 blocks, each block 196 slots naming one entry of a 255-byte name: 1.59 billion entries in
// an image of less than a megabyte, were each extent read.
bool memory_bomb(const std::string& img)
{
    imgb::Node pad = imgb::file("pad", std::string(248 * 512, 'p'));
    pad.extent_blocks = 248;
    imgb::Node bomb = imgb::dir("bomb", {imgb::file(kLong, "x")});
    bomb.extents = 2;
    bomb.zero_length_at.assign(32765, 1);
    imgb::Result r = imgb::write_image(disk_of({pad, bomb}), img);
    if (!r.ok)
        return false;
    const imgb::NodeInfo& info = r.nodes["7:/bomb"];
    if (info.extents.size() != 32767u)
        return false;
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
    if (!imgb::patch(img, (kFirstBlock + int64_t{blocks}) * 512, all))
        return false;
    uint32_t logical = 0;
    for (const imgb::ExtentInfo& ind : info.indirect) {
        std::vector<uint8_t> ext(size_t{ind.length} * 512);
        for (size_t k = 0; k < ext.size() / 8 && logical < info.extents.size(); ++k, ++logical) {
            uint8_t* x = &ext[k * 8];
            uint32_t off = logical * 248;
            x[0] = 0, x[1] = uint8_t(blocks >> 16), x[2] = uint8_t(blocks >> 8), x[3] = uint8_t(blocks);
            x[4] = 248, x[5] = uint8_t(off >> 16), x[6] = uint8_t(off >> 8), x[7] = uint8_t(off);
        }
        if (!imgb::patch(img, (kFirstBlock + int64_t{ind.block}) * 512, ext))
            return false;
    }
    std::vector<uint8_t> sb(92);
    FILE* f = std::fopen(img.c_str(), "rb");
    if (!f)
        return false;
    bool read = std::fseek(f, (kFirstBlock + 1) * 512, SEEK_SET) == 0 &&
                std::fread(sb.data(), 1, sb.size(), f) == sb.size();
    std::fclose(f);
    if (!read)
        return false;
    put32(sb, 0, 0x7FFFFFF0);
    put32(sb, 88, imgb::superblock_checksum(sb.data()));
    return imgb::patch(img, (kFirstBlock + 1) * 512, sb);
}

// The files m<from> to m9 of ten_files.
std::vector<std::string> ten_salvaged(int from = 2)
{
    std::vector<std::string> t = {"d/"};
    for (int i = from; i < 10; ++i)
        t.push_back("d/m" + std::to_string(i) + ":3");
    return t;
}

std::vector<std::string> f44_salvaged()
{
    std::vector<std::string> t = {"d1/"};
    for (int i = 0; i < 44; ++i)
        t.push_back("d1/f" + two_digits(i) + ":1");
    return t;
}

}  // namespace

std::vector<SalvageImage> salvage_images()
{
    return {
        {"a bad block inside a directory's one extent", ten_files, "/d", ten_salvaged(), "/d: block 1: Bad magic number\n"},
        {"a bad first block, \".\" and \"..\" in it", first_block_bad, "/d", ten_salvaged(0), "/d: block 0: Bad magic number\n"},
        {"a directory without its \".\" entry", no_dot, "/d1", f44_salvaged(), ""},
        {"a directory of 32767 extents over the same blocks, sb_size far past the image", memory_bomb, "/bomb",
         {"bomb/", "bomb/" + kLong + ":1"}, "/bomb: block 248: Read error, 32766 damaged in all\n"},
    };
}

std::string start_err(const StartCase& c, const std::string& image)
{
    std::string err = c.err;
    if (size_t at = err.find("{image}"); at != std::string::npos)
        err.replace(at, 7, image);
    return err;
}
