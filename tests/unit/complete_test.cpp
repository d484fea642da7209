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

using names = std::vector<std::string>;

class Completion : public Mounted {};

TEST_F(Completion, CommandWordsImagePathsAndHostPaths)
{
    mount({dir("usr", {dir("lib", {}), file("libc.a", "x")}), file("uxfile", "x"), imgb::symlink("ulink", "usr"),
           file("u x", "blank"), dir("etc", {})});

    EXPECT_EQ(complete_line("by").insert, "e ");
    completion c = complete_line("c");
    EXPECT_EQ(c.insert, "");
    EXPECT_EQ(c.matches, (names{"cd", "cp"}));
    EXPECT_EQ(complete_line("").matches.size(), 9u);
    EXPECT_EQ(complete_line("t").insert, "ar ");

    // cd takes directories only; more and the source of cp any name; a name with a blank cannot be
    // typed as one word and is never offered.
    EXPECT_EQ(complete_line("cd u").insert, "sr/");
    c = complete_line("more u");
    EXPECT_EQ(c.insert, "");
    EXPECT_EQ(c.matches, (names{"ulink", "usr/", "uxfile"}));
    c = complete_line("more  usr/li");
    EXPECT_EQ(c.insert, "b");
    EXPECT_EQ(c.matches, (names{"lib/", "libc.a"}));
    EXPECT_EQ(complete_line("more /usr/libc").insert, ".a ");
    EXPECT_EQ(complete_line("cp -r -v e").insert, "tc/");
    EXPECT_EQ(complete_line("cp -- ux").insert, "file ");
    ASSERT_EQ(fs_chdir("usr"), 0);
    EXPECT_EQ(complete_line("cd l").insert, "ib/");
    EXPECT_EQ(complete_line("cd /e").insert, "tc/");

    // Words that take no path, an escape, and options complete to nothing.
    for (const char* none : {"ls l", "bye l", "cd lib l", "!cd l", "cp -", "xyz l"})
        EXPECT_TRUE(complete_line(none).matches.empty()) << none;

    // The host side: lcd takes directories, the target of cp any name.
    char tmpl[] = "/tmp/efsh-complete-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string host = tmpl;
    ASSERT_EQ(mkdir((host + "/alpha").c_str(), 0755), 0);
    std::ofstream(host + "/alps") << "x";
    EXPECT_EQ(complete_line(("lcd " + host + "/al").c_str()).insert, "pha/");
    c = complete_line(("cp libc.a " + host + "/al").c_str());
    EXPECT_EQ(c.insert, "p");
    EXPECT_EQ(c.matches, (names{"alpha/", "alps"}));

    // Completion leaves no trace in the error codes a later command reports.
    fs_errno = FS_EBADPART;
    errno = EPERM;
    EXPECT_TRUE(complete_line("cd nothing/x").matches.empty());
    EXPECT_TRUE(complete_line(("lcd " + host + "/nothing/x").c_str()).matches.empty());
    EXPECT_EQ(fs_errno, FS_EBADPART);
    EXPECT_EQ(errno, EPERM);
    std::system(("rm -rf " + host).c_str());
}

TEST_F(Completion, DamagedDirectoryOffersWhatCanBeRead)
{
    imgb::Node d = dir("d", {file("a1", "1"), file("a2", "2"), file("a3", "3"), file("a4", "4")});
    d.extent_blocks = 4;
    d.dir_entries_per_block = 2;  // blocks: [. ..] [a1 a2] [a3 a4]
    d.damage.bad_dir_magic_blocks = {2};
    mount({d});
    completion c = complete_line("more d/a");
    EXPECT_EQ(c.insert, "");
    EXPECT_EQ(c.matches, (names{"a1", "a2"}));
}

TEST_F(Completion, NamesWithBlanksCompleteInsideQuotes)
{
    mount({file("u x", "blank"), dir("my dir", {file("a b", "x")}), file("ux", "x")});
    completion c = complete_line("more \"u");
    EXPECT_EQ(c.matches, (names{"u x", "ux"}));
    EXPECT_EQ(complete_line("more \"u ").insert, "x\" ");
    EXPECT_EQ(complete_line("cd \"my").insert, " dir/");
    EXPECT_EQ(complete_line("cp \"my dir\"/a").matches, names{});
    EXPECT_EQ(complete_line("cp \"my dir/a").insert, " b\" ");

    char tmpl[] = "/tmp/efsh-complete-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string host = tmpl;
    ASSERT_EQ(mkdir((host + "/My Disks").c_str(), 0755), 0);
    EXPECT_EQ(complete_line(("lcd \"" + host + "/My").c_str()).insert, " Disks/");
    EXPECT_EQ(complete_line(("lcd " + host + "/My").c_str()).insert, "");
    std::system(("rm -rf " + host).c_str());
}

TEST(CompletionColumns, ListReadsDownTheColumns)
{
    EXPECT_EQ(completion_columns({"a", "bb", "ccc", "d", "e"}, 12), "a    d\nbb   e\nccc\n");
    EXPECT_EQ(completion_columns({"longer-than-the-width"}, 5), "longer-than-the-width\n");
}

}  // namespace
