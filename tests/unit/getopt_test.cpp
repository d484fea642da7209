// Unit tests for the option parser: option groups, arguments, operands, errors and reset.
#include "shell/getopt.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

// A mutable argument vector, terminated by a null pointer as main receives it.
class Argv {
public:
    Argv(std::initializer_list<const char*> words)
    {
        for (const char* w : words)
            storage_.emplace_back(w, w + std::char_traits<char>::length(w) + 1);
        for (auto& s : storage_)
            pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(pointers_.size()) - 1; }
    char* const* argv() const { return pointers_.data(); }
    char* operator[](int i) const { return pointers_[static_cast<size_t>(i)]; }

private:
    std::vector<std::vector<char>> storage_;
    std::vector<char*> pointers_;
};

constexpr const char* kOpts = "hdp:V";

class GetoptTest : public testing::Test {
protected:
    void SetUp() override
    {
        efsh::getopt_reset();
        efsh::optarg = nullptr;
        efsh::optopt = 0;
    }
    void TearDown() override { efsh::getopt_reset(); }

    static int next(const Argv& a) { return efsh::getopt(a.argc(), a.argv(), kOpts); }
};

TEST_F(GetoptTest, StartsWithDocumentedState)
{
    EXPECT_EQ(efsh::optind, 1);
    EXPECT_EQ(efsh::optpos, 1);
    EXPECT_EQ(efsh::opterr, 1);
}

TEST_F(GetoptTest, GroupedOptionsWithAttachedArgument)
{
    Argv a{"efsh", "-dp3", "file"};
    EXPECT_EQ(next(a), 'd');
    EXPECT_EQ(efsh::optarg, nullptr);
    EXPECT_EQ(efsh::optind, 1);
    EXPECT_EQ(efsh::optpos, 2);
    EXPECT_EQ(next(a), 'p');
    ASSERT_NE(efsh::optarg, nullptr);
    EXPECT_STREQ(efsh::optarg, "3");
    EXPECT_EQ(efsh::optarg, a[1] + 3);  // points into the argument itself
    EXPECT_EQ(efsh::optind, 2);
    EXPECT_EQ(efsh::optpos, 1);
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(efsh::optind, 2);
}

TEST_F(GetoptTest, AttachedArgumentAtEndOfVector)
{
    Argv a{"efsh", "-dp3"};
    EXPECT_EQ(next(a), 'd');
    EXPECT_EQ(next(a), 'p');
    EXPECT_STREQ(efsh::optarg, "3");
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(efsh::optind, 2);
}

TEST_F(GetoptTest, SeparateOptionsAndArgument)
{
    Argv a{"efsh", "-d", "-p", "3", "file"};
    EXPECT_EQ(next(a), 'd');
    EXPECT_EQ(efsh::optind, 2);
    EXPECT_EQ(next(a), 'p');
    EXPECT_EQ(efsh::optarg, a[3]);
    EXPECT_EQ(efsh::optind, 4);
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(efsh::optind, 4);
    EXPECT_STREQ(a[efsh::optind], "file");
}

TEST_F(GetoptTest, OptionWithoutArgumentClearsOptarg)
{
    Argv a{"efsh", "-p", "3", "-h"};
    EXPECT_EQ(next(a), 'p');
    EXPECT_STREQ(efsh::optarg, "3");
    EXPECT_EQ(next(a), 'h');
    EXPECT_EQ(efsh::optarg, nullptr);
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(efsh::optind, 4);
}

TEST_F(GetoptTest, MissingArgumentIsReported)
{
    Argv a{"./efsh", "-d", "-p"};
    char previous[] = "kept";
    testing::internal::CaptureStderr();
    EXPECT_EQ(next(a), 'd');
    efsh::optarg = previous;
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "./efsh: option requires an argument -- p\n");
    EXPECT_EQ(efsh::optopt, 'p');
    EXPECT_EQ(efsh::optind, a.argc());
    EXPECT_EQ(efsh::optpos, 1);
    EXPECT_EQ(efsh::optarg, previous);
    EXPECT_EQ(next(a), -1);
}

TEST_F(GetoptTest, MissingArgumentAfterGroupedOption)
{
    Argv a{"efsh", "-dp"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(next(a), 'd');
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "efsh: option requires an argument -- p\n");
    EXPECT_EQ(efsh::optind, 2);
}

TEST_F(GetoptTest, ArgumentIsTakenWhateverItHolds)
{
    Argv a{"efsh", "-p", "-d", "file"};
    EXPECT_EQ(next(a), 'p');
    EXPECT_STREQ(efsh::optarg, "-d");
    EXPECT_EQ(efsh::optind, 3);
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(efsh::optind, 3);

    Argv b{"efsh", "-p", "--"};
    efsh::getopt_reset();
    EXPECT_EQ(next(b), 'p');
    EXPECT_STREQ(efsh::optarg, "--");
    EXPECT_EQ(next(b), -1);
    EXPECT_EQ(efsh::optind, 3);
}

