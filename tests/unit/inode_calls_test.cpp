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
