// Splitting a command line into words: double quotes hold blanks, and a line without one splits
// as it always has.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/tokens.h"

namespace {

std::vector<std::string> words_of(std::string line, bool quotes)
{
    std::vector<std::string> out;
    char* save = nullptr;
    for (char* w = quotes ? next_word(line.data(), &save) : next_token(line.data(), " \t", &save); w;
         w = quotes ? next_word(nullptr, &save) : next_token(nullptr, " \t", &save))
        out.emplace_back(w);
    return out;
}

TEST(Words, QuotesHoldBlanksAndAreNoPartOfTheWord)
{
    for (const char* line : {"", "   ", "ls", "cp -r  /usr\tout ", "\t lcd C:\\Users\\x\t\t", "a\\ b 'c d' e'f"})
        EXPECT_EQ(words_of(line, true), words_of(line, false)) << line;

    using w = std::vector<std::string>;
    EXPECT_EQ(words_of("lcd \"C:\\Users\\John Smith\"", true), (w{"lcd", "C:\\Users\\John Smith"}));
    EXPECT_EQ(words_of("cp -r / \"My Disks/irix\"", true), (w{"cp", "-r", "/", "My Disks/irix"}));
    EXPECT_EQ(words_of("cp \"\" x", true), (w{"cp", "", "x"}));
    EXPECT_EQ(words_of("a\"b \tc\"d e", true), (w{"ab \tcd", "e"}));
    EXPECT_EQ(words_of("lcd \"open to the end  ", true), (w{"lcd", "open to the end  "}));
    EXPECT_EQ(words_of("\"\"\"\"", true), (w{""}));
}

}  // namespace
