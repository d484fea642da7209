// End-to-end: images as people hold them. CD dumps in raw sectors (with and without a cue sheet)
// read exactly as the plain image, their damaged sectors named; every other kind of file said;
// -l's partition list.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>

#include "run_efsh.h"
#include "tests/support/image_builder.h"

namespace {

constexpr int32_t FIRST_BLOCK = 100;

imgb::Disk tree_disk()
{
    imgb::Node big = imgb::file("big", imgb::pattern(300000, 7));
    big.extent_blocks = 7;  // many extents, most not on a sector's edge
    imgb::Disk d = imgb::simple_disk({imgb::file("readme", "hello\n"),
                                      imgb::dir("d", {big, imgb::symlink("link", "../readme"), imgb::file("tail", "end\n")})});
    d.partitions[0].first_block = FIRST_BLOCK;
    return d;
}

int sh(const std::string& cmd)
{
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to)
{
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

class CdImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = make_scratch_dir();
        plain = dir + "/plain.img";
        built = imgb::write_image(tree_disk(), plain);
        ASSERT_TRUE(built.ok) << built.error;
    }
    void TearDown() override
    {
        if (!mnt.empty())
            sh("fusermount3 -u '" + mnt + "' 2>/dev/null");
        remove_tree(dir);
    }
    // What efsh shows and copies of an image, the image's name made "IMG": ls, cp -r and tar.
    std::string session(const std::string& image, const std::string& tag)
    {
        std::string t = dir + "/T" + tag;
        std::filesystem::create_directory(t);
        run_result r = run_efsh({"-p", "7", image},
                                "ls -l\ncd d\nls -l\ncd /\ncp -r / " + t + "\ntar / " + t + ".tar\nbye\n");
        std::string seen = replace_all(r.out + "\n--\n" + r.err, image, "IMG");
        for (const std::string& e : host_tree(t))
            seen += "\n" + e + (e.back() == '/' ? "" : " " + read_file(t + "/" + e.substr(0, e.rfind(':'))));
        return seen + "\n" + read_file(t + ".tar");
    }
    // The CD sector that holds block k of d/big.
    int64_t big_sector(uint32_t k) const
    {
        for (const imgb::ExtentInfo& e : built.nodes.at("7:/d/big").extents)
            if (k >= e.offset && k < e.offset + e.length)
                return (FIRST_BLOCK + e.block + (k - e.offset)) * 512 / 2048;
        return -1;
    }

    std::string dir, plain, mnt;
    imgb::Result built;
};

struct form_case {
    const char* name;
    imgb::CdSectors how;
    const char* cue;  // null: the raw file is opened itself; else the sheet, %s the data file's name
    const char* layout;  // the -d line
};

const form_case forms[] = {
    {"mode 1, 2352", {1, 2352, true}, nullptr,
     "image: DATA: raw CD sectors of 2352 bytes, mode 1, user data at byte 16, first data sector 0, 326 sectors, EDC checked\n"},
    {"mode 2 form 1, 2352, cue", {2, 2352, true}, "FILE \"%s\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n",
     "image: DATA: raw CD sectors of 2352 bytes, mode 2 form 1, user data at byte 24, first data sector 0, 326 sectors, EDC checked\n"},
    {"mode 1, 2448", {1, 2448, true}, nullptr,
     "image: DATA: raw CD sectors of 2448 bytes, mode 1, user data at byte 16, first data sector 0, 326 sectors, EDC checked\n"},
    {"mode 2 form 1, 2448", {2, 2448, true}, nullptr,
     "image: DATA: raw CD sectors of 2448 bytes, mode 2 form 1, user data at byte 24, first data sector 0, 326 sectors, EDC checked\n"},
    {"mode 1, 2352, cue, no EDC", {1, 2352, false}, "REM made by hand\nFILE %s BINARY\n TRACK 1 MODE1/2352\n  INDEX 1 00:00:00\n",
     "image: DATA: raw CD sectors of 2352 bytes, mode 1, user data at byte 16, first data sector 0, 326 sectors, "
     "EDC not checked (the dump's EDC fields are zero)\n"},
    // The data track after an audio track of the same file: ten sectors of silence come first.
    {"mode 1 after audio, cue", {1, 2352, true},
     "FILE \"%s\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 MODE1/2352\n    INDEX 00 00:00:05\n    INDEX 01 00:00:10\n",
     "image: DATA: raw CD sectors of 2352 bytes, mode 1, user data at byte 16, first data sector 10, 326 sectors, EDC checked\n"},
    // User data alone behind a sheet: the plain image itself.
    {"mode 1, 2048, cue", {1, 2048, true}, "FILE \"%s\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n", ""},
};

