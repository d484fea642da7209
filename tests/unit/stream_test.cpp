// File streams: counts and osize at the end, extent layouts, the slot table and damaged extents.
#include "library_fixture.h"

using imgb::file;

class Streams : public Mounted {
protected:
    // A file of the given data spread over that many extents, damaged as given.
    static imgb::Node spread(const char* name, const std::string& data, int extents, imgb::NodeDamage damage = {})
    {
        imgb::Node n = file(name, data);
        n.extents = extents;
        n.damage = damage;
        return n;
    }
};

TEST_F(Streams, CountsAndOsizeAtTheEnd)
{
    mount({file("empty", ""), file("k1000", imgb::pattern(1000)), file("k1024", imgb::pattern(1024)),
           file("long", imgb::pattern(5000))});
    uint32_t osize = 0;
    EXPECT_EQ(read_all("empty", 512, &osize), "");
    EXPECT_EQ(osize, 1u);

    // Reads of 512 bytes: their counts, then osize.
    char buf[512];
    for (const auto& [name, counts] : {std::pair{"k1000", "512 488 0 1002"}, {"k1024", "512 512 0 1025"}}) {
        fs_file* s = fs_fopen(name, "rb");
        ASSERT_NE(s, nullptr);
        std::string got;
        for (int i = 0; i < 3; ++i)
            got += std::to_string(fs_fread(buf, 1, 512, s)) + " ";
        EXPECT_EQ(got + std::to_string(s->osize), counts);
        fs_fclose(s);
    }

    // Item sizes above 1 count bytes; a null destination skips as far as a copy would.
    fs_file* s = fs_fopen("long", "rb");
    EXPECT_EQ(fs_fread(buf, 4, 3, s), 12u);
    EXPECT_EQ(fs_fread(nullptr, 1, 100, s), 100u);
    EXPECT_EQ(fs_fread(buf, 1, 4, s), 4u);
    EXPECT_EQ(std::string(buf, 4), imgb::pattern(5000).substr(112, 4));
    EXPECT_EQ(fs_fread(buf, 0, 7, s), 0u);
    fs_fclose(s);
}

TEST_F(Streams, ExtentLayoutsReadBackExactly)
{
    std::string data = imgb::pattern(3 * 1024 * 1024 + 77, 9);
    imgb::Node twelve = file("twelve", imgb::pattern(12 * 512, 2));
    twelve.extents = 12;
    imgb::Node thirteen = file("thirteen", imgb::pattern(13 * 512 - 5, 3));
    thirteen.extents = 13;
    imgb::Node many = file("many", data);
    many.extents = 130;  // three indirect blocks' worth of extents
    imgb::Node split = file("split", data);
    split.extents = 70;
    split.indirect_extent_blocks = 1;  // a second indirect extent holds extents 65 to 70
    imgb::Node zeros = file("zeros", imgb::pattern(2000, 4));
    zeros.extents = 3;
    zeros.zero_length_at = {0, 2};
    imgb::Node tail = file("tail", imgb::pattern(1024, 5));
    tail.extents = 2;
    tail.extent_blocks = 2;  // two extents of two blocks: the second starts at the size
    imgb::Result r = mount({twelve, thirteen, many, split, zeros, tail});
    EXPECT_EQ(r.nodes["7:/many"].indirect.size(), 1u);
    EXPECT_EQ(r.nodes["7:/split"].indirect.size(), 2u);
    EXPECT_EQ(read_all("twelve"), imgb::pattern(12 * 512, 2));
    EXPECT_EQ(read_all("thirteen"), imgb::pattern(13 * 512 - 5, 3));
    uint32_t osize = 0;
    EXPECT_EQ(read_all("many", 512, &osize), data);
    EXPECT_GT(osize, data.size());
    EXPECT_EQ(read_all("split", 65536), data);
    EXPECT_EQ(read_all("zeros"), imgb::pattern(2000, 4));
    EXPECT_EQ(read_all("tail", 512, &osize), imgb::pattern(1024, 5));
    EXPECT_EQ(osize, 1025u);
}

TEST_F(Streams, SixteenSlotsSharedByFileAndDirectoryStreams)
{
    mount({file("a", "x"), imgb::dir("d", {})});
    fs_file* open[STREAM_SLOTS];
    for (int i = 0; i < STREAM_SLOTS; ++i) {
        open[i] = i % 2 ? fs_fopen("a", "r") : fs_opendir("d");
        ASSERT_NE(open[i], nullptr) << i;
    }
    EXPECT_EQ(fs_fopen("a", "rb"), nullptr);
    EXPECT_EQ(fs_errno, FS_EMFILE);
    EXPECT_EQ(fs_opendir("d"), nullptr);
    EXPECT_EQ(fs_errno, FS_EMFILE);
    EXPECT_EQ(fs_fopen("missing", "rb"), nullptr);  // the lookup comes first
    EXPECT_EQ(fs_errno, FS_ENOENT);
    fs_fclose(open[5]);
    fs_file* again = fs_fopen("a", "rb");
    EXPECT_EQ(again, open[5]);
    EXPECT_EQ(fs_opendir("a"), nullptr);
    EXPECT_EQ(fs_errno, FS_ENOTDIR);
}

