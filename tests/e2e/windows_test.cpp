// End-to-end cases the Windows build meets: image names that are no file name there, trees deeper
// than its ordinary paths reach, 8-bit names, paths with blanks, a host without less, and the image
// as a target. Those that need no Windows run on every host.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "image_session.h"

namespace {

class Windows : public ImageSession {};

TEST_F(Windows, NamesWindowsReadsAsSomethingElseAreNotCopied)
{
    if (!efsh_under_wine())
        GTEST_SKIP() << "only the Windows build under wine (EFSH_WINE) refuses these names";
    const std::vector<std::string> bad = {"CON", "nul", "Aux.txt", "com1", "LPT9.log", "prn .c", "a\\b", "c:d",
                                          "e<f", "g>h", "i\"j", "k|l", "m?n", "o*p", "tab\tx", "dot.", "blank "};
    // Names Windows takes for one file or directory: the later would overwrite the earlier's copy.
    std::vector<imgb::Node> kids = {imgb::file("ok", "ok"), imgb::file("con1", "c"), imgb::file("com10", "c"),
                                    imgb::file("Same", "1"), imgb::file("sAME", "22"),
                                    imgb::dir("Sub", {imgb::file("f", "f")}), imgb::dir("sub", {imgb::file("g", "g")})};
    for (const std::string& n : bad)
        kids.push_back(imgb::file(n, "x"));
    ASSERT_TRUE(build({imgb::dir("d", kids), imgb::file("AUX", "a")}).ok);
    std::filesystem::create_directory(dir_ + "/T");
    run_result r = run("cp -r d T\ncp -r AUX T\n");
    std::string expected = "//d/sAME not copied\n//d/sub not copied\n";
    for (const std::string& n : bad)
        expected += "//d/" + n + " not copied\n";
    EXPECT_EQ(r.err, expected + "AUX not copied\n-r makes no sense here\n");
    EXPECT_EQ(host_tree(dir_ + "/T"), (std::vector<std::string>{"d/", "d/Same:1", "d/Sub/", "d/Sub/f:1", "d/com10:1",
                                                                "d/con1:1", "d/ok:2"}));
    EXPECT_EQ(r.out, prompts(3));
}

// A tree twelve levels deep under names of 30 characters, 372 characters in all below the target,
// with an ISO 8859-1 name at the top and at the bottom: all of it is copied, and lcd reaches the
// bottom. Under wine the name arrives as U+00E9, which wine stores in UTF-8.
TEST_F(Windows, DeepTreesAndEightBitNamesAreCopiedWhole)
{
    std::string leaf = imgb::pattern(5000);
    imgb::Node bottom = imgb::dir("level11_abcdefghijklmnopqrstuvw", {imgb::file("leaf", leaf)});
    std::string path = bottom.name;
    for (int level = 10; level >= 0; --level) {
        bottom = imgb::dir(fmt("level%02d_abcdefghijklmnopqrstuvw", level), {bottom});
        path = bottom.name + "/" + path;
    }
    build({bottom, imgb::file("caf\xe9", "e-acute")});
    std::filesystem::create_directory(dir_ + "/T");
    run_result r = run("cp -r / T\nlcd T/" + path + "\ncp /caf\xe9 caf\xe9\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, prompts(4));
    std::string on_disk = efsh_under_wine() ? "caf\xc3\xa9" : "caf\xe9";
    EXPECT_TRUE(read_file(dir_ + "/T/" + path + "/leaf") == leaf);
    EXPECT_EQ(read_file(dir_ + "/T/" + on_disk), "e-acute");
    EXPECT_EQ(read_file(dir_ + "/T/" + path + "/" + on_disk), "e-acute");
    EXPECT_EQ(host_tree(dir_ + "/T").size(), 12u + 3u);
}

// Double quotes hold blanks in host paths and image paths alike; "" is an empty word.
TEST_F(Windows, QuotedPathsHoldBlanks)
{
    build({imgb::dir("old files", {imgb::file("read me", "blank\n")}), imgb::file("f", "f\n")});
    std::filesystem::create_directories(dir_ + "/T/My Disks");
    std::filesystem::create_directories(dir_ + "/T/My Files");
    run_result r = run("lcd \"T/My Disks\"\ncp -r / \"\"\ncp -r \"/old files\" .\n"
                       "cp f \"../My Files/f 1\"\ncd \"old files\"\nmore \"read me\"\n");
    EXPECT_EQ(r.err, "/: directory, target  does not exist\ncp: No such file or directory\n");
    EXPECT_EQ(r.out, prompts(7));
    EXPECT_EQ(host_tree(dir_ + "/T"), (std::vector<std::string>{"My Disks/", "My Disks/old files/",
                                                                "My Disks/old files/read me:6", "My Files/",
                                                                "My Files/f 1:2"}));
    EXPECT_EQ(read_file(dir_ + "/less.log"), "blank\n");
}

// Without less on PATH the host's own more pages (under wine, its command interpreter's built-in
// one, which writes to efsh's output), and what to get is said once.
TEST_F(Windows, MoreWithoutLessPagesWithTheHostsMore)
{
    std::string missing;
    if (efsh_under_wine()) {
        std::filesystem::remove(dir_ + "/bin/less.exe");
        missing = "less not found on PATH: get less.exe with Git for Windows (its usr\\bin folder) or put any less on "
                  "PATH; paging with more\n";
    } else {
        std::filesystem::remove(dir_ + "/bin/less");
        write_file(dir_ + "/bin/more", "#!/bin/sh\nexec /bin/cat > \"$LESS_LOG\"\n");
        chmod((dir_ + "/bin/more").c_str(), 0755);
        for (std::string& e : opt.env)
            if (e.rfind("PATH=", 0) == 0)
                e = "PATH=" + dir_ + "/bin";  // no /usr/bin, where a less may be
        missing = "less not found on PATH: install the less package of your system; paging with more\n";
    }
    std::string text = "line one\nline two\n";
    build({imgb::file("notes", text)});
    run_result r = run("more nothing\nmore notes\n");
    EXPECT_EQ(r.err, missing + "fs_fopen: No such file or directory\nnothing: No such file or directory\n");
    std::string paged = efsh_under_wine() ? r.out : read_file(dir_ + "/less.log");
    EXPECT_EQ(paged, efsh_under_wine() ? prompts(2) + text + prompts(1) : text);
}

// The image is never written, by its own name, by a hard link, or as a name cp -r meets in the
// image's folder; the copy goes on with the next entry.
TEST_F(Windows, TheImageIsNeverWritten)
{
    if (!efsh_under_wine())
        GTEST_SKIP() << "the Windows host layer's own case; every host's is with the cp tests";
    build({imgb::file("disk.img", "inner"), imgb::dir("d", {imgb::file("x", "x")})});
    std::string before = read_file(img);
    std::filesystem::create_directory(dir_ + "/T");
    std::filesystem::create_hard_link(img, dir_ + "/T/hard.img");
    run_result r = run("cp /disk.img disk.img\ncp /disk.img T/hard.img\ncp -r / .\n");
    EXPECT_TRUE(read_file(img) == before);
    EXPECT_EQ(read_file(dir_ + "/d/x"), "x");
    EXPECT_EQ(r.out, prompts(4));
    EXPECT_EQ(r.err, "disk.img: the image being read is never written\nT/hard.img: the image being read is never written\n"
                     "disk.img: the image being read is never written\n");
}

// What a tree copy meets in its target and is no file of its own is left alone: a pipe (the
// copy does not wait for a reader), a link to nowhere, a link to a directory outside. (Wine shows
// a link to a file as that file; Windows shows it as a link, which the copy leaves alone too.)
TEST_F(Windows, TreeCopyWritesNothingThroughWhatIsThere)
{
    if (!efsh_under_wine())
        GTEST_SKIP() << "the Windows host layer's own case; every host's is with the cp tests";
    opt.timeout_seconds = hang_seconds();
    build({imgb::file("pipe", "p"), imgb::file("nowhere", "n"), imgb::file("outside", "o"), imgb::file("ok", "ok")});
    std::filesystem::create_directories(dir_ + "/T");
    std::filesystem::create_directories(dir_ + "/O");
    ASSERT_EQ(mkfifo((dir_ + "/T/pipe").c_str(), 0644), 0);
    std::filesystem::create_symlink(dir_ + "/O/made", dir_ + "/T/nowhere");
    std::filesystem::create_directory_symlink(dir_ + "/O", dir_ + "/T/outside");
    run_result r = run("cp -r / T\n");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(host_tree(dir_ + "/O"), std::vector<std::string>{});
    EXPECT_EQ(read_file(dir_ + "/T/ok"), "ok");
    EXPECT_EQ(r.out, prompts(2));
}

// manifest writes the same bytes on every host: the hashes of the host's library (CNG on
// Windows), names as UTF-8 text, line ends without CR, into a file and onto standard output.
TEST_F(Windows, ManifestGivesTheSameBytesOnEveryHost)
{
    if (!EFSH_HASHES && !efsh_under_wine())
        GTEST_SKIP() << "this efsh was built without hashes (libcrypto)";
    build({imgb::file("abc", "abc"), imgb::file("caf\xe9", "")});
    run_result r = run("manifest -a md5,sha1,sha256,sha512 / m.jsonl\nmanifest -f body -a md5 / m.body\n"
                       "manifest -f sums / m.sums\nmanifest -a none / -\n");
    EXPECT_EQ(r.err, "");
    const std::string head = "\"uid\":0,\"gid\":0,\"nlink\":";
    const std::string times = ",\"atime\":0,\"mtime\":0,\"ctime\":0,\"extents\":";
    const std::string root = "{\"path\":\".\",\"inode\":2,\"type\":\"dir\",\"mode\":493," + head + "2,\"size\":512" + times + "1";
    const std::string abc = "{\"path\":\"abc\",\"inode\":3,\"type\":\"file\",\"mode\":420," + head + "1,\"size\":3" + times + "1";
    const std::string cafe = "{\"path\":\"caf\xc3\xa9\",\"inode\":4,\"type\":\"file\",\"mode\":420," + head + "1,\"size\":0" + times + "0";
    const std::string none = ",\"problems\":[]}\n";
    EXPECT_EQ(read_file(dir_ + "/m.jsonl"),
              root + none + abc + ",\"md5\":\"900150983cd24fb0d6963f7d28e17f72\",\"sha1\":\"a9993e364706816aba3e25717850c26c9cd0d89d\","
              "\"sha256\":\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\",\"sha512\":\"ddaf35a193617abacc417349"
              "ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f\"" + none +
              cafe + ",\"md5\":\"d41d8cd98f00b204e9800998ecf8427e\",\"sha1\":\"da39a3ee5e6b4b0d3255bfef95601890afd80709\","
              "\"sha256\":\"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\",\"sha512\":\"cf83e1357eefb8bdf1542850"
              "d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e\"" + none);
    EXPECT_EQ(read_file(dir_ + "/m.body"), "0|.|2|d/drwxr-xr-x|0|0|512|0|0|0|0\n"
                                           "900150983cd24fb0d6963f7d28e17f72|abc|3|r/rrw-r--r--|0|0|3|0|0|0|0\n"
                                           "d41d8cd98f00b204e9800998ecf8427e|caf\xc3\xa9|4|r/rrw-r--r--|0|0|0|0|0|0|0\n");
    EXPECT_EQ(read_file(dir_ + "/m.sums"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  abc\n"
                                           "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855  caf\xe9\n");
    EXPECT_EQ(r.out, prompts(4) + root + none + abc + none + cafe + none + prompts(1));
}

// An image in a folder whose name the system's code page cannot hold (Greek here) still opens.
TEST_F(Windows, ImageInAFolderNamedInAnyScriptOpens)
{
    std::string folder = dir_ + "/\xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1";  // Ωμέγα in UTF-8
    std::filesystem::create_directory(folder);
    img = folder + "/disk.img";
    build({imgb::dir("etc", {})});
    EXPECT_EQ(run("cd /etc\npwd\n").err, "/etc\n");
}

}  // namespace
