// Unit tests of the test-support image builder: decodes what it wrote with explicit byte loads.
#include "tests/support/image_builder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

std::string temp_path(const char* tag)
{
    return "/tmp/imgb_test_" + std::to_string(getpid()) + "_" + tag + ".img";
}

// Reads len bytes at offset of a file.
std::vector<uint8_t> read_at(const std::string& path, int64_t offset, size_t len)
{
    std::vector<uint8_t> v(len, 0);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return {};
    if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0 || std::fread(v.data(), 1, len, f) != len) v.clear();
    std::fclose(f);
    return v;
}

uint32_t sb_sum(const uint8_t* b)
{
    uint32_t c = 0;
    for (int i = 0; i < 44; ++i) {
        c ^= be16(b + 2 * i);
        c = (c << 1) | (c >> 31);
    }
    return c;
}

struct Extent {
    uint32_t block, length, offset;
};
Extent decode(const uint8_t* p) { return {be32(p) & 0xFFFFFF, p[4], be32(p + 4) & 0xFFFFFF}; }

// Reassembles a file from its extents (first_block of the partition given).
std::string read_extents(const std::string& img, int64_t first_block, const std::vector<Extent>& ex, size_t size)
{
    std::string out;
    for (const Extent& e : ex) {
        auto v = read_at(img, (first_block + e.block) * 512, e.length * 512);
        out.append(v.begin(), v.end());
    }
    out.resize(size);
    return out;
}

TEST(ImageBuilder, ChecksumsAndHeader)
{
    uint8_t z[88] = {};
    EXPECT_EQ(imgb::superblock_checksum(z), 0u);
    z[1] = 1;
    EXPECT_EQ(imgb::superblock_checksum(z), 0x00001000u);
    z[1] = 0;
    z[87] = 1;
    EXPECT_EQ(imgb::superblock_checksum(z), 0x00000002u);

    std::string img = temp_path("hdr");
    imgb::Disk d = imgb::simple_disk({imgb::file("a", "hello")});
    imgb::Result r = imgb::write_image(d, img);
    ASSERT_TRUE(r.ok) << r.error;
    auto h = read_at(img, 0, 512);
    ASSERT_EQ(h.size(), 512u);
    EXPECT_EQ(be32(h.data()), 0x0BE5A941u);
    uint32_t sum = 0;
    for (int i = 0; i < 127; ++i) sum += be32(h.data() + 4 * i);
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(be16(h.data() + 28), 1024);
    EXPECT_EQ(be16(h.data() + 40), 512);
    const uint8_t* pe = h.data() + 312 + 12 * 7;
    uint32_t count = be32(pe), first = be32(pe + 4);
    EXPECT_GT(count, 0u);
    EXPECT_EQ(be32(pe + 8), 7u);

    auto sb = read_at(img, (first + 1) * 512, 512);
    EXPECT_EQ(be32(sb.data() + 28), 0x072959u);
    EXPECT_EQ(be32(sb.data() + 88), sb_sum(sb.data()));
    EXPECT_EQ(be32(sb.data()), count);
    EXPECT_GT(be32(sb.data() + 48), 0u);
    EXPECT_GT(be32(sb.data() + 52), 0u);

    d.damage.bad_checksum = true;
    d.partitions[0].fs->damage.bad_checksum = true;
    ASSERT_TRUE(imgb::write_image(d, img).ok);
    h = read_at(img, 0, 512);
    sum = 0;
    for (int i = 0; i < 127; ++i) sum += be32(h.data() + 4 * i);
    EXPECT_NE(sum, 0u);
    sb = read_at(img, (first + 1) * 512, 512);
    EXPECT_NE(be32(sb.data() + 88), sb_sum(sb.data()));
    std::remove(img.c_str());
}