TEST_F(Streams, DamagedExtentsStopTheStreamCleanly)
{
    std::string data = imgb::pattern(40 * 512, 7);
    auto node = [&](const char* name, int extents, imgb::NodeDamage damage) { return spread(name, data, extents, damage); };
    mount({node("negative", 4, {.raw_extent_count = -3}), node("too_many", 20, {.raw_indirect_count = 13}),
           node("broken", 4, {.break_invariant_at = 2}), node("longx", 4, {.long_extent_at = 1}),
           node("past", 4, {.extent_past_image_at = 3}), node("magic_used", 4, {.bad_extent_magic_slot = 1}),
           node("magic_unused", 20, {.bad_extent_magic_slot = 11})});

    uint32_t osize = 0;
    EXPECT_EQ(read_all("negative", 512, &osize), "");
    EXPECT_EQ(osize, 1u);
    EXPECT_EQ(read_all("too_many", 512, &osize), "");
    EXPECT_EQ(fs_errno, FS_EREAD);
    for (const char* name : {"broken", "longx", "past"}) {
        std::string got = read_all(name, 512, &osize);
        EXPECT_EQ(fs_errno, FS_EREAD) << name;
        EXPECT_LT(got.size(), data.size()) << name;
        EXPECT_TRUE(data.compare(0, got.size(), got) == 0) << name;  // nothing at a wrong offset
        EXPECT_LE(osize, data.size()) << name;
    }
    EXPECT_EQ(fs_fopen("magic_used", "rb"), nullptr);
    EXPECT_EQ(fs_errno, FS_EBADMAGIC);
    fs_statbuf st;
    EXPECT_EQ(fs_stat("magic_unused", &st), -1);
    EXPECT_EQ(fs_errno, FS_EBADMAGIC);
}

// Extents beyond the size are not read: one past the image end there costs nothing and reports nothing.
TEST_F(Streams, ExtentsPastTheSizeAreNotRead)
{
    imgb::Node tail = file("tail", imgb::pattern(512, 4));
    tail.extents = 3;
    tail.damage.extent_past_image_at = 2;
    mount({tail});
    fs_file* s = fs_fopen("tail", "rb");
    ASSERT_NE(s, nullptr);
    char buf[512];
    EXPECT_EQ(fs_fread(buf, 1, 512, s), 512u);
    EXPECT_EQ(fs_fread(buf, 1, 512, s), 0u);
    EXPECT_EQ(fs_errno, 0);
    EXPECT_EQ(s->osize, 513u);
    EXPECT_EQ(s->ext_index, 1);
    fs_fclose(s);
}

// Whole runs, as cp and more take them, deliver what fs_fread delivers and end the same way,
// whether the host shares them or they are read and written.
TEST_F(Streams, RunsDeliverWhatFreadDelivers)
{
    std::string data = imgb::pattern(300 * 1024 + 77, 9);
    auto node = [&](const char* name, int extents, imgb::NodeDamage damage = {}) {
        return spread(name, data, extents, damage);
    };
    imgb::Node zeros = node("zeros", 80);
    zeros.zero_length_at = {0, 40, 79};
    // The third extent of tail, past the image, lies past the size too.
    imgb::Node tail = node("tail", 3, {.raw_size = 2 * 512, .extent_past_image_at = 2});
    imgb::Node broken = node("broken", 70, {.break_invariant_at = 66}), longx = node("longx", 4, {.long_extent_at = 2});
    imgb::Node past = node("past", 4, {.extent_past_image_at = 3});
    imgb::Node short_extents = node("short_extents", 4, {.raw_extent_count = 3});
    // Back to back in the image, as a file written in one go lies, extents are copied together.
    auto packed = [&](imgb::Node n) {
        n.name = "packed_" + n.name;
        n.extent_gaps = false;
        return n;
    };
    // many: three indirect blocks' worth; cut: the size ends inside the sixth extent.
    const std::vector<imgb::Node> nodes = {
        file("empty", ""), node("three", 3), zeros, tail, broken, longx, past, node("negative", 4, {.raw_extent_count = -3}),
        short_extents, packed(node("three", 3)), packed(node("many", 140)),
        packed(node("cut", 12, {.raw_size = 5 * 25600 + 100})), packed(zeros), packed(broken), packed(longx), packed(past),
        packed(short_extents)};
    mount(nodes);
    for (const imgb::Node& n : nodes) {
        const char* name = n.name.c_str();
        SCOPED_TRACE(name);
        uint32_t by_fread = 0;
        std::string want = read_all(name, 512, &by_fread);
        int fread_errno = fs_errno;
        fs_statbuf st;
        ASSERT_EQ(fs_stat(name, &st), 0);
        for (bool copy : {false, true}) {
            uint32_t by_runs = 0;
            EXPECT_TRUE(read_runs(name, &by_runs, copy) == want) << copy;
            EXPECT_EQ(fs_errno, fread_errno) << copy;
            // osize counts every call that met the end; what matters is whether it passed the size.
            EXPECT_EQ(by_runs > uint32_t(st.st_size), by_fread > uint32_t(st.st_size)) << copy;
        }
    }
}
