// Unit tests for the superblock report, run in UTC so that dates are fixed.
#include "efs/efs_io.h"
#include "report_capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

class SuperblockReport : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    static std::string report(const superblock& sb) { return capture_report(print_superblock, sb); }
    static std::vector<std::string> lines(const std::string& text) { return report_lines(text); }

    static superblock sample()
    {
        superblock sb{};
        sb.sb_size = 204800;
        sb.sb_first_cg = 36;
        sb.sb_cg_size = 2000;
        sb.sb_cg_inode_blocks = 250;
        sb.sb_sectors = 64;
        sb.sb_heads = 9;
        sb.sb_cg_count = 102;
        sb.sb_dirty = 0;
        sb.sb_time = 1000000000;  // Sun Sep  9 01:46:40 2001 UTC
        sb.sb_magic = SB_MAGIC;
        std::memcpy(sb.sb_name, "root", 4);
        std::memcpy(sb.sb_pack, "sgi0ab", 6);
        sb.sb_bitmap_size = 25600;
        sb.sb_free_blocks = 123456;
        sb.sb_free_inodes = 7890;
        sb.sb_bitmap_block = 2;
        sb.sb_replica_block = 204799;
        sb.sb_last_inode = 4242;
        sb.sb_checksum = static_cast<int32_t>(0xCAFEF00Du);
        return sb;
    }
};

TEST_F(SuperblockReport, FullReport)
{
    const std::string expected =
        "204800\tsize of filesystem, in sectors\n"
        "36\tbb offset to first cg\n"
        "2000\tsize of cylinder group in bb's\n"
        "250\tbb's of inodes per cylinder group\n"
        "64\tsectors per track\n"
        "9\theads per cylinder\n"
        "102\t# of cylinder groups in filesystem\n"
        "0\tfs needs to be fsck'd\n"
        "last super-block update:\tSun Sep  9 01:46:40 2001\n"
        "72959\tmagic number (should be 72959)\n"
        "file system name:   root\n"
        "file system pack name: sgi0ab\n"
        "25600\tsize of bitmap in bytes\n"
        "123456\ttotal free data blocks\n"
        "7890\ttotal free inodes\n"
        "2\tbitmap location.\n"
        "204799\tLocation of replicated superblock.\n"
        "4242\tlast allocated inode\n"
        "cafef00d\tchecksum of volume portion of fs\n";
    const std::string text = report(sample());
    EXPECT_EQ(text, expected);
    EXPECT_EQ(lines(text).size(), 19u);
}

// Each row changes fields of a superblock (the sample, or an empty one) and names report lines.
TEST_F(SuperblockReport, FieldByFieldCornerCases)
{
    const std::time_t most_negative = INT32_MIN;
    const char* date = std::ctime(&most_negative);
    struct Case {
        bool empty;
        std::function<void(superblock&)> set;
        std::vector<std::pair<size_t, std::string>> lines;
    };
    const Case cases[] = {
        {true,
         [](superblock& sb) {
             sb.sb_dirty = static_cast<int16_t>(0xFFFF);
             sb.sb_heads = -300;
             sb.sb_size = -1;
         },
         {{0, "-1\tsize of filesystem, in sectors"}, {5, "-300\theads per cylinder"}, {7, "-1\tfs needs to be fsck'd"},
          {8, "last super-block update:\tThu Jan  1 00:00:00 1970"}, {9, "0\tmagic number (should be 72959)"},
          {10, "file system name:       "}, {11, "file system pack name:       "},
          {18, "0\tchecksum of volume portion of fs"}}},
        {false, [](superblock& sb) { sb.sb_dirty = 0x1234; }, {{7, "4660\tfs needs to be fsck'd"}}},
        // Names are right-aligned and stop at a NUL; a full one runs into the pack field.
        {false,
         [](superblock& sb) {
             std::memcpy(sb.sb_name, "abcdef", 6);
             std::memcpy(sb.sb_pack, "x\0yz", 4);
         },
         {{10, "file system name: abcdef"}, {11, "file system pack name:      x"}}},
        {false, [](superblock& sb) { sb.sb_magic = -1; }, {{9, "ffffffff\tmagic number (should be 72959)"}}},
        {false, [](superblock& sb) { sb.sb_time = INT32_MIN; },
         {{8, std::string("last super-block update:\t") +
                  (date != nullptr ? std::string(date, std::strlen(date) - 1) : "(unrepresentable date)")}}},
    };
    for (const Case& c : cases) {
        superblock sb = c.empty ? superblock{} : sample();
        c.set(sb);
        const std::vector<std::string> l = lines(report(sb));
        ASSERT_EQ(l.size(), 19u);
        for (const auto& [n, line] : c.lines)
            EXPECT_EQ(l[n], line) << n;
    }
}

}  // namespace