TEST(ImageBuilder, InodePlacementAndDirectory)
{
    std::string img = temp_path("ino");
    imgb::Node forced = imgb::file("far", "x");
    forced.inode = 70000;
    imgb::Disk d = imgb::simple_disk({imgb::file("a", "A"), forced, imgb::dir("sub", {})});
    imgb::Result r = imgb::write_image(d, img);
    ASSERT_TRUE(r.ok) << r.error;
    auto h = read_at(img, 0, 512);
    uint32_t first = be32(h.data() + 312 + 12 * 7 + 4);
    auto sb = read_at(img, (first + 1) * 512, 512);
    uint32_t first_cg = be32(sb.data() + 4), cg_size = be32(sb.data() + 8);
    uint32_t per = 4u * be16(sb.data() + 12);
    for (const char* key : {"7:/", "7:/a", "7:/far", "7:/sub"}) {
        const imgb::NodeInfo& ni = r.nodes.at(key);
        int64_t want = (int64_t{first} + first_cg + (ni.inode / per) * int64_t{cg_size} + (ni.inode % per) / 4) * 512 +
                       (ni.inode % per % 4) * 128;
        EXPECT_EQ(ni.inode_offset, want) << key;
    }
    EXPECT_EQ(r.nodes.at("7:/").inode, 2u);
    EXPECT_EQ(r.nodes.at("7:/far").inode, 70000u);
    EXPECT_EQ(be16(read_at(img, r.nodes.at("7:/far").inode_offset, 2).data()), 0x8000 | 0644);

    // Root directory block: ".", "..", then the children in slot order.
    const imgb::NodeInfo& root = r.nodes.at("7:/");
    ASSERT_EQ(root.extents.size(), 1u);
    auto blk = read_at(img, (first + root.extents[0].block) * 512, 512);
    EXPECT_EQ(be16(blk.data()), 0xBEEF);
    ASSERT_EQ(blk[3], 5);
    const char* names[] = {".", "..", "a", "far", "sub"};
    uint32_t inos[] = {2, 2, r.nodes.at("7:/a").inode, 70000, r.nodes.at("7:/sub").inode};
    for (int i = 0; i < 5; ++i) {
        const uint8_t* e = blk.data() + 2 * blk[4 + i];
        EXPECT_EQ((uint32_t{be16(e)} << 16) | be16(e + 2), inos[i]);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(e + 5), e[4]), names[i]);
    }
    std::remove(img.c_str());
}

TEST(ImageBuilder, ExtentsReproduceData)
{
    std::string img = temp_path("ext");
    imgb::Node small = imgb::file("small", imgb::pattern(5000, 3));
    small.extent_blocks = 2;          // 10 blocks in 5 direct extents
    imgb::Node big = imgb::file("big", imgb::pattern(100 * 512 + 17, 4));
    big.extent_blocks = 1;            // 101 extents: two indirect blocks
    big.indirect_extent_blocks = 1;
    imgb::Disk d = imgb::simple_disk({small, big});
    imgb::Result r = imgb::write_image(d, img);
    ASSERT_TRUE(r.ok) << r.error;
    uint32_t first = be32(read_at(img, 0, 512).data() + 312 + 12 * 7 + 4);

    const imgb::NodeInfo& si = r.nodes.at("7:/small");
    auto ino = read_at(img, si.inode_offset, 128);
    ASSERT_EQ(be16(ino.data() + 28), 5);
    std::vector<Extent> ex;
    for (int i = 0; i < 5; ++i) ex.push_back(decode(ino.data() + 32 + 8 * i));
    EXPECT_TRUE(read_extents(img, first, ex, 5000) == small.data);
    EXPECT_EQ(ex[1].offset, 2u);
    // The block between two extents is a 0xEE gap.
    EXPECT_EQ(read_at(img, (first + ex[0].block + ex[0].length) * 512, 1)[0], 0xEE);

    const imgb::NodeInfo& bi = r.nodes.at("7:/big");
    ino = read_at(img, bi.inode_offset, 128);
    ASSERT_EQ(be16(ino.data() + 28), 101);
    Extent i0 = decode(ino.data() + 32), i1 = decode(ino.data() + 40);
    EXPECT_EQ(i0.offset, 2u);   // number of indirect extents
    EXPECT_EQ(i0.length, 1u);
    EXPECT_EQ(i1.length, 1u);
    auto b0 = read_at(img, (first + i0.block) * 512, 512), b1 = read_at(img, (first + i1.block) * 512, 512);
    ex.clear();
    for (int i = 0; i < 101; ++i) ex.push_back(decode((i < 64 ? b0.data() : b1.data()) + 8 * (i % 64)));
    EXPECT_EQ(ex[100].offset, 100u);
    EXPECT_TRUE(read_extents(img, first, ex, big.data.size()) == big.data);
    std::remove(img.c_str());
}