// The raw track (or the plain image again, for 2048) with its sheet; the name efsh opens.
std::string write_form(const std::string& dir, const std::string& plain, const form_case& c, const std::string& tag)
{
    std::string data = dir + "/" + tag + ".bin";
    if (c.how.sector_bytes == 2048) {
        std::filesystem::copy_file(plain, data);
    } else {
        EXPECT_TRUE(imgb::write_cd_sectors(plain, data, c.how));
        if (std::string(c.name).find("after audio") != std::string::npos) {
            std::string raw = read_file(data);
            write_file(data, std::string(10 * 2352, '\0') + raw);
        }
    }
    if (!c.cue)
        return data;
    write_file(dir + "/" + tag + ".cue", fmt(c.cue, (tag + ".bin").c_str()));
    return dir + "/" + tag + ".cue";
}

TEST_F(CdImage, RawSectorsReadAsThePlainImage)
{
    const std::string want = session(plain, "plain");
    ASSERT_NE(want.find("hello"), std::string::npos) << want;
    for (size_t i = 0; i < std::size(forms); ++i) {
        const form_case& c = forms[i];
        SCOPED_TRACE(c.name);
        std::string tag = "f" + std::to_string(i), name = write_form(dir, plain, c, tag);
        EXPECT_EQ(session(name, tag), replace_all(want, "Tplain", "T" + tag));
        run_result r = run_efsh({"-d", "-p", "7", name}, "bye\n");
        // The layout comes last, after the reports of the header and the superblock.
        std::string after = r.err.substr(r.err.find("checksum of volume portion of fs"));
        after = after.substr(after.find('\n') + 1);
        EXPECT_EQ(after, replace_all(c.layout, "DATA", dir + "/" + tag + ".bin"));
#ifdef EFSH_MOUNT_BIN
        if (efsh_under_wine() || access("/dev/fuse", R_OK | W_OK) != 0)
            continue;
        mnt = dir + "/mnt";
        std::filesystem::create_directories(mnt);
        run_options o;
        o.binary = EFSH_MOUNT_BIN;
        o.timeout_seconds = hang_seconds();
        ASSERT_EQ(run_efsh({"-p", "7", name, mnt}, "", o).status, 0);
        EXPECT_EQ(read_file(mnt + "/d/big"), imgb::pattern(300000, 7));
        EXPECT_EQ(read_file(mnt + "/readme"), "hello\n");
        EXPECT_EQ(sh("cmp -s '" + mnt + "/d/tail' '" + dir + "/Tplain/d/tail'"), 0);
        EXPECT_EQ(sh("fusermount3 -u '" + mnt + "'"), 0);
        mnt.clear();
#endif
    }
}
// Where byte `at` of d/big lies in a mode 1 track of 2,352-byte sectors: the sector, and the
// position of the byte in the file of sectors.
struct place {
    int64_t sector, raw;
};

TEST_F(CdImage, DamagedSectorsAreNamedAndNothingShifts)
{
    auto where = [&](uint32_t at) {
        for (const imgb::ExtentInfo& e : built.nodes.at("7:/d/big").extents)
            if (at / 512 >= e.offset && at / 512 < e.offset + e.length) {
                int64_t p = (FIRST_BLOCK + e.block + (at / 512 - e.offset)) * 512 + at % 512;
                return place{p / 2048, p / 2048 * 2352 + 16 + p % 2048};
            }
        return place{-1, -1};
    };
    const std::string data = dir + "/dmg.bin", big = imgb::pattern(300000, 7);
    ASSERT_TRUE(imgb::write_cd_sectors(plain, data, {}));
    const std::string sound = read_file(data);
    const place edc = where(5123), hdr = where(100000), sync = where(150000), cut = where(200000);
    struct damage_case {
        const char* name;
        int64_t sector;
        std::string raw;     // the damaged file
        const char* report;  // %s the file, %lld the sector
        bool delivered;      // the file's bytes all come out (else the copy fails at the sector)
    };
    std::string flipped = sound, mode2 = sound, unsynced = sound;
    flipped[edc.raw] ^= 0x10;
    mode2[hdr.sector * 2352 + 15] = 2;
    unsynced[sync.sector * 2352 + 4] = 0;
    const damage_case cases[] = {
        {"EDC", edc.sector, flipped, "%s: sector %lld: EDC mismatch: the sector is damaged; its data is delivered as read\n", true},
        {"header", hdr.sector, mode2, "%s: sector %lld: the header says mode 2, the track is mode 1: its blocks are a read error\n", false},
        {"sync", sync.sector, unsynced, "%s: sector %lld: no sync pattern where a sector should begin: its blocks are a read error\n", false},
        {"cut", cut.sector, sound.substr(0, cut.sector * 2352 + 1000),
         "%s: sector %lld: cut short by the end of the file (1000 of 2352 bytes): its blocks are a read error\n", false},
    };
    for (const damage_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(data, c.raw);
        std::string t = dir + "/D" + c.name;
        std::filesystem::create_directory(t);
        // Read twice in one session: each damaged sector is said once.
        run_result r = run_efsh({"-p", "7", data}, "cp d/big " + t + "/a\ncp d/big " + t + "/b\ncp readme " + t + "/r\nbye\n");
        std::string report = fmt(c.report, data.c_str(), static_cast<long long>(c.sector));
        if (c.delivered) {
            std::string want = big;
            want[5123] ^= 0x10;  // the byte as the disc holds it, in its place
            EXPECT_EQ(r.err, report);
            EXPECT_EQ(read_file(t + "/a"), want);
            EXPECT_EQ(read_file(t + "/b"), want);
        } else {
            EXPECT_EQ(r.err, report + "fs_fread: Read error\nfs_fread: Read error\n");
        }
        EXPECT_EQ(read_file(t + "/r"), "hello\n");
    }
}

