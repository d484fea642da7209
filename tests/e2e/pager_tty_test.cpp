// End-to-end in a real terminal: more through the real less, quit with q, and the prompt returns.
#include <gtest/gtest.h>

#include <cstdlib>

#include "run_efsh.h"
#include "tests/support/image_builder.h"

namespace {

TEST(PagerInTerminal, QuitLessEarlyAndThePromptComesBack)
{
    if (!tmux_available() || std::system("command -v less >/dev/null") != 0)
        GTEST_SKIP() << "tmux or less missing";
    std::string dir = make_scratch_dir();
    std::string lines;
    for (int i = 0; i < 40000; ++i)  // far more than a pipe holds: efsh must outlive the pager
        lines += "line " + std::to_string(i) + "\n";
    imgb::Node f = imgb::file("long", lines);
    imgb::Result r = imgb::write_image(imgb::simple_disk({f}), dir + "/d.img");
    ASSERT_TRUE(r.ok) << r.error;
    test_terminal t = terminal_start(dir, std::string("TERM=xterm ") + EFSH_BIN + " -p 7 d.img; echo EFSH-ENDED; sleep 30");
    EXPECT_TRUE(terminal_wait(t, "d.img(7) #")) << terminal_screen(t);
    terminal_keys(t, "'more long' Enter");
    EXPECT_TRUE(terminal_wait(t, "line 20"));
    terminal_keys(t, "q");
    // less gives the screen back as it was, and the next prompt follows: efsh reads again.
    EXPECT_TRUE(terminal_wait(t, "# more long\nd.img(7) #")) << terminal_screen(t);
    terminal_keys(t, "'pwd' Enter");
    EXPECT_TRUE(terminal_wait(t, "d.img(7) # pwd"));
    terminal_keys(t, "'bye' Enter");
    EXPECT_TRUE(terminal_wait(t, "EFSH-ENDED"));
    terminal_stop(t);
    remove_tree(dir);
}

}  // namespace
