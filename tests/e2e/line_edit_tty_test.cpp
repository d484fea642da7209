// End-to-end in a real terminal: Tab completion of command words, image and host paths, the
// session's history, a line kill and Ctrl-D, each line then run as typed.
#include <gtest/gtest.h>

#include <filesystem>

#include "run_efsh.h"
#include "tests/support/image_builder.h"

namespace {

TEST(LineEditInTerminal, CompletionHistoryAndCtrlD)
{
    if (!EFSH_LINE_EDITOR)
        GTEST_SKIP() << "efsh is built without a line editor";
    if (!tmux_available())
        GTEST_SKIP() << "tmux missing";
    std::string dir = make_scratch_dir();
    imgb::Node usr = imgb::dir("usr", {imgb::file("notes.txt", "a note\n")});
    std::vector<imgb::Node> many;
    for (int i = 0; i < 150; ++i)
        many.push_back(imgb::file("f" + std::to_string(1000 + i), ""));
    imgb::Result r = imgb::write_image(imgb::simple_disk({usr, imgb::file("unix", "kernel"), imgb::dir("many", many)}),
                                       dir + "/d.img");
    ASSERT_TRUE(r.ok) << r.error;
    std::filesystem::create_directory(dir + "/hostside");
    test_terminal t = terminal_start(dir, std::string("TERM=xterm ") + EFSH_BIN + " -p 7 d.img; echo EFSH-ENDED $?; sleep 30");
    struct cleanup {
        const test_terminal& t;
        const std::string& dir;
        ~cleanup()
        {
            terminal_stop(t);
            remove_tree(dir);
        }
    } at_end{t, dir};
    ASSERT_TRUE(terminal_wait(t, "d.img(7) #")) << terminal_screen(t);

    terminal_keys(t, "deb Tab");
    ASSERT_TRUE(terminal_wait(t, "# debug")) << terminal_screen(t);
    terminal_keys(t, "Enter");
    ASSERT_TRUE(terminal_wait(t, "debug on")) << terminal_screen(t);

    terminal_keys(t, "'cd u' Tab");
    ASSERT_TRUE(terminal_wait(t, "# cd usr/")) << terminal_screen(t);
    terminal_keys(t, "Enter pwd Enter");
    ASSERT_TRUE(terminal_wait(t, "\n/usr\n")) << terminal_screen(t);
    // A blank line is not kept: Up brings back pwd.
    terminal_keys(t, "'   ' Enter Up");
    ASSERT_TRUE(terminal_wait(t, "# pwd", 2)) << terminal_screen(t);
    terminal_keys(t, "Enter");
    ASSERT_TRUE(terminal_wait(t, "\n/usr\n", 2)) << terminal_screen(t);

    terminal_keys(t, "'lcd hos' Tab");
    ASSERT_TRUE(terminal_wait(t, "# lcd hostside/")) << terminal_screen(t);
    terminal_keys(t, "Enter");
    terminal_keys(t, "'more no' Tab");
    ASSERT_TRUE(terminal_wait(t, "# more notes.txt")) << terminal_screen(t);
    // Ctrl-U kills the line unrun; the copy then shows the lcd took effect and the completed cp line ran as shown.
    terminal_keys(t, "C-u 'cp no' Tab copied Enter");
    ASSERT_TRUE(terminal_wait(t, "# cp notes.txt copied")) << terminal_screen(t);

    // A long list of matches is shown only when asked for.
    terminal_keys(t, "C-u 'more /many/' Tab Tab");
    ASSERT_TRUE(terminal_wait(t, "Display all 150 possibilities? (y or n)")) << terminal_screen(t);
    terminal_keys(t, "x n");
    ASSERT_TRUE(terminal_wait(t, "(y or n)\n" + std::string("d.img(7) # more /many/f1"))) << terminal_screen(t);
    terminal_keys(t, "Tab y");
    ASSERT_TRUE(terminal_wait(t, "f1149")) << terminal_screen(t);
    terminal_keys(t, "C-u");

    // A line longer than 2047 characters is taken in pieces as a plain terminal would give it:
    // the first 2047 with the last of them dropped, then the rest as a line of its own.
    terminal_keys(t, "-l '" + std::string(2046, 'l') + "Xdebug'");
    terminal_keys(t, "Enter");
    ASSERT_TRUE(terminal_wait(t, "debug off")) << terminal_screen(t);

    terminal_keys(t, "C-d");
    ASSERT_TRUE(terminal_wait(t, "EFSH-ENDED 0")) << terminal_screen(t);
    EXPECT_EQ(read_file(dir + "/hostside/copied"), "a note\n");
}

}  // namespace