// Images made by tools no one here wrote: chdman's CD images round-trip, and compressed files,
// archives and other file systems get the line that says what they are.
TEST_F(CdImage, OtherToolsFilesAreReadOrNamed)
{
    if (efsh_under_wine())
        GTEST_SKIP() << "the tools run on the Linux side only";
    const std::string want = session(plain, "plain");
    const std::string bin = dir + "/ours.bin", cue = dir + "/ours.cue";
    ASSERT_TRUE(imgb::write_cd_sectors(plain, bin, {}));
    write_file(cue, "FILE \"ours.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n");
    std::filesystem::create_directory(dir + "/iso");
    write_file(dir + "/iso/a", "a\n");
    const std::string d = dir + "/";
    struct tool_case {
        const char* tool;
        std::string make;  // shell command run in dir
        const char* file;
        std::string note;  // the line after "open disk: Bad magic number"; empty: the file is read
    };
    const tool_case cases[] = {
        {"chdman", "chdman createcd -i ours.cue -o cd.chd && chdman extractcd -i cd.chd -o back.cue", "back.cue", ""},
        {"chdman", "chdman createcd -i ours.cue -o cd2.chd", "cd2.chd",
         "cd2.chd: a MAME CHD image of a CD: convert it first (chdman extractcd -i cd2.chd -o cd2.cue), then open cd2.cue"},
        {"chdman", "chdman createhd -i plain.img -o hd.chd", "hd.chd",
         "hd.chd: a MAME CHD image of a hard disk: convert it first (chdman extracthd -i hd.chd -o hd.img), then open hd.img"},
        {"gzip", "gzip -k plain.img", "plain.img.gz",
         "plain.img.gz: a gzip-compressed file: decompress it first (gzip -dk plain.img.gz), then open what it holds"},
        {"xz", "xz -k plain.img", "plain.img.xz",
         "plain.img.xz: an xz-compressed file: decompress it first (xz -dk plain.img.xz), then open what it holds"},
        {"bzip2", "bzip2 -k plain.img", "plain.img.bz2",
         "plain.img.bz2: a bzip2-compressed file: decompress it first (bzip2 -dk plain.img.bz2), then open what it holds"},
        {"zstd", "zstd -q plain.img", "plain.img.zst",
         "plain.img.zst: a zstd-compressed file: decompress it first (zstd -d plain.img.zst), then open what it holds"},
        {"zip", "zip -q p.zip plain.img", "p.zip", "p.zip: a zip archive: unpack it first (unzip p.zip), then open what it holds"},
        {"7z", "7z a p.7z plain.img >/dev/null", "p.7z", "p.7z: a 7-Zip archive: unpack it first (7z x p.7z), then open what it holds"},
        {"tar", "tar -cf p.tar plain.img", "p.tar", "p.tar: a tar archive: unpack it first (tar -xf p.tar), then open what it holds"},
        {"xorriso", "xorriso -as mkisofs -quiet -o x.iso iso 2>/dev/null", "x.iso",
         "x.iso: an ISO 9660 file system with no SGI volume header: efsh reads SGI disks and their EFS file systems; "
         "the host reads ISO 9660 itself"},
        {"genisoimage", "genisoimage -quiet -o g.iso iso", "g.iso",
         "g.iso: an ISO 9660 file system with no SGI volume header: efsh reads SGI disks and their EFS file systems; "
         "the host reads ISO 9660 itself"},
    };
    run_options here;
    here.cwd = dir;
    for (const tool_case& c : cases) {
        SCOPED_TRACE(c.make);
        if (!have(c.tool)) {
            std::printf("[  SKIP    ] %s: %s is not installed\n", c.file, c.tool);
            continue;
        }
        ASSERT_EQ(sh("cd '" + dir + "' && (" + c.make + ") >/dev/null 2>&1"), 0);
        if (c.note.empty()) {
            EXPECT_EQ(session(d + c.file, c.file), replace_all(want, "Tplain", std::string("T") + c.file));
            continue;
        }
        run_result r = run_efsh({c.file}, "", here);
        EXPECT_EQ(r.err, "open disk: Bad magic number\n" + c.note + "\n");
        EXPECT_EQ(r.out, "");
    }
}

