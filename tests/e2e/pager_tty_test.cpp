// End-to-end in a real terminal: more through the real less, quit with q, and the prompt returns.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <unistd.h>
#include <thread>

#include "run_efsh.h"
#include "tests/support/image_builder.h"

namespace {

std::string sh(const std::string& cmd)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

TEST(PagerInTerminal, QuitLessEarlyAndThePromptComesBack)
{
    if (std::system("command -v tmux >/dev/null && command -v less >/dev/null") != 0)
        GTEST_SKIP() << "tmux or less missing";
    std::string dir = make_scratch_dir();
    std::string lines;
    for (int i = 0; i < 40000; ++i)  // far more than a pipe holds: efsh must outlive the pager
        lines += "line " + std::to_string(i) + "\n";
    imgb::Node f = imgb::file("long", lines);
    imgb::Result r = imgb::write_image(imgb::simple_disk({f}), dir + "/d.img");
    ASSERT_TRUE(r.ok) << r.error;
    std::string session = "efsh" + std::to_string(getpid());
    sh("tmux -L " + session + " kill-server 2>/dev/null");
    std::string tm = "tmux -L " + session;
    sh(tm + " new-session -d -s " + session + " -x 80 -y 24 'cd " + dir + " && TERM=xterm " + EFSH_BIN +
       " -p 7 d.img; echo EFSH-ENDED; sleep 30'");
    // Waits for the text to show on the screen; the limit only keeps a hung efsh from hanging the suite.
    auto cap = [&](const std::string& text) {
        for (int i = 0; i < 600; ++i) {
            if (sh(tm + " capture-pane -p -t " + session).find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    };
    EXPECT_TRUE(cap("d.img(7) #")) << sh(tm + " capture-pane -p -t " + session);
    sh(tm + " send-keys -t " + session + " 'more long' Enter");
    EXPECT_TRUE(cap("line 20"));
    sh(tm + " send-keys -t " + session + " q");
    // The pager has ended and efsh has read the rest of the file once the next prompt shows.
    EXPECT_TRUE(cap("d.img(7) # more long\nd.img(7) #"));
    sh(tm + " send-keys -t " + session + " 'pwd' Enter");
    EXPECT_TRUE(cap("d.img(7) # pwd"));
    sh(tm + " send-keys -t " + session + " 'bye' Enter");
    EXPECT_TRUE(cap("EFSH-ENDED"));
    sh(tm + " kill-server");
    remove_tree(dir);
}

}  // namespace
