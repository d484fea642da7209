// End-to-end in a real terminal: the status line of a long copy, and a clean screen after it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "run_efsh.h"
#include "tests/support/image_builder.h"

namespace {

// The copy goes into a named pipe this test reads: it lasts as long as the test takes to read.
TEST(ProgressInTerminal, ShownWhileACopyRunsAndErasedAfter)
{
    if (!tmux_available())
        GTEST_SKIP() << "tmux missing";
    std::string dir = make_scratch_dir();
    imgb::Node big = imgb::file("big", "");
    big.pattern_size = 64u << 20;
    imgb::Result r = imgb::write_image(imgb::simple_disk({big}), dir + "/d.img");
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(::mkfifo((dir + "/pipe").c_str(), 0600), 0);
    test_terminal t = terminal_start(dir, std::string("TERM=xterm ") + EFSH_BIN + " -p 7 d.img; echo EFSH-ENDED; sleep 30");
    ASSERT_TRUE(terminal_wait(t, "d.img(7) #")) << terminal_screen(t);
    for (const char* command : {"cp big pipe", "tar / pipe"}) {
        terminal_keys(t, std::string("'") + command + "' Enter");
        int fd = ::open((dir + "/pipe").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        // Read slowly, a piece at a time, until the line shows; then read the rest at once.
        std::vector<char> buf(1 << 16);
        bool seen = false;
        ssize_t n;
        while ((n = ::read(fd, buf.data(), buf.size())) > 0 && !seen)
            seen = terminal_screen(t).find("MiB/s, big") != std::string::npos;
        while (n > 0)
            n = ::read(fd, buf.data(), buf.size());
        ::close(fd);
        EXPECT_TRUE(seen) << command << "\n" << terminal_screen(t);
        EXPECT_TRUE(terminal_wait(t, std::string("# ") + command + "\nd.img(7) #")) << terminal_screen(t);
        EXPECT_EQ(terminal_screen(t).find("MiB"), std::string::npos) << terminal_screen(t);
    }
    terminal_keys(t, "'bye' Enter");
    EXPECT_TRUE(terminal_wait(t, "EFSH-ENDED"));
    terminal_stop(t);
    remove_tree(dir);
}

}  // namespace