// What is said of files that are no disk image, and of cue sheets efsh cannot follow.
TEST_F(CdImage, FilesThatAreNoImageSaySo)
{
    write_file(dir + "/empty.img", "");
    write_file(dir + "/zero.bin", std::string(12, '\xFF').insert(0, 1, '\0').substr(0, 12) + std::string(2340, '\0'));
    std::filesystem::create_directory(dir + "/folder.img");
    struct note_case {
        const char* file;
        std::string content;  // written to file unless empty
        std::string err;
    };
    // Other file systems and partition tables by their marks; an ISO 9660 file system and nothing
    // at all in raw sectors.
    std::string xfs = "XFSB" + std::string(1020, '\0'), mbr(1024, '\0'), gpt;
    mbr[510] = '\x55';
    mbr[511] = '\xAA';
    gpt = mbr;
    gpt.replace(512, 8, "EFI PART");
    std::string iso(40000, '\0');
    iso.replace(32768, 6, "\x01" "CD001");
    write_file(dir + "/iso.plain", iso);
    EXPECT_TRUE(imgb::write_cd_sectors(dir + "/iso.plain", dir + "/iso.bin", {}));
    write_file(dir + "/zeros.plain", std::string(8192, '\0'));
    EXPECT_TRUE(imgb::write_cd_sectors(dir + "/zeros.plain", dir + "/zeros.bin", {2, 2448, true}));
    const std::string sgi = "efsh reads SGI disks and their EFS file systems";
    std::string zero_mode = std::string("\0", 1) + std::string(10, '\xFF') + std::string("\0", 1) + std::string(2340, '\0');
    const note_case cases[] = {
        {"empty.img", "", "open disk: Read error\nempty.img: an empty file: too short to be a disk image\n"},
        {"folder.img", "", "open disk: Is a directory\n"},
        {"zero.bin", zero_mode,
         "open disk: Bad magic number\nzero.bin: raw CD sectors of mode 0: efsh reads data sectors of mode 1 and mode 2 form 1\n"},
        {"audio.cue", "FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n",
         "open disk: Bad magic number\naudio.cue:2: the sheet names audio tracks only: no data for efsh to read\n"},
        {"missing.cue", "REM\nFILE \"gone.bin\" BINARY\n  TRACK 01 MODE1/2352\n",
         "open disk: No such file or directory\nmissing.cue:2: FILE \"gone.bin\": gone.bin cannot be opened\n"},
        {"odd.cue", "FILE \"plain.img\" BINARY\n  TRACK 01 MODE2/2336\n",
         "open disk: Bad magic number\nodd.cue:2: a track of type MODE2/2336: efsh reads data tracks of MODE1/2352, MODE2/2352 "
         "and MODE1/2048\n"},
        {"wave.cue", "FILE \"plain.img\" WAVE\n  TRACK 01 MODE1/2352\n",
         "open disk: Bad magic number\nwave.cue:2: a data track in a FILE of type WAVE: efsh reads data tracks of BINARY files\n"},
        {"xfs.img", xfs,
         "open disk: Bad magic number\nxfs.img: a bare XFS file system (an IRIX partition copied alone): " + sgi +
             "; the host's XFS driver may read it\n"},
        {"mbr.img", mbr, "open disk: Bad magic number\nmbr.img: a PC disk with an MBR partition table (or a PC boot sector): " + sgi + "\n"},
        {"gpt.img", gpt, "open disk: Bad magic number\ngpt.img: a PC disk with a GPT partition table: " + sgi + "\n"},
        {"iso.bin", "",
         "open disk: Bad magic number\niso.bin: an ISO 9660 file system (in raw CD sectors of 2352 bytes) with no SGI volume "
         "header: " + sgi + "; the host reads ISO 9660 itself\n"},
        {"zeros.bin", "", "open disk: Bad magic number\nzeros.bin: raw CD sectors of 2448 bytes that hold no SGI volume header: " + sgi + "\n"},
        // Shorter than a block, still named; Windows has no gzip of its own: 7-Zip there.
        {"magic.gz", "\x1F\x8B\x08\x00 and the rest",
         "open disk: Read error\nmagic.gz: a gzip-compressed file: decompress it first " +
             std::string(efsh_under_wine() ? "(with 7-Zip: 7z x magic.gz)" : "(gzip -dk magic.gz)") + ", then open what it holds\n"},
        {"none.cue", "TITLE \"nothing\"\n", "open disk: Bad magic number\nnone.cue: no FILE ... BINARY with a data track in the sheet\n"},
        {"wrong.cue", "FILE \"plain.img\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n",
         "open disk: Bad magic number\nwrong.cue:2: TRACK MODE1/2352: plain.img holds no raw CD sector at the track's start (byte 0)\n"},
        {"time.cue", "FILE \"plain.img\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 0:99:00\n",
         "open disk: Bad magic number\ntime.cue:3: INDEX 01 0:99:00: not a time in minutes, seconds and frames (mm:ss:ff)\n"},
    };
    run_options here;
    here.cwd = dir;
    for (const note_case& c : cases) {
        SCOPED_TRACE(c.file);
        if (!c.content.empty())
            write_file(dir + "/" + c.file, c.content);
        run_result r = run_efsh({c.file}, "", here);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
    }
}

