// Unit tests for the volume header report: the full layout and the field-by-field corner cases.
#include "volume/volume.h"
#include "report_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string report(const volume_header& hdr)
{
    return capture_report(print_volume_header, hdr);
}

void set_entry(volume_header& h, int i, const char* name, int32_t block, int32_t bytes)
{
    std::memcpy(h.volume_directory[i].name, name, std::strlen(name));
    h.volume_directory[i].block_number = block;
    h.volume_directory[i].byte_count = bytes;
}

volume_header sample_header()
{
    volume_header h{};
    h.magic = VH_MAGIC;
    h.root_partition = 0;
    h.swap_partition = 1;
    std::memcpy(h.boot_file, "/unix", 5);
    device_params& dp = h.device_params;
    dp.dp_spiral_skew = 1;
    dp.dp_gap_before_header = 2;
    dp.dp_gap_after_header = 3;
    dp.dp_spares_cyl = 4;
    dp.dp_cylinders = 1000;
    dp.dp_start_head = 0;
    dp.dp_tracks_per_cyl = 10;
    dp.dp_queue_depth = 8;
    dp.dp_cylinders_high = 0;
    dp.dp_not_used = 0;
    dp.dp_sectors_per_track = 100;
    dp.dp_sector_length = 512;
    dp.dp_sector_interleave = 1;
    dp.dp_controller_flags = 0x1A;
    dp.dp_bytes_per_sec = 1000000;
    dp.dp_max_retries = 5;
    dp.dp_ms_per_word = -2;
    dp.dp_xy_gap1 = 11;
    dp.dp_xy_sync_delay = 12;
    dp.dp_xy_read_delay = 13;
    dp.dp_xy_gap2 = 14;
    dp.dp_xy_read_gate = 15;
    dp.dp_xy_write_cont = 16;
    set_entry(h, 0, "sgilabel", 2, 512);
    set_entry(h, 1, "ide", 3, 0);
    h.partition_table[0] = {4000, 8000, 7};
    h.partition_table[1] = {4000, 4000, 3};
    h.partition_table[8] = {4000, 0, 0};
    h.partition_table[10] = {1000000, 0, 6};
    h.checksum = -559038737;  // 0xDEADBEEF
    h.fill = 0;
    return h;
}

TEST(VolumeHeaderReport, FullReport)
{
    const std::string expected =
        "be5a941\tidentifies volume header (should be be5a941)\n"
        "0\troot partition number\n"
        "1\tswap partition number\n"
        "/unix\tname of file to boot\n"
        "1\tspiral addressing skew\n"
        "2\twords of 0 before header\n"
        "3\twords of 0 between hdr and data\n"
        "4\tdp_spares_cyl\n"
        "1000\tnumber of usable cylinders\n"
        "0\tstarting head vol 0\n"
        "10\tnumber of tracks / cylinder vol 0\n"
        "8\tDepth of CTQ queue\n"
        "0\thigh byte of 24 bits of cylinder count\n"
        "0\tnot used\n"
        "100\tnumber of sectors/track\n"
        "512\tlength of sector in bytes (this makes a 488 Mb disk)\n"
        "1\tsector interleave\n"
        "1A\tcontroller characteristics\n"
        "\tn\tsector slip to spare sector\n"
        "\ty\tforward to replacement sector\n"
        "\tn\tforward to replacement track\n"
        "\ty\tmultiple volumes per spindle\n"
        "\ty\ttransfer data regardless of errors\n"
        "\tn\trecalibrate as last resort\n"
        "\tn\tenable command tag queueing\n"
        "1000000\tbytes/sec for kernel stats\n"
        "5\tmax num retries on data error\n"
        "-2\tms per word to xfer, for iostat\n"
        "11\tGap 1 for xylogics controllers\n"
        "12\tsync delay for xylogics controllers\n"
        "13\tread delay for xylogics controllers\n"
        "14\tgap 2 for xylogics controllers\n"
        "15\tread gate for xylogics controllers\n"
        "16\twrite continuation for xylogics\n"
        "\tvolume_directory\n"
        "\t0\tsgilabel\tname\n"
        "\t0\t2\tlogical block number\n"
        "\t0\t512\tfile length in bytes\n"
        "\t1\tide\tname\n"
        "\t1\t3\tlogical block number\n"
        "\t1\t0\tfile length in bytes\n"
        "\tpartition_table\n"
        "\tpartition 0\n"
        "4000\t# of logical blks in partition\n"
        "8000\tfirst lbn of partition\n"
        "7\tuse of partition (partition is sgi EFS)\n"
        "\tpartition 1\n"
        "4000\t# of logical blks in partition\n"
        "4000\tfirst lbn of partition\n"
        "3\tuse of partition (partition is used for data)\n"
        "\tpartition 8\n"
        "4000\t# of logical blks in partition\n"
        "0\tfirst lbn of partition\n"
        "0\tuse of partition (partition is volume header)\n"
        "\tpartition 10\n"
        "1000000\t# of logical blks in partition\n"
        "0\tfirst lbn of partition\n"
        "6\tuse of partition (partition is entire volume)\n"
        "\n"
        "0\tfill out to 512 bytes\n"
        "0xDEADBEEF\txchecksum of sector\n";
    EXPECT_EQ(report(sample_header()), expected);
}

