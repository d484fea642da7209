// End-to-end in a real terminal (tmux): line editing at the prompt, more through the real less,
// and the status line of a long copy. Each case types keys and waits for what the screen shows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <filesystem>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "run_efsh.h"
#include "tests/support/image_builder.h"

namespace {

class Terminal : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (!dir.empty()) {
            terminal_stop(t);
            remove_tree(dir);
        }
    }
    // Builds d.img of these entries in a scratch directory and runs efsh on it in the terminal
    // (env: settings for efsh, "NAME=value ").
    void start(std::vector<imgb::Node> kids, const std::string& env = "")
    {
        dir = make_scratch_dir();
        imgb::Result r = imgb::write_image(imgb::simple_disk(std::move(kids)), dir + "/d.img");
        ASSERT_TRUE(r.ok) << r.error;
        // The shell around efsh outlives a Ctrl-C (the terminal sends it to both) to say how efsh ended.
        t = terminal_start(dir, "trap : INT; " + env + "TERM=xterm " + EFSH_BIN + " -p 7 d.img; echo EFSH-ENDED $?; sleep 30");
        ASSERT_TRUE(terminal_wait(t, "d.img(7) #")) << terminal_screen(t);
    }
    // Keys to type (none: "") and the text the screen then shows `count` times (none: "").
    struct step {
        std::string keys, screen;
        int count = 1;
    };
    void type(const std::vector<step>& steps)
    {
        for (const step& s : steps) {
            if (!s.keys.empty())
                terminal_keys(t, s.keys);
            if (!s.screen.empty()) {
                ASSERT_TRUE(terminal_wait(t, s.screen, s.count)) << s.keys << "\n" << terminal_screen(t);
            }
        }
    }
    std::string dir;
    test_terminal t;
};

// Tab completion of command words, image and host paths, the session's history, a line kill and
// Ctrl-D, each line then run as typed.
TEST_F(Terminal, LineEditCompletionHistoryAndCtrlD)
{
    if (!EFSH_LINE_EDITOR)
        GTEST_SKIP() << "efsh is built without a line editor";
    if (!tmux_available())
        GTEST_SKIP() << "tmux missing";
    std::vector<imgb::Node> many;
    for (int i = 0; i < 150; ++i)
        many.push_back(imgb::file("f" + std::to_string(1000 + i), ""));
    ASSERT_NO_FATAL_FAILURE(start({imgb::dir("usr", {imgb::file("notes.txt", "a note\n")}), imgb::file("unix", "kernel"),
                                   imgb::dir("many", many)}));
    std::filesystem::create_directory(dir + "/hostside");
    type({{"deb Tab", "# debug"},
          {"Enter", "debug on"},
          {"'cd u' Tab", "# cd usr/"},
          {"Enter pwd Enter", "\n/usr\n"},
          {"'   ' Enter Up", "# pwd", 2},  // a blank line is not kept: Up brings back pwd
          {"Enter", "\n/usr\n", 2},
          {"'lcd hos' Tab", "# lcd hostside/"},
          {"Enter", ""},
          {"'more no' Tab", "# more notes.txt"},
          // Ctrl-U kills the line unrun; the copy then shows the lcd took effect and the completed
          // cp line ran as shown.
          {"C-u 'cp no' Tab copied Enter", "# cp notes.txt copied"},
          // A long list of matches is shown only when asked for.
          {"C-u 'more /many/' Tab Tab", "Display all 150 possibilities? (y or n)"},
          {"x n", "(y or n)\nd.img(7) # more /many/f1"},
          {"Tab y", "f1149"},
          {"C-u", ""},
          // A line longer than 2047 characters is taken in pieces as a plain terminal would give
          // it: the first 2047 with the last of them dropped, then the rest as a line of its own.
          {"-l '" + std::string(2046, 'l') + "Xdebug'", ""},
          {"Enter", "debug off"},
          {"C-d", "EFSH-ENDED 0"}});
    EXPECT_EQ(read_file(dir + "/hostside/copied"), "a note\n");
}

// more through the real less, quit with q, and the prompt returns.
TEST_F(Terminal, PagerQuitLessEarlyAndThePromptComesBack)
{
    if (!tmux_available() || std::system("command -v less >/dev/null") != 0)
        GTEST_SKIP() << "tmux or less missing";
    std::string lines;
    for (int i = 0; i < 40000; ++i)  // far more than a pipe holds: efsh must outlive the pager
        lines += "line " + std::to_string(i) + "\n";
    ASSERT_NO_FATAL_FAILURE(start({imgb::file("long", lines)}));
    // less gives the screen back as it was, and the next prompt follows: efsh reads again.
    type({{"'more long' Enter", "line 20"},
          {"q", "# more long\nd.img(7) #"},
          {"'pwd' Enter", "d.img(7) # pwd"},
          {"'bye' Enter", "EFSH-ENDED 0"}});
}

