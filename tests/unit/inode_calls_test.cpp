// The calls for callers that hold inode numbers: one name in a directory, a directory's stream, and
// pieces of a file's runs read straight from the image.
#include "library_fixture.h"

using imgb::dir;
using imgb::file;

class InodeCalls : public Mounted {
protected:
    uint32_t ino(const imgb::Result& r, const std::string& p) { return r.nodes.at("7:" + p).inode; }
};

TEST_F(InodeCalls, LookupTellsAbsentFromDamaged)
{
    imgb::Node torn = dir("torn", {file("a", "1")});
    torn.damage.extent_past_image_at = 0;
    imgb::Result r = mount({dir("d", {file("x", "x")}), file("plain", "p"), torn});
    struct lookup_case {
        const char* dir;
        const char* name;
        int rc;
        int32_t err;
        const char* found;
    };
    const lookup_case cases[] = {
        {"/", "d", 0, FS_OK, "/d"},
        {"/d", "x", 0, FS_OK, "/d/x"},
        {"/d", "y", -1, FS_ENOENT, nullptr},
        {"/d", "", -1, FS_ENOENT, nullptr},
        {"/plain", "x", -1, FS_ENOTDIR, nullptr},
        {"/torn", "a", -1, FS_ESEEK, nullptr},  // not "absent": the directory could not be read
    };
    for (const lookup_case& c : cases) {
        SCOPED_TRACE(std::string(c.dir) + " " + c.name);
        uint32_t found = 99;
        fs_errno = FS_OK;
        uint32_t d = std::string(c.dir) == "/" ? ROOT_INODE : ino(r, c.dir);
        EXPECT_EQ(fs_ilookup(d, c.name, &found), c.rc);
        if (c.rc == 0)
            EXPECT_EQ(found, ino(r, c.found));
        else
            EXPECT_TRUE(fs_errno == c.err || (c.err == FS_ESEEK && fs_errno == FS_EREAD)) << fs_errno;
    }
    EXPECT_EQ(fs_iopendir(ino(r, "/plain")), nullptr);
    EXPECT_EQ(fs_errno, FS_ENOTDIR);
    EXPECT_EQ(names_of(fs_iopendir(ino(r, "/d"))), (std::vector<std::string>{".", "..", "x"}));
}

// Pieces of runs read straight from the image: the file's bytes, and nothing from an extent a
// stream could not read whole.
TEST_F(InodeCalls, PiecesOfRunsAreTheFilesBytes)
{
    std::string data = imgb::pattern(40000, 5);
    imgb::Node f = file("f", data);
    f.extent_blocks = 3;  // 27 extents: indirect ones
    imgb::Node torn = file("torn", data);
    torn.extent_blocks = 3;
    torn.damage.extent_past_image_at = 2;
    imgb::Result r = mount({f, torn});
    for (const char* name : {"f", "torn"}) {
        SCOPED_TRACE(name);
        fs_file* s = fs_iopen(ino(r, std::string("/") + name));
        ASSERT_NE(s, nullptr);
        fs_run run;
        uint32_t at = 0;
        for (int i = 0; fs_next_run(s, &run); ++i) {
            std::string piece(run.bytes - 2, '\0');
            bool ok = fs_read_run_part(s, &run, 1, run.bytes - 2, reinterpret_cast<uint8_t*>(piece.data()));
            bool sound = std::string(name) == "f" || i != 2;
            EXPECT_EQ(ok, sound) << i;
            if (sound) {
                EXPECT_TRUE(piece == data.substr(at + 1, run.bytes - 2)) << i;
            }
            s->osize += run.bytes;
            at += run.bytes;
        }
        EXPECT_EQ(at, data.size());
        fs_fclose(s);
    }
}