TEST_F(GetoptTest, IllegalOptionThenValidOneInSameArgument)
{
    Argv a{"efsh", "-xd", "file"};
    char previous[] = "kept";
    efsh::optarg = previous;
    testing::internal::CaptureStderr();
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "efsh: illegal option -- x\n");
    EXPECT_EQ(efsh::optopt, 'x');
    EXPECT_EQ(efsh::optarg, previous);
    EXPECT_EQ(efsh::optind, 1);
    EXPECT_EQ(efsh::optpos, 2);
    EXPECT_EQ(next(a), 'd');
    EXPECT_EQ(efsh::optind, 2);
    EXPECT_EQ(next(a), -1);
}

TEST_F(GetoptTest, IllegalOptionAtEndOfArgumentMovesOn)
{
    Argv a{"efsh", "-dx", "-h"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(next(a), 'd');
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(efsh::optind, 2);
    EXPECT_EQ(efsh::optpos, 1);
    EXPECT_EQ(next(a), 'h');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "efsh: illegal option -- x\n");
}

TEST_F(GetoptTest, ColonIsNeverAnOption)
{
    Argv a{"efsh", "-:"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "efsh: illegal option -- :\n");
    EXPECT_EQ(efsh::optopt, ':');
    EXPECT_EQ(efsh::optind, 2);

    // A leading colon in the option string has no special meaning either.
    Argv b{"efsh", "-q", "-:"};
    efsh::getopt_reset();
    testing::internal::CaptureStderr();
    EXPECT_EQ(efsh::getopt(b.argc(), b.argv(), ":q"), 'q');
    EXPECT_EQ(efsh::getopt(b.argc(), b.argv(), ":q"), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "efsh: illegal option -- :\n");
}

TEST_F(GetoptTest, DoubleDashWithLetterIsTwoIllegalOptions)
{
    Argv a{"efsh", "--x", "file"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(efsh::optopt, '-');
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(efsh::optopt, 'x');
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "efsh: illegal option -- -\nefsh: illegal option -- x\n");
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(efsh::optind, 2);
}

TEST_F(GetoptTest, DoubleDashEndsOptions)
{
    Argv a{"efsh", "--", "-d", "file"};
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(efsh::optind, 2);
    EXPECT_STREQ(a[efsh::optind], "-d");
}

TEST_F(GetoptTest, LoneDashIsAnOperand)
{
    Argv a{"efsh", "-d", "-", "file"};
    EXPECT_EQ(next(a), 'd');
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(efsh::optind, 2);
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(efsh::optind, 2);
}

TEST_F(GetoptTest, FirstOperandEndsOptions)
{
    Argv a{"efsh", "file", "-d"};
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(efsh::optind, 1);
}

TEST_F(GetoptTest, EmptyVectorTail)
{
    Argv a{"efsh"};
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(efsh::optind, 1);
}

TEST_F(GetoptTest, SilentWhenOpterrIsZero)
{
    efsh::opterr = 0;
    Argv a{"efsh", "-xd", "-:", "--y", "-p"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(efsh::optopt, 'x');
    EXPECT_EQ(next(a), 'd');
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(efsh::optopt, ':');
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(efsh::optopt, '-');
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(efsh::optopt, 'y');
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(efsh::optopt, 'p');
    EXPECT_EQ(efsh::optind, a.argc());
    EXPECT_EQ(next(a), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(GetoptTest, ResetStartsOverOnNewVector)
{
    Argv first{"efsh", "-dp"};
    testing::internal::CaptureStderr();
    efsh::opterr = 0;
    EXPECT_EQ(next(first), 'd');  // left in the middle of an argument
    EXPECT_EQ(efsh::optpos, 2);
    EXPECT_EQ(next(first), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const int kept_optopt = efsh::optopt;

    char previous[] = "kept";
    efsh::optarg = previous;
    efsh::getopt_reset();
    EXPECT_EQ(efsh::optind, 1);
    EXPECT_EQ(efsh::optpos, 1);
    EXPECT_EQ(efsh::opterr, 1);
    EXPECT_EQ(efsh::optarg, previous);
    EXPECT_EQ(efsh::optopt, kept_optopt);

    Argv cp{"cp", "-rv", "-x", "src", "dst"};
    EXPECT_EQ(efsh::getopt(cp.argc(), cp.argv(), "rpv"), 'r');
    EXPECT_EQ(efsh::getopt(cp.argc(), cp.argv(), "rpv"), 'v');
    testing::internal::CaptureStderr();
    EXPECT_EQ(efsh::getopt(cp.argc(), cp.argv(), "rpv"), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cp: illegal option -- x\n");
    EXPECT_EQ(efsh::getopt(cp.argc(), cp.argv(), "rpv"), -1);
    EXPECT_EQ(efsh::optind, 3);
}

TEST_F(GetoptTest, ResetMidArgumentStartsAtFirstLetter)
{
    Argv first{"efsh", "-dh"};
    EXPECT_EQ(next(first), 'd');
    efsh::getopt_reset();
    Argv second{"efsh", "-Vh"};
    EXPECT_EQ(next(second), 'V');
    EXPECT_EQ(next(second), 'h');
    EXPECT_EQ(next(second), -1);
}

TEST_F(GetoptTest, HighBitCharacterIsNotEndOfOptions)
{
    Argv a{"efsh", "-\xff"};
    efsh::opterr = 0;
    EXPECT_EQ(next(a), '?');
    EXPECT_EQ(efsh::optopt, 0xff);
    EXPECT_EQ(efsh::optind, 2);
}

}  // namespace
