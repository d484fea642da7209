// Unit tests for the option parser: option groups, arguments, operands, errors and reset.
#include "shell/getopt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
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

char kept[] = "kept";

// One call as "ret[optarg]@optind.optpos": ret is the letter, -1, or ? and optopt; optarg is
// shown as argument+offset, [] when cleared, and left out when the call kept it.
std::string traced_call(const Argv& a, const char* opts)
{
    efsh::optarg = kept;
    const int c = efsh::getopt(a.argc(), a.argv(), opts);
    std::string t = c == -1 ? "-1" : c == '?' ? "?" + std::string(1, char(efsh::optopt)) : std::string(1, char(c));
    std::string where = efsh::optarg == nullptr ? "[]" : efsh::optarg == kept ? "" : "[elsewhere]";
    const std::less<const char*> before;
    for (int i = 0; efsh::optarg != nullptr && i < a.argc(); ++i)
        if (!before(efsh::optarg, a[i]) && !before(a[i] + std::strlen(a[i]), efsh::optarg))
            where = "[" + std::to_string(i) + "+" + std::to_string(efsh::optarg - a[i]) + "]";
    t += where;
    return t + "@" + std::to_string(efsh::optind) + "." + std::to_string(efsh::optpos);
}

class GetoptTest : public testing::Test {
protected:
    void SetUp() override
    {
        efsh::getopt_reset();
        efsh::optarg = nullptr;
        efsh::optopt = 0;
    }
    void TearDown() override { efsh::getopt_reset(); }
};

TEST_F(GetoptTest, StartsWithDocumentedState)
{
    EXPECT_EQ(efsh::optind, 1);
    EXPECT_EQ(efsh::optpos, 1);
    EXPECT_EQ(efsh::opterr, 1);
}

// Each row calls getopt once for every call its trace names, on a fresh start.
TEST_F(GetoptTest, CallsTraceOptionsArgumentsOperandsAndErrors)
{
    struct Case {
        Argv argv;
        const char* opts;
        int opterr;
        const char* trace;
        const char* err;
    };
    const Case cases[] = {
        // Grouped options, an argument attached (pointing into the word itself) or separate.
        {{"efsh", "-dp3", "file"}, "hdp:V", 1, "d[]@1.2 p[1+3]@2.1 -1@2.1", ""},
        {{"efsh", "-dp3"}, "hdp:V", 1, "d[]@1.2 p[1+3]@2.1 -1@2.1", ""},
        {{"efsh", "-d", "-p", "3", "file"}, "hdp:V", 1, "d[]@2.1 p[3+0]@4.1 -1@4.1", ""},
        {{"efsh", "-p", "3", "-h"}, "hdp:V", 1, "p[2+0]@3.1 h[]@4.1 -1@4.1", ""},
        // A missing argument: reported, optarg kept.
        {{"./efsh", "-d", "-p"}, "hdp:V", 1, "d[]@2.1 ?p@3.1 -1@3.1", "./efsh: option requires an argument -- p\n"},
        {{"efsh", "-dp"}, "hdp:V", 1, "d[]@1.2 ?p@2.1", "efsh: option requires an argument -- p\n"},
        // The argument is taken whatever it holds.
        {{"efsh", "-p", "-d", "file"}, "hdp:V", 1, "p[2+0]@3.1 -1@3.1", ""},
        {{"efsh", "-p", "--"}, "hdp:V", 1, "p[2+0]@3.1 -1@3.1", ""},
        // Illegal options, at the start and the end of a word, then the parse goes on.
        {{"efsh", "-xd", "file"}, "hdp:V", 1, "?x@1.2 d[]@2.1 -1@2.1", "efsh: illegal option -- x\n"},
        {{"efsh", "-dx", "-h"}, "hdp:V", 1, "d[]@1.2 ?x@2.1 h[]@3.1", "efsh: illegal option -- x\n"},
        {{"cp", "-rv", "-x", "src", "dst"}, "rpv", 1, "r[]@1.2 v[]@2.1 ?x@3.1 -1@3.1", "cp: illegal option -- x\n"},
        // A colon is never an option, not even with a leading colon in the option string.
        {{"efsh", "-:"}, "hdp:V", 1, "?:@2.1", "efsh: illegal option -- :\n"},
        {{"efsh", "-q", "-:"}, ":q", 1, "q[]@2.1 ?:@3.1", "efsh: illegal option -- :\n"},
        {{"efsh", "--x", "file"}, "hdp:V", 1, "?-@1.2 ?x@2.1 -1@2.1", "efsh: illegal option -- -\nefsh: illegal option -- x\n"},
        // What ends the options: --, a lone dash, the first operand, the end of the vector.
        {{"efsh", "--", "-d", "file"}, "hdp:V", 1, "-1@2.1", ""},
        {{"efsh", "-d", "-", "file"}, "hdp:V", 1, "d[]@2.1 -1@2.1 -1@2.1", ""},
        {{"efsh", "file", "-d"}, "hdp:V", 1, "-1@1.1", ""},
        {{"efsh"}, "hdp:V", 1, "-1@1.1", ""},
        // opterr 0: silent; a byte with the high bit set is an option letter, not the end.
        {{"efsh", "-xd", "-:", "--y", "-p"}, "hdp:V", 0, "?x@1.2 d[]@2.1 ?:@3.1 ?-@3.2 ?y@4.1 ?p@5.1 -1@5.1", ""},
        {{"efsh", "-\xff"}, "hdp:V", 0, "?\xff@2.1", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trace);
        efsh::getopt_reset();
        efsh::opterr = c.opterr;
        testing::internal::CaptureStderr();
        std::string trace;
        for (size_t calls = std::count(c.trace, c.trace + std::strlen(c.trace), ' ') + 1; calls > 0; --calls)
            trace += traced_call(c.argv, c.opts) + (calls > 1 ? " " : "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(trace, c.trace);
    }
}

// Reset starts over at argument 1 of a new vector, also when left inside an argument, and keeps
// optarg and optopt.
TEST_F(GetoptTest, ResetStartsOverKeepingOptargAndOptopt)
{
    Argv first{"efsh", "-dh"};
    efsh::opterr = 0;
    EXPECT_EQ(traced_call(first, "hdp:V"), "d[]@1.2");  // left in the middle of an argument
    efsh::optarg = kept;
    efsh::getopt_reset();
    EXPECT_EQ(efsh::optind, 1);
    EXPECT_EQ(efsh::optpos, 1);
    EXPECT_EQ(efsh::opterr, 1);
    EXPECT_EQ(efsh::optarg, kept);
    EXPECT_EQ(efsh::optopt, 'd');
    Argv second{"efsh", "-Vh"};
    std::string trace = traced_call(second, "hdp:V");
    trace += " " + traced_call(second, "hdp:V");
    EXPECT_EQ(trace + " " + traced_call(second, "hdp:V"), "V[]@1.2 h[]@2.1 -1@2.1");
}

}  // namespace
