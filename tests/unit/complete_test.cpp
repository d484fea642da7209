// Tab completion at the prompt: which word completes from where, and what is certain of it.
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

#include "library_fixture.h"
#include "shell/complete.h"

using imgb::dir;
using imgb::file;

namespace {

class Completion : public Mounted {
protected:
    void TearDown() override
    {
        if (!host.empty())
            std::system(("rm -rf " + host).c_str());
        Mounted::TearDown();
    }
    // A host directory of the test's own, holding a directory of this name.
    void make_host(const std::string& sub)
    {
        char tmpl[] = "/tmp/efsh-complete-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        host = tmpl;
        ASSERT_EQ(mkdir((host + "/" + sub).c_str(), 0755), 0);
    }
    std::string host;
};

// What Tab gives for the text before the cursor, as "insert|match,match".
std::string tab(const std::string& line)
{
    completion c = complete_line(line.c_str());
    std::string shown = c.insert + "|";
    for (size_t i = 0; i < c.matches.size(); ++i)
        shown += (i ? "," : "") + c.matches[i];
    return shown;
}

TEST_F(Completion, CommandWordsImagePathsAndHostPaths)
{
    mount({dir("usr", {dir("lib", {}), file("libc.a", "x")}), file("uxfile", "x"), imgb::symlink("ulink", "usr"),
           file("u x", "blank"), dir("etc", {})});

    // cd takes directories only; more and the source of cp any name; a name with a blank cannot be
    // typed as one word and is never offered. Words that take no path, an escape, and options
    // complete to nothing. The host side: lcd takes directories, the target of cp any name.
    ASSERT_NO_FATAL_FAILURE(make_host("alpha"));
    std::ofstream(host + "/alps") << "x";
    const std::pair<std::string, std::string> at_root[] = {
        {"by", "e |bye"}, {"c", "|cd,cp"}, {"", "|bye,cd,cp,debug,lcd,ls,more,pwd,tar"}, {"t", "ar |tar"}, {"cd u", "sr/|usr/"},
        {"more u", "|ulink,usr/,uxfile"}, {"more  usr/li", "b|lib/,libc.a"}, {"more /usr/libc", ".a |libc.a"},
        {"cp -r -v e", "tc/|etc/"}, {"cp -- ux", "file |uxfile"}};
    const std::pair<std::string, std::string> in_usr[] = {
        {"cd l", "ib/|lib/"}, {"cd /e", "tc/|etc/"}, {"ls l", "|"}, {"bye l", "|"}, {"cd lib l", "|"}, {"!cd l", "|"},
        {"cp -", "|"}, {"xyz l", "|"}, {"lcd " + host + "/al", "pha/|alpha/"}, {"cp libc.a " + host + "/al", "p|alpha/,alps"}};
    for (const auto& [line, shown] : at_root)
        EXPECT_EQ(tab(line), shown) << line;
    ASSERT_EQ(fs_chdir("usr"), 0);
    for (const auto& [line, shown] : in_usr)
        EXPECT_EQ(tab(line), shown) << line;

    // Completion leaves no trace in the error codes a later command reports.
    fs_errno = FS_EBADPART;
    errno = EPERM;
    EXPECT_TRUE(complete_line("cd nothing/x").matches.empty());
    EXPECT_TRUE(complete_line(("lcd " + host + "/nothing/x").c_str()).matches.empty());
    EXPECT_EQ(fs_errno, FS_EBADPART);
    EXPECT_EQ(errno, EPERM);
}

TEST_F(Completion, DamagedDirectoryOffersWhatCanBeRead)
{
    imgb::Node d = dir("d", {file("a1", "1"), file("a2", "2"), file("a3", "3"), file("a4", "4")});
    d.extent_blocks = 4;
    d.dir_entries_per_block = 2;  // blocks: [. ..] [a1 a2] [a3 a4]
    d.damage.bad_dir_magic_blocks = {2};
    mount({d});
    EXPECT_EQ(tab("more d/a"), "|a1,a2");
}

TEST_F(Completion, NamesWithBlanksCompleteInsideQuotes)
{
    mount({file("u x", "blank"), dir("my dir", {file("a b", "x")}), file("ux", "x")});
    ASSERT_NO_FATAL_FAILURE(make_host("My Disks"));
    const std::pair<std::string, std::string> cases[] = {
        {"more \"u", "|u x,ux"}, {"more \"u ", "x\" |u x"}, {"cd \"my", " dir/|my dir/"}, {"cp \"my dir\"/a", "|"},
        {"cp \"my dir/a", " b\" |a b"}, {"lcd \"" + host + "/My", " Disks/|My Disks/"}, {"lcd " + host + "/My", "|"}};
    for (const auto& [line, shown] : cases)
        EXPECT_EQ(tab(line), shown) << line;
}

// manifest completes like tar: the image path, then the host file; the words after -f and -a are
// values, completed from nowhere.
TEST_F(Completion, ManifestTakesAnImagePathThenAHostFile)
{
    mount({dir("etc", {}), file("data", "x")});
    ASSERT_NO_FATAL_FAILURE(make_host("alpha"));
    const std::pair<std::string, std::string> cases[] = {
        {"ma", "nifest |manifest"}, {"m", "|manifest,more"}, {"manifest e", "tc/|etc/"}, {"manifest -f body -a md5 -o d", "ata |data"},
        {"manifest -f d", "|"}, {"manifest -a e", "|"}, {"manifest etc " + host + "/al", "pha/|alpha/"}};
    for (const auto& [line, shown] : cases)
        EXPECT_EQ(tab(line), shown) << line;
}

TEST(CompletionColumns, ListReadsDownTheColumns)
{
    EXPECT_EQ(completion_columns({"a", "bb", "ccc", "d", "e"}, 12), "a    d\nbb   e\nccc\n");
    EXPECT_EQ(completion_columns({"longer-than-the-width"}, 5), "longer-than-the-width\n");
}

}  // namespace
