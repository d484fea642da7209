// End-to-end: prompt lines given with -c and -f, the exit statuses of such a run, --help and
// --version of both programs, and what a stop asked in the middle of a command leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "image_session.h"

namespace {

class Scripting : public ImageSession {
protected:
    void SetUp() override
    {
        ImageSession::SetUp();
        imgb::Node broken = imgb::file("broken", imgb::pattern(5000));
        broken.damage.extent_past_image_at = 0;
        imgb::Node big = imgb::file("big", "");
        big.pattern_size = 4u << 20;
        ASSERT_TRUE(build({imgb::file("readme", "hello\n"), imgb::dir("d", {imgb::file("x", "x\n")}),
                           imgb::dir("links", {imgb::symlink("l", "f"), imgb::file("f", "f\n")}),
                           imgb::dir("bad", {imgb::file("ok", "ok\n"), broken}),
                           imgb::dir("tree", {imgb::file("a", "a\n"), big, imgb::file("z", "z\n")}),
                           imgb::dir("same", {imgb::file("disk.img", "not the image\n")})})
                        .ok);
        std::filesystem::create_directory(dir_ + "/T");
    }
    run_result script(std::vector<std::string> args, const std::string& input = "", std::vector<std::string> env = {})
    {
        run_options o = opt;
        o.env.insert(o.env.end(), env.begin(), env.end());
        return run_efsh(args, input, o);
    }
    std::vector<std::string> at(std::vector<std::string> lines)
    {
        std::vector<std::string> args = {"-p", "7"};
        for (const std::string& l : lines) {
            args.push_back("-c");
            args.push_back(l);
        }
        args.push_back(img);
        return args;
    }
    bool exists(const std::string& rel) { return std::filesystem::exists(dir_ + "/" + rel); }
};

// Lines run in order as typed, with no prompt in standard output, until the first that fails;
// the status tells the script how it went.
TEST_F(Scripting, LinesRunInOrderAndTheStatusSaysHowTheyWent)
{
    write_file(dir_ + "/lines", "pwd\ncd d\npwd\n");
    const std::string use = "Use: " + efsh_progname() + " [-hd] [-p part] file\n";
    struct scripted {
        std::vector<std::string> args;
        std::string input;
        const char* err;  // null: not compared
        int status;
    };
    const scripted cases[] = {
        {at({"pwd", "cd d", "pwd"}), "", "/\n/d\n", 0},
        {{"-p", "7", "-f", "lines", img}, "", "/\n/d\n", 0},
        // Standard input as the script: its last line is run without a newline too.
        {{"-p", "7", "-f", "-", img}, "pwd\ncd d\npwd", "/\n/d\n", 0},
        {{"-p", "7", "-c", "pwd", "-f", "lines", "-c", "pwd", img}, "", "/\n/\n/d\n/d\n", 0},
        {at({"pwd", "cp nothere out", "pwd"}), "", "/\nnothere: No such file or directory\n", 1},
        {at({"cp readme nodir/out", "pwd"}), "", nullptr, 1},
        {at({"more", "pwd"}), "", "use: more file\n", 1},
        {at({"cd nothere"}), "", "nothere: No such file or directory\n", 1},
        {at({"lcd nothere"}), "", "nothere: No such file or directory\n", 1},
        {at({"LS", "pwd"}), "", "duh?\ndebug ls bye pwd lcd cd cp more !cmd\n", 1},
        {at({"cp -x a b"}), "", nullptr, 1},
        {at({"bye", "pwd"}), "", "", 0},
        {at({"", "pwd"}), "", "/\n", 0},
        // Links left out by design are no failure; a read error is.
        {at({"cp -r links T"}), "", "//links/l not copied\n", 0},
        {at({"cp -r bad T", "pwd"}), "", "fs_fread: Read error\n", 1},
        // A file of a tree copy refused as the image being read is a failure.
        {at({"cp -r same/disk.img .", "pwd"}), "", "disk.img: the image being read is never written\n-r makes no sense here\n", 1},
        {at({"tar /d T/a.tar"}), "", "", 0},
        {{"-p", "7", "-c", "pwd", dir_ + "/missing.img"}, "", "open disk: No such file or directory\n", 2},
        {{"-p", "9", "-c", "pwd", img}, "", "mount fs: Empty partition\n", 2},
        {{"-p", "7", "-f", "nofile", img}, "", "nofile: No such file or directory\n", 2},
        {{"-c", "pwd", img}, "", nullptr, 2},
        {{"-p", "7", "-c", "pwd"}, "", use.c_str(), 2},
        {{"-x", "-c", "pwd", img}, "", nullptr, 2},
        // Without -c and -f nothing changes: status 0 whatever happened.
        {{"-p", "7", img}, "cp nothere out\n", "nothere: No such file or directory\n", 0},
        {{"-p", "9", img}, "", "mount fs: Empty partition\n", 0},
        {{"-x", img}, "", nullptr, 0},
    };
    for (const scripted& c : cases) {
        std::string line;
        for (const std::string& a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        run_result r = script(c.args, c.input);
        if (c.err) {
            EXPECT_EQ(r.err, c.err);
        }
        if (c.args.size() > 2 && c.args[0] == "-p" && c.args.back() == img && c.input.empty()) {
            EXPECT_EQ(r.out, "");
        }
        EXPECT_EQ(r.status, c.status);
    }
    EXPECT_EQ(read_file(dir_ + "/T/links/f"), "f\n");
    EXPECT_EQ(read_file(dir_ + "/T/bad/ok"), "ok\n");
}

// What the commands print on standard output is all there is on it: exactly the prompt's output
// without the prompts.
TEST_F(Scripting, OutputIsThePromptsOutputWithoutThePrompts)
{
    run_result typed = run("cd d\nls\nls -l\ncd /\nls\n");
    run_result given = script(at({"cd d", "ls", "ls -l", "cd /", "ls"}));
    std::string expected = typed.out;
    const std::string p = prompts(1);
    for (size_t at = expected.find(p); at != std::string::npos; at = expected.find(p))
        expected.erase(at, p.size());
    EXPECT_NE(given.out.find(" x\n"), std::string::npos);
    EXPECT_EQ(given.out, expected);
    EXPECT_EQ(given.status, 0);
}

TEST_F(Scripting, HelpAndVersionOfBothPrograms)
{
    std::vector<std::string> programs = {""};
#ifdef EFSH_MOUNT_BIN
    if (!efsh_under_wine())
        programs.push_back(EFSH_MOUNT_BIN);
#endif
    for (const std::string& bin : programs) {
        SCOPED_TRACE(bin);
        run_options o;
        o.binary = bin;
        std::string name = bin.empty() ? "efsh" : "efsh-mount";
        run_result help = run_efsh({"--help"}, "", o);
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.out.rfind("Use: ", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("  --version "), std::string::npos) << help.out;
        EXPECT_NE(help.out.find(bin.empty() ? "  -c command " : "  -o option"), std::string::npos) << help.out;
        run_result version = run_efsh({"-d", "--version"}, "", o);
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.err, "");
        EXPECT_TRUE(std::regex_search(version.out, std::regex("^" + name + " [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
        for (const char* part : {"line editing (libedit): ", "zlib (tar -z): ", "hashes (", "FUSE (efsh-mount): "})
            EXPECT_NE(version.out.find(part), std::string::npos) << part;
        EXPECT_NE(version.out.find(EFSH_ZLIB ? "zlib (tar -z): yes\n" : "zlib (tar -z): no\n"), std::string::npos);
        if (!efsh_under_wine()) {
            EXPECT_NE(version.out.find(EFSH_HASHES ? "hashes (libcrypto): yes\n" : "hashes (libcrypto): no\n"),
                      std::string::npos);
        }
        if (!bin.empty()) {
            // Every message of the mount names it by its name, not by the path it was started by.
            run_result wrong = run_efsh({"-x", "a", "b"}, "", o);
            EXPECT_EQ(wrong.err, "efsh-mount: illegal option -- x\n"
                                 "Use: efsh-mount [-hdf] [-p part] [-o option,...] image mountpoint\n");
            EXPECT_EQ(wrong.status, 1);
        }
    }
}

// A stop asked in the middle of a command (the hook raises the signal at the chosen block, or just
// before an archive takes its name): the command puts things back, says so in one line, and the
// run ends with 128 + the signal. Nothing half written is left; an older archive is untouched.
TEST_F(Scripting, AStopLeavesNothingHalfWritten)
{
    if (efsh_under_wine())
        GTEST_SKIP() << "the hook raises POSIX signals; a Windows console's Ctrl-C cannot be sent under wine";
    write_file(dir_ + "/T/old.tgz", "an older archive");
    const std::regex one_file("cp: interrupted after [0-9]+ of 4194304 bytes; out removed\n");
    const std::regex tree("cp: interrupted after 1 file, 2 bytes; big removed\n");
    struct stopped {
        std::string line, hold;
        std::regex err;
        int status;
    };
    const stopped cases[] = {
        {"cp /tree/big out", "block:2:!2", one_file, 130},
        {"cp -r tree T", "block:3:!2", tree, 130},
        {"tar -z /tree T/old.tgz", "block:2:!2", std::regex("tar: interrupted after [0-9]+ files?, [0-9]+ bytes; T/old.tgz left as it was\n"), 130},
        {"tar /tree T/new.tar", "block:2:!15", std::regex("tar: ended after [0-9]+ files?, [0-9]+ bytes; T/new.tar not written\n"), 143},
        // Complete and flushed, about to take its name: the old archive stays all the same.
        {"tar -z /tree T/old.tgz", "rename:1:!15", std::regex("tar: ended after 3 files, [0-9]+ bytes; T/old.tgz left as it was\n"), 143},
        {"tar -z /tree T/old.tgz", "rename:1:!1", std::regex("tar: ended after 3 files, [0-9]+ bytes; T/old.tgz left as it was\n"), 129},
    };
    for (const stopped& c : cases) {
        SCOPED_TRACE(c.line + " " + c.hold);
        run_result r = script(at({"lcd .", c.line, "pwd"}), "", {"EFSH_TEST_HOLD=" + c.hold});
        EXPECT_TRUE(std::regex_match(r.err, c.err)) << r.err;
        EXPECT_EQ(r.status, c.status);
        EXPECT_FALSE(exists("out"));
        EXPECT_FALSE(exists("T/new.tar"));
        EXPECT_EQ(read_file(dir_ + "/T/old.tgz"), "an older archive");
    }
    // The tree copy keeps the file it finished, and only that.
    EXPECT_EQ(host_tree(dir_ + "/T"), (std::vector<std::string>{"old.tgz:16", "tree/", "tree/a:2"}));
    // Killed outright just before the rename: the old archive is still whole; what is left beside
    // it says by its name what it is.
    run_result killed = script(at({"tar /tree T/old.tgz"}), "", {"EFSH_TEST_HOLD=rename:1:!9"});
    EXPECT_EQ(killed.status, -1);
    EXPECT_EQ(read_file(dir_ + "/T/old.tgz"), "an older archive");
    EXPECT_TRUE(exists("T/old.tgz.efsh-partial"));
    // The next archive of that name is made whole beside it, under a name of its own.
    EXPECT_EQ(script(at({"tar /tree T/old.tgz"})).status, 0);
    EXPECT_NE(read_file(dir_ + "/T/old.tgz"), "an older archive");
    EXPECT_TRUE(exists("T/old.tgz.efsh-partial"));
    EXPECT_FALSE(exists("T/old.tgz.efsh-partial1"));
}

// A disk that fills up: the older archive of that name stays as it was, the copy that cannot be
// whole goes, and each fails the run.
TEST_F(Scripting, AFullDiskLeavesTheOlderArchiveAndNoPartialCopy)
{
    std::string full = dir_ + "/full";
    std::filesystem::create_directory(full);
    if (efsh_under_wine() || geteuid() != 0 ||
        std::system(("mount -t tmpfs -o size=64k tmpfs " + full + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "mounting a small tmpfs takes root";
    write_file(full + "/a.tar", "an older archive");
    run_result tar = script(at({"tar /tree full/a.tar", "pwd"}));
    EXPECT_EQ(tar.err, "full/a.tar: No space left on device\n");
    EXPECT_EQ(tar.status, 1);
    run_result cp = script(at({"cp /tree/big full/copy", "pwd"}));
    EXPECT_EQ(cp.err, "fwrite: No space left on device\nfull/copy removed: the copy is not whole\n");
    EXPECT_EQ(cp.status, 1);
    EXPECT_EQ(host_tree(full), std::vector<std::string>{"a.tar:16"});
    EXPECT_EQ(std::system(("umount " + full).c_str()), 0);
}

// An archive the user may write in a folder where the user may make nothing new: written in place,
// as before archives were made beside their targets.
TEST_F(Scripting, AWritableArchiveInALockedFolderIsStillWritten)
{
    if (efsh_under_wine() || geteuid() != 0)
        GTEST_SKIP() << "runs efsh as another user: needs root, and a host with permission bits (not wine)";
    std::string locked = dir_ + "/locked";
    std::filesystem::create_directory(locked);
    write_file(locked + "/a.tar", "an older archive");
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(chmod(img.c_str(), 0644), 0);
    ASSERT_EQ(chmod((locked + "/a.tar").c_str(), 0666), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    run_options o = opt;
    o.uid = 65534;
    o.cwd = "/";
    run_result r = run_efsh({"-p", "7", "-c", "tar /d " + locked + "/a.tar", img}, "", o);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(locked + "/a.tar").size(), 10240u);
    EXPECT_EQ(host_tree(locked), std::vector<std::string>{"a.tar:10240"});
    chmod(locked.c_str(), 0755);
}

}  // namespace
