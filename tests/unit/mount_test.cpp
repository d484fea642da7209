// Volume header and superblock checks, the disk and mount tables, and the current file system.
#include <cstring>

#include "common/byteorder.h"
#include "library_fixture.h"

TEST(Checksums, SuperblockExamples)
{
    uint8_t raw[92] = {0};
    EXPECT_EQ(superblock_checksum(raw), 0u);
    raw[1] = 1;
    EXPECT_EQ(superblock_checksum(raw), 0x1000u);
    raw[1] = 0;
    raw[87] = 1;
    EXPECT_EQ(superblock_checksum(raw), 2u);
}

TEST(Checksums, VolumeHeaderSumFillAndMagic)
{
    uint8_t raw[512] = {0};
    auto put32 = [&](int off, uint32_t v) {
        raw[off] = uint8_t(v >> 24), raw[off + 1] = uint8_t(v >> 16), raw[off + 2] = uint8_t(v >> 8), raw[off + 3] = uint8_t(v);
    };
    auto seal = [&] {
        uint32_t sum = 0;
        put32(504, 0);
        for (int i = 0; i < 126; ++i)
            sum += load_be32(raw + 4 * i);
        put32(504, 0u - sum);
    };
    put32(0, VH_MAGIC);
    put32(312 + 12 * 3, 0x10);    // partition 3 block_count
    put32(312 + 12 * 3 + 8, 7);   // partition 3 type
    std::memcpy(raw + 8, "/unix", 5);
    seal();
    put32(508, 0xDEADBEEF);  // the fill word is outside the sum
    volume_header h;
    fs_errno = FS_ENOENT;
    EXPECT_TRUE(volume_header_check(raw, &h));
    EXPECT_EQ(fs_errno, 0);
    EXPECT_EQ(h.partition_table[3].block_count, 0x10);
    EXPECT_EQ(h.partition_table[3].type, 7);
    EXPECT_EQ(h.fill, static_cast<int32_t>(0xDEADBEEF));
    raw[9] = 'X';  // a changed character field counts like any other byte
    EXPECT_FALSE(volume_header_check(raw, &h));
    EXPECT_EQ(fs_errno, FS_EBADCKSUM);
    seal();
    EXPECT_TRUE(volume_header_check(raw, &h));
    put32(0, VH_MAGIC + 1);
    EXPECT_FALSE(volume_header_check(raw, &h));
    EXPECT_EQ(fs_errno, FS_EBADMAGIC);
    seal();
    EXPECT_FALSE(volume_header_check(raw, &h));
    EXPECT_EQ(fs_errno, FS_EBADMAGIC);
}

class Tables : public Mounted {};

TEST_F(Tables, SevenDisksThenReuse)
{
    mount({imgb::file("a", "x")});
    disk* extra[DISK_SLOTS];
    for (int i = 1; i < DISK_SLOTS; ++i) {
        extra[i] = disk_open(path.c_str());
        ASSERT_NE(extra[i], nullptr);
    }
    EXPECT_EQ(disk_open(path.c_str()), nullptr);
    EXPECT_EQ(fs_errno, FS_EMFILE);
    EXPECT_TRUE(disk_close(extra[3]));
    EXPECT_EQ(disk_open(path.c_str()), extra[3]);
}

TEST_F(Tables, SixteenMountsAndTheCurrentFileSystem)
{
    imgb::Disk d = imgb::simple_disk({imgb::file("a", "x")});
    imgb::Fs second;
    second.root.children = {imgb::file("b", "y")};
    d.partitions.push_back({8, 5, 0, 0, second});
    d.partitions.push_back({3, 3, 0, 64, std::nullopt});
    mount(d);
    ASSERT_EQ(fs_current(), f);
    EXPECT_STREQ(f->cwd_path, "/");
    EXPECT_EQ(f->cwd_inode, 2);
    fs* f8 = fs_mount(dsk, 8, 0);
    ASSERT_NE(f8, nullptr);
    EXPECT_EQ(fs_current(), f);
    EXPECT_EQ(fs_mount(dsk, 16, 0), nullptr);
    EXPECT_EQ(fs_errno, FS_EBADPART);
    EXPECT_EQ(fs_mount(dsk, -2, 0), nullptr);
    EXPECT_EQ(fs_mount(dsk, 9, 0), nullptr);
    EXPECT_EQ(fs_errno, FS_EEMPTY);
    EXPECT_EQ(fs_mount(dsk, 3, 0), nullptr);
    EXPECT_EQ(fs_errno, FS_EBADPART);
    EXPECT_EQ(fs_mount(dsk, 3, 1), nullptr);  // any type with bit 0: gets as far as the superblock
    EXPECT_TRUE(fs_errno == FS_EBADMAGIC || fs_errno == FS_EREAD) << fs_errno;
    for (int i = 2; i < MOUNT_SLOTS; ++i)
        ASSERT_NE(fs_mount(dsk, 8, 0), nullptr) << i;
    EXPECT_EQ(fs_mount(dsk, 8, 0), nullptr);
    EXPECT_EQ(fs_errno, FS_EMFILE);
    fs_umount(f);
    EXPECT_EQ(fs_current(), nullptr);
    char buf[PATH_BUF];
    EXPECT_EQ(fs_getcwd(buf), nullptr);
    EXPECT_STREQ(buf, "No current fs");
    EXPECT_EQ(fs_namei("/"), 0u);
    fs_statbuf st;
    EXPECT_EQ(fs_istat(2, &st), -1);
    f = nullptr;
}

TEST_F(Tables, InodePlacementAtCylinderGroupBoundaries)
{
    imgb::Disk d = imgb::simple_disk({});
    imgb::Fs& fsx = *d.partitions[0].fs;
    fsx.cg_inode_blocks = 2;  // eight inodes a group
    for (uint32_t n : {7u, 8u, 15u, 70000u}) {
        imgb::Node x = imgb::file("i" + std::to_string(n), "n" + std::to_string(n));
        x.inode = n;
        fsx.root.children.push_back(x);
    }
    imgb::Result r = mount(d);
    for (uint32_t n : {7u, 8u, 15u, 70000u}) {
        std::string name = "i" + std::to_string(n);
        int64_t want = 0;
        const superblock* sb = f->superblock;
        int64_t block = sb->sb_first_cg + int64_t(n / 8) * sb->sb_cg_size + (n % 8) / 4;
        ASSERT_TRUE(fs_block_offset(f, block, &want));
        EXPECT_EQ(r.nodes["7:/" + name].inode_offset, want + (n % 4) * 128) << n;
        EXPECT_EQ(fs_namei(name.c_str()), n);
        EXPECT_EQ(read_all(name.c_str()), "n" + std::to_string(n));
        fs_statbuf st;
        ASSERT_EQ(fs_istat(n, &st), 0);
        EXPECT_EQ(st.st_ino, uint16_t(n));
    }
}