// -l: every partition in use and every file of the volume directory, tab-separated on stdout.
TEST_F(CdImage, ListNamesEveryPartitionAndVolumeDirectoryFile)
{
    imgb::Disk d = tree_disk();
    d.partitions.push_back({0, 0, 1, 100, std::nullopt});
    d.partitions.push_back({8, 10, 4000, 20000, std::nullopt});
    d.partitions.push_back({9, 11, 24000, 2000, std::nullopt});
    d.partitions.push_back({10, 6, 1, 26000, std::nullopt});
    d.partitions.push_back({12, 42, 26000, 10, std::nullopt});
    d.volume_directory = {{"sgilabel", 2, 512}, {"ide", 4, 30000}, {"", 0, 0}, {"sash", 64, 17000}};
    std::string img = dir + "/l.img", bin = dir + "/l.bin";
    ASSERT_TRUE(imgb::write_image(d, img).ok);
    // The volume header's partition and the whole volume's begin at block 0, where the builder
    // places nothing: their entries are set so, and the checksum made again.
    std::string raw = read_file(img);
    for (int p : {0, 10})
        std::fill_n(raw.begin() + 312 + 12 * p + 4, 4, '\0');
    uint32_t sum = 0;
    for (int i = 0; i < 126; ++i)
        sum += uint32_t(uint8_t(raw[4 * i])) << 24 | uint32_t(uint8_t(raw[4 * i + 1])) << 16 |
               uint32_t(uint8_t(raw[4 * i + 2])) << 8 | uint8_t(raw[4 * i + 3]);
    for (int k = 0; k < 4; ++k)
        raw[504 + k] = static_cast<char>((0u - sum) >> (24 - 8 * k));
    write_file(img, raw);
    run_result r = run_efsh({"-l", img}, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "partition\t0\t0\tpartition is volume header\t0\t100\t0\t51200\n"
              "partition\t7\t7\tpartition is sgi EFS\t100\t1202\t51200\t615424\n"
              "partition\t8\t10\tpartition is sgi XFS\t4000\t20000\t2048000\t10240000\n"
              "partition\t9\t11\tpartition is sgi XFS log\t24000\t2000\t12288000\t1024000\n"
              "partition\t10\t6\tpartition is entire volume\t0\t26000\t0\t13312000\n"
              "partition\t12\t42\tpartition type unknown\t26000\t10\t13312000\t5120\n"
              "file\tsgilabel\t2\t512\n"
              "file\tide\t4\t30000\n"
              "file\tsash\t64\t17000\n");
    // The same from the image in raw sectors.
    ASSERT_TRUE(imgb::write_cd_sectors(img, bin, {}));
    EXPECT_EQ(run_efsh({"-l", bin}, "").out, r.out);
}

}  // namespace