// Each row sets fields of an empty header; the report holds the lines at their numbers, holds
// the texts in `present` and none of those in `absent`.
TEST(VolumeHeaderReport, FieldByFieldCornerCases)
{
    struct Case {
        const char* what;
        std::function<void(volume_header&)> set;
        std::vector<std::pair<size_t, std::string>> lines;
        std::vector<std::string> present = {}, absent = {};
    };
    auto device = [](uint16_t spt, uint16_t tracks, uint16_t cyls, uint16_t len) {
        return [=](volume_header& h) {
            h.device_params.dp_sectors_per_track = spt;
            h.device_params.dp_tracks_per_cyl = tracks;
            h.device_params.dp_cylinders = cyls;
            h.device_params.dp_sector_length = len;
            h.device_params.dp_cylinders_high = 0xFF;  // plays no part in the capacity
        };
    };
    std::vector<Case> cases = {
        {"empty", [](volume_header&) {},
         {{0, "0\tidentifies volume header (should be be5a941)"}, {3, "\tname of file to boot"},
          {15, "0\tlength of sector in bytes (this makes a 0 Mb disk)"}, {34, "\tvolume_directory"},
          {35, "\tpartition_table"}, {36, ""}, {37, "0\tfill out to 512 bytes"}, {38, "0x0\txchecksum of sector"}}},
        {"magic shown, not compared", [](volume_header& h) { h.magic = 0xABCDEF12u; },
         {{0, "abcdef12\tidentifies volume header (should be be5a941)"}}},
        {"directory stops at the first empty entry",
         [](volume_header& h) {
             set_entry(h, 0, "sash", 2, 100);
             set_entry(h, 2, "later", 9, 200);
         },
         {},
         {"\tvolume_directory\n\t0\tsash\tname\n\t0\t2\tlogical block number\n\t0\t100\tfile length in bytes\n"
          "\tpartition_table\n"},
         {"later"}},
        {"an entry with only a byte count", [](volume_header& h) { h.volume_directory[0].byte_count = 7; },
         {},
         {"\t0\t\tname\n\t0\t0\tlogical block number\n\t0\t7\tfile length in bytes\n"}},
        {"partitions in use with their numbers",
         [](volume_header& h) {
             h.partition_table[0] = {100, 0, 0};
             h.partition_table[7] = {200, 100, 7};
             h.partition_table[8] = {300, 300, 8};
             h.partition_table[9] = {0, 600, 7};  // no blocks: skipped
         },
         {},
         {"\tpartition_table\n"
          "\tpartition 0\n100\t# of logical blks in partition\n0\tfirst lbn of partition\n"
          "0\tuse of partition (partition is volume header)\n"
          "\tpartition 7\n200\t# of logical blks in partition\n100\tfirst lbn of partition\n"
          "7\tuse of partition (partition is sgi EFS)\n"
          "\tpartition 8\n300\t# of logical blks in partition\n300\tfirst lbn of partition\n"
          "8\tuse of partition (partition is part of a logical vol)\n"
          "\n0\tfill out to 512 bytes\n"},
         {"partition 9"}},
        {"unknown type codes",
         [](volume_header& h) {
             h.partition_table[3] = {1, 0, 13};
             h.partition_table[4] = {1, 0, -1};
         },
         {},
         {"\n13\tuse of partition (partition type unknown)\n", "\n-1\tuse of partition (partition type unknown)\n"}},
        {"controller flags", [](volume_header& h) { h.device_params.dp_controller_flags = 0x41; },
         {{17, "41\tcontroller characteristics"}, {18, "\ty\tsector slip to spare sector"},
          {19, "\tn\tforward to replacement sector"}, {20, "\tn\tforward to replacement track"},
          {21, "\tn\tmultiple volumes per spindle"}, {22, "\tn\ttransfer data regardless of errors"},
          {23, "\tn\trecalibrate as last resort"}, {24, "\ty\tenable command tag queueing"}}},
        {"only controller flags outside the listed ones",
         [](volume_header& h) { h.device_params.dp_controller_flags = 0xFFFFFF80u; },
         {{17, "FFFFFF80\tcontroller characteristics"}, {18, "\tn\tsector slip to spare sector"},
          {19, "\tn\tforward to replacement sector"}, {20, "\tn\tforward to replacement track"},
          {21, "\tn\tmultiple volumes per spindle"}, {22, "\tn\ttransfer data regardless of errors"},
          {23, "\tn\trecalibrate as last resort"}, {24, "\tn\tenable command tag queueing"}}},
        {"full-width names have no terminator",
         [](volume_header& h) {
             std::memcpy(h.boot_file, "0123456789abcdef", 16);
             std::memcpy(h.volume_directory[0].name, "ABCDEFGH", 8);
             h.volume_directory[0].block_number = 1;  // the next field follows the name directly
         },
         {{3, "0123456789abcdef\tname of file to boot"}},
         {"\t0\tABCDEFGH\tname\n"}},
        {"names stop at the first NUL",
         [](volume_header& h) {
             std::memcpy(h.boot_file, "ab\0cd", 5);
             std::memcpy(h.volume_directory[0].name, "xy\0zw", 5);
             h.volume_directory[0].byte_count = 1;
         },
         {{3, "ab\tname of file to boot"}},
         {"\t0\txy\tname\n"}},
        {"16-bit fields unsigned, partition numbers signed",
         [](volume_header& h) {
             h.root_partition = static_cast<int16_t>(0xFFFF);
             h.swap_partition = static_cast<int16_t>(0x8000);
             h.device_params.dp_cylinders = 0xFFFF;
             h.device_params.dp_xy_write_cont = 0xFFFF;
             h.device_params.dp_spiral_skew = 0xFF;
         },
         {{1, "-1\troot partition number"}, {2, "-32768\tswap partition number"}, {4, "255\tspiral addressing skew"},
          {8, "65535\tnumber of usable cylinders"}, {33, "65535\twrite continuation for xylogics"}}},
        // The capacity divides before it multiplies by the sector length, in 32-bit signed arithmetic.
        {"capacity", device(100, 10, 1000, 512), {{15, "512\tlength of sector in bytes (this makes a 488 Mb disk)"}}},
        {"capacity", device(2047, 1, 1, 2048), {{15, "2048\tlength of sector in bytes (this makes a 2 Mb disk)"}}},
        // 65535^3 = 0xFFFD0002FFFF modulo 2^32 is 0x0002FFFF = 196607; /1024 = 191; *65535 = 12517185;
        // /1024 = 12223.
        {"capacity", device(65535, 65535, 65535, 65535),
         {{15, "65535\tlength of sector in bytes (this makes a 12223 Mb disk)"}}},
        // 65535*65535*2 = 0x1FFFC0002 wraps to 0xFFFC0002, negative: -262142 / 1024 = -255 (toward
        // zero); -255 * 512 = -130560; /1024 = -127 (toward zero).
        {"capacity", device(65535, 65535, 2, 512), {{15, "512\tlength of sector in bytes (this makes a -127 Mb disk)"}}},
        // 32768*32768*2 = 2^31 reads as INT32_MIN: /1024 = -2097152; *65535 wraps to -137436856320
        // modulo 2^32 = 2097152 (0x00200000); /1024 = 2048.
        {"capacity", device(32768, 32768, 2, 65535),
         {{15, "65535\tlength of sector in bytes (this makes a 2048 Mb disk)"}}},
    };
    const char* const type_texts[] = {
        "partition is volume header",       "partition is used for repl trks",
        "partition is used for repl secs",  "partition is used for data",
        "partition is 4.2BSD file system",  "partition is SysV file system",
        "partition is entire volume",       "partition is sgi EFS",
        "partition is part of a logical vol", "part of a \"raw\" logical vol",
        "partition is sgi XFS",             "partition is sgi XFS log",
        "partition is part of an XLV vol",
    };
    for (int code = 0; code < 13; ++code)
        cases.push_back({"type code", [code](volume_header& h) { h.partition_table[0] = {1, 0, code}; }, {},
                         {"\n" + std::to_string(code) + "\tuse of partition (" + type_texts[code] + ")\n"}});
    EXPECT_EQ(report_lines(report(volume_header{})).size(), 39u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        volume_header h{};
        c.set(h);
        const std::string text = report(h);
        const std::vector<std::string> l = report_lines(text);
        for (const auto& [n, line] : c.lines)
            EXPECT_EQ(n < l.size() ? l[n] : "<none>", line) << n;
        for (const std::string& p : c.present)
            EXPECT_NE(text.find(p), std::string::npos) << p;
        for (const std::string& a : c.absent)
            EXPECT_EQ(text.find(a), std::string::npos) << a;
    }
}

}  // namespace