// The salvaging stream: every entry of every intact block, the damage counted and the first of it
// named; a stream opened again at any position it told gives the rest of the same entries.
TEST_F(InodeCalls, SalvagingStreamsGoOnPastDamageAndResumeAnywhere)
{
    auto ten = [](const std::string& name) {
        std::vector<imgb::Node> kids;
        for (int i = 0; i < 10; ++i)
            kids.push_back(file("m" + std::to_string(i), "x"));
        imgb::Node d = dir(name, kids);
        d.dir_entries_per_block = 2;
        return d;
    };
    struct Case {
        imgb::Node node;
        std::vector<int> lost;  // children not listed
        uint32_t count, block;
        int32_t code;
    };
    std::vector<Case> cases;
    cases.push_back({ten("sound"), {}, 0, 0, 0});
    cases.push_back({ten("mid"), {0, 1}, 1, 1, FS_EBADMAGIC});
    cases.back().node.extent_blocks = 6;
    cases.back().node.damage.bad_dir_magic_blocks = {1};
    cases.push_back({ten("two"), {2, 3, 8, 9}, 2, 2, FS_EBADMAGIC});
    cases.back().node.extent_blocks = 3;
    cases.back().node.damage.bad_dir_magic_blocks = {2, 5};
    cases.push_back({ten("first"), {4, 5}, 1, 3, FS_EBADMAGIC});  // the first block of an extent too
    cases.back().node.extent_blocks = 3;
    cases.back().node.damage.bad_dir_magic_blocks = {3};
    cases.push_back({ten("gap"), {}, 2, 2, FS_EREAD});  // the gap, then an extent going back: both read
    cases.back().node.damage.break_invariant_at = 2;
    cases.push_back({ten("past"), {4, 5}, 1, 3, FS_ESEEK});
    cases.back().node.damage.extent_past_image_at = 3;
    std::vector<imgb::Node> nodes;
    for (const Case& c : cases)
        nodes.push_back(c.node);
    imgb::Result r = mount(nodes);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.node.name);
        std::vector<std::string> want = {".", ".."};
        for (int i = 0; i < 10; ++i)
            if (std::find(c.lost.begin(), c.lost.end(), i) == c.lost.end())
                want.push_back("m" + std::to_string(i));
        uint32_t n = ino(r, "/" + c.node.name);
        fs_dir* d = fs_iopendir_at(n, 0);
        ASSERT_NE(d, nullptr);
        std::vector<std::string> got;
        std::vector<uint64_t> at;
        for (;;) {
            at.push_back(fs_telldir(d));
            fs_dirent* e = fs_readdir(d);
            if (!e)
                break;
            got.push_back(e->d_name);
        }
        EXPECT_EQ(got, want);
        EXPECT_EQ(fs_dir_incomplete(d), c.count != 0);
        const fs_dir_damage* dmg = fs_dir_damaged(d);
        ASSERT_EQ(dmg != nullptr, c.count != 0);
        if (dmg) {
            EXPECT_EQ(dmg->count, c.count);
            EXPECT_EQ(dmg->block, c.block);
            EXPECT_EQ(dmg->code, c.code);
        }
        fs_closedir(d);
        for (size_t i = 0; i < at.size(); ++i) {
            std::vector<std::string> rest(got.begin() + static_cast<std::ptrdiff_t>(i), got.end());
            fs_dir* again = fs_iopendir_at(n, at[i]);
            ASSERT_NE(again, nullptr);
            EXPECT_EQ(fs_telldir(again), at[i]) << "a stream opened at a position is there until it reads";
            EXPECT_EQ(names_of(again), rest) << "from entry " << i;
        }
        // Lookups find exactly what the listing gives.
        for (int i = 0; i < 10; ++i) {
            std::string name = "m" + std::to_string(i);
            uint32_t found = 0;
            bool listed = std::find(want.begin(), want.end(), name) != want.end();
            EXPECT_EQ(fs_isearch(n, name.c_str(), &found), listed ? 0 : -1) << name;
            if (listed)
                EXPECT_EQ(found, ino(r, "/" + c.node.name + "/" + name));
            else
                EXPECT_EQ(fs_errno, c.code);
        }
    }
}
