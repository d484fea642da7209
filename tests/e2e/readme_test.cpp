// The session shown in the README is what efsh prints on the demo image, so the documentation cannot drift.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "run_efsh.h"

namespace {

std::string strip_line_ends(const std::string& s)
{
    std::istringstream in(s);
    std::string line, out;
    while (std::getline(in, line)) {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
    }
    return out;
}

TEST(Readme, ExampleSessionMatchesTheDemoImage)
{
    std::string readme = read_file(EFSH_SOURCE_DIR "/README.md");
    const std::string marker = "$ cd build && ";
    size_t start = readme.find(marker);
    ASSERT_NE(start, std::string::npos);
    size_t eol = readme.find('\n', start);
    size_t end = readme.find("```", eol);
    ASSERT_NE(end, std::string::npos);
    std::string command = readme.substr(start + marker.size(), eol - start - marker.size());
    std::string shown = readme.substr(eol + 1, end - eol - 1);

    std::string out;
    std::string sh = "mkdir -p /tmp/out && cd " EFSH_BUILD_DIR " && TZ=UTC " + command;
    FILE* p = popen(sh.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    EXPECT_EQ(strip_line_ends(out), strip_line_ends(shown));
}

}  // namespace