TEST(ImageBuilder, FarPartitionIsSparse)
{
    std::string img = temp_path("far");
    imgb::Disk d = imgb::simple_disk({imgb::file("a", "near")});
    imgb::Partition far;
    far.index = 8;
    far.first_block = 5000000;
    far.fs = imgb::Fs{};
    far.fs->root.children.push_back(imgb::file("b", "far away"));
    d.partitions.push_back(far);
    imgb::Result r = imgb::write_image(d, img);
    ASSERT_TRUE(r.ok) << r.error;
    struct stat st;
    ASSERT_EQ(stat(img.c_str(), &st), 0);
    EXPECT_GT(st.st_size, int64_t{5000000} * 512);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), r.image_size);
    EXPECT_LT(st.st_blocks, 20000);
    const imgb::NodeInfo& b = r.nodes.at("8:/b");
    auto data = read_at(img, (int64_t{5000000} + b.extents.at(0).block) * 512, 8);
    EXPECT_EQ(std::string(data.begin(), data.end()), "far away");
    std::remove(img.c_str());
}

TEST(ImageBuilder, DamageSwitches)
{
    std::string img = temp_path("dmg");
    imgb::Node f = imgb::file("f", imgb::pattern(3000, 5));
    f.extent_blocks = 2;
    f.damage.bad_extent_magic_slot = 1;
    f.damage.break_invariant_at = 2;
    f.damage.raw_size = -5;
    imgb::Node dd = imgb::dir("d", {imgb::file("x", "x"), imgb::file("y", "y")});
    dd.dir_entries_per_block = 2;     // blocks: [. ..] [x y] and the broken entry's block
    dd.damage.bad_dir_magic_blocks = {1};
    dd.damage.slot_count_255_block = 0;
    dd.damage.entry_past_end = true;
    imgb::Node g = imgb::file("g", imgb::pattern(2048, 6));
    g.extents = 2;
    g.damage.long_extent_at = 0;
    g.damage.extent_past_image_at = 1;
    imgb::Disk d = imgb::simple_disk({f, dd, g});
    d.partitions[0].fs->damage.zero_free_blocks = true;
    d.damage.truncate_to = 200000;
    imgb::Result r = imgb::write_image(d, img);
    ASSERT_TRUE(r.ok) << r.error;
    auto ino = read_at(img, r.nodes.at("7:/f").inode_offset, 128);
    EXPECT_EQ(ino[40], 0x5A);
    EXPECT_EQ(be32(ino.data() + 8), 0xFFFFFFFBu);
    EXPECT_EQ(decode(ino.data() + 48).offset, 5u);
    uint32_t first = be32(read_at(img, 0, 512).data() + 312 + 12 * 7 + 4);
    const imgb::NodeInfo& di = r.nodes.at("7:/d");
    ASSERT_EQ(di.extents.size(), 3u);
    EXPECT_EQ(read_at(img, (first + di.extents[0].block) * 512, 4)[3], 255);
    EXPECT_EQ(be16(read_at(img, (first + di.extents[1].block) * 512, 2).data()), 0xDEAD);
    auto last = read_at(img, (first + di.extents[2].block) * 512, 512);
    EXPECT_EQ(be16(last.data()), 0xBEEF);
    EXPECT_GT(2 * last[4] + 5 + last[2 * last[4] + 4], 512);
    ino = read_at(img, r.nodes.at("7:/g").inode_offset, 128);
    EXPECT_EQ(decode(ino.data() + 32).length, 255u);
    EXPECT_GE(int64_t{first} + decode(ino.data() + 40).block, int64_t{1} << 23);
    auto sb = read_at(img, (first + 1) * 512, 512);
    EXPECT_EQ(be32(sb.data() + 48), 0u);
    EXPECT_EQ(be32(sb.data() + 88), sb_sum(sb.data()));
    struct stat st;
    ASSERT_EQ(stat(img.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 200000);
    std::remove(img.c_str());
}

}  // namespace