// The status line of a long copy, shown while it runs and erased after: for one file how far it
// is and the time left, for a tree (tar /) files and bytes done with no total. The copy goes into a
// named pipe this test reads: it lasts as long as the test takes to read.
TEST_F(Terminal, ProgressShownWhileACopyRunsAndErasedAfter)
{
    if (!tmux_available())
        GTEST_SKIP() << "tmux missing";
    imgb::Node big = imgb::file("big", "");
    big.pattern_size = 64u << 20;
    ASSERT_NO_FATAL_FAILURE(start({big}));
    ASSERT_EQ(::mkfifo((dir + "/pipe").c_str(), 0600), 0);
    const struct {
        const char* command;
        const char* line;
    } cases[] = {
        {"cp big pipe", R"(cp: \d+\.\d of 64\.0 MiB \(\d+%\), \d+ [KM]iB/s, \d+:\d\d:\d\d left, big)"},
        {"tar / pipe", R"(tar: 0 files, \d+(\.\d)? [KM]iB, \d+ [KM]iB/s, big)"},
    };
    for (const auto& c : cases) {
        terminal_keys(t, std::string("'") + c.command + "' Enter");
        int fd = ::open((dir + "/pipe").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        // Read slowly, a piece at a time, until the line shows; then read the rest at once.
        std::vector<char> buf(1 << 16);
        const std::regex line(c.line);
        bool seen = false;
        ssize_t n;
        while ((n = ::read(fd, buf.data(), buf.size())) > 0 && !seen)
            seen = std::regex_search(terminal_screen(t), line);
        while (n > 0)
            n = ::read(fd, buf.data(), buf.size());
        ::close(fd);
        EXPECT_TRUE(seen) << c.command << "\n" << terminal_screen(t);
        EXPECT_TRUE(terminal_wait(t, std::string("# ") + c.command + "\nd.img(7) #")) << terminal_screen(t);
        EXPECT_EQ(terminal_screen(t).find("MiB"), std::string::npos) << terminal_screen(t);
    }
    type({{"'bye' Enter", "EFSH-ENDED 0"}});
}

// Ctrl-C in the middle of cp of a large file, of cp -r and of tar -z (the test hook holds each at
// a block of its data until the interrupt comes): each stops with one line, takes nothing half
// written with it, and leaves both current directories as they were; a line being typed is
// dropped by Ctrl-C; the session goes on.
TEST_F(Terminal, CtrlCStopsTheCommandNotTheSession)
{
    if (!tmux_available())
        GTEST_SKIP() << "tmux missing";
    imgb::Node big = imgb::file("big", "");
    big.pattern_size = 8u << 20;
    std::string scratch = make_scratch_dir();  // the hook's mark, outside what efsh writes
    std::string mark = scratch + "/held";
    ASSERT_NO_FATAL_FAILURE(start({imgb::dir("src", {imgb::file("a", "a\n"), big, imgb::file("z", "z\n")})},
                                  "EFSH_TEST_HOLD=block:3:" + mark + " "));
    std::filesystem::create_directory(dir + "/T");
    write_file(dir + "/T/old.tgz", "an older archive");
    // A line at a time: without a line editor the terminal echoes what is typed ahead of the prompt.
    type({{"'cd src' Enter", "# cd src\nd.img(7) #"}, {"'lcd T' Enter", "# lcd T\nd.img(7) #"}});
    const std::pair<std::string, std::string> stops[] = {
        {"cp big out", "cp: interrupted after "},
        {"cp -r / .", "cp: interrupted after 1 file, 2 bytes; big removed"},
        {"tar -z / old.tgz", "tar: interrupted after 1 file, 2 bytes; old.tgz left as it was"},
    };
    for (const auto& [line, said] : stops) {
        SCOPED_TRACE(line);
        terminal_keys(t, "'" + line + "' Enter");
        bool held = false;
        for (int i = 0; i < 2400 && !(held = std::filesystem::exists(mark)); ++i)
            poll(nullptr, 0, 25);
        ASSERT_TRUE(held) << terminal_screen(t);
        std::filesystem::remove(mark);
        type({{"C-c", said}, {"", said + std::string(said.back() == ' ' ? "" : "\nd.img(7) #")}});
    }
    EXPECT_EQ(host_tree(dir + "/T"), (std::vector<std::string>{"old.tgz:16", "src/", "src/a:2"}));
    // Both directories as before; a typed line dropped; the next command works.
    type({{"'cd /nothere' C-c", ""},
          {"pwd Enter", "\n/src\nd.img(7) #"},
          {"'cp a a.copy' Enter", "# cp a a.copy\nd.img(7) #"}});
    // Ctrl-C in the pager is the pager's: twice over, and efsh is still there when it is left.
    if (std::system("command -v less >/dev/null") == 0)
        type({{"'more a' Enter", "(END)"}, {"C-c C-c", ""}, {"q", "# more a\nd.img(7) #"}});
    type({{"bye Enter", "EFSH-ENDED 0"}});
    EXPECT_EQ(terminal_screen(t).find("nothere:"), std::string::npos) << terminal_screen(t);
    EXPECT_EQ(read_file(dir + "/T/a.copy"), "a\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/T/out"));
    EXPECT_EQ(read_file(dir + "/T/old.tgz"), "an older archive");
    remove_tree(scratch);
}

}  // namespace
