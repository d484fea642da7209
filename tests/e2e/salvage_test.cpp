// End-to-end: damaged directories taken out whole by cp -r and tar, every entry of every intact
// block, the damage said once, in memory bounded by the image; ls at the prompt as it always was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

#include "damaged_images.h"
#include "image_session.h"

namespace {

std::string sorted_lines(const std::string& command)
{
    std::set<std::string> lines;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[1024];
        while (std::fgets(buf, sizeof buf, p))
            lines.insert(buf);
        pclose(p);
    }
    std::string all;
    for (const std::string& l : lines)
        all += l;
    return all;
}

class Salvage : public ImageSession {
protected:
    void SetUp() override
    {
        // The memory bomb's copy writes one file some 48,000 times over: in memory, the time is efsh's.
        std::error_code ec;
        char buf[] = "/dev/shm/efsh-test-XXXXXX";
        start(std::filesystem::is_directory("/dev/shm", ec) && mkdtemp(buf) ? buf : make_scratch_dir());
    }
};

TEST_F(Salvage, DamagedDirectoriesComeOutWholeAndSayItOnce)
{
    // ls at the prompt lists up to the damage, as it always did, and says so: the entries it lists in
    // each (-1: not run), what it says.
    const struct {
        int listed;
        std::string err;
    } ls[] = {{2, "/d: the listing ends at damage; cp -r, tar and manifest take the entries past it\n"}, {0, "ls .\nopendir: No such file or directory\n"}, {0, "ls .\nopendir: No such file or directory\n"}, {-1, ""}};
    std::vector<SalvageImage> images = salvage_images();
    ASSERT_EQ(images.size(), std::size(ls));
    for (size_t i = 0; i < images.size(); ++i) {
        const SalvageImage& c = images[i];
        SCOPED_TRACE(c.name);
        remove_tree(dir_ + "/T");
        std::remove((dir_ + "/t.tar").c_str());
        ASSERT_EQ(std::system(("mkdir -p " + dir_ + "/T").c_str()), 0);
        ASSERT_TRUE(c.write(img));
        std::string image = read_file(img);
        opt.timeout_seconds = hang_seconds();
        opt.measure_peak = true;
        run_result cp = run("cp -r " + c.top + " T\nbye\n");
        EXPECT_EQ(cp.status, 0);
        EXPECT_EQ(cp.err, c.report);
        EXPECT_EQ(host_tree(dir_ + "/T"), c.salvaged);
        // Run as a script, a command that passed over damage has failed: entries are missing.
        const int status = c.report.empty() ? 0 : 1;
        run_result tar = run_efsh({"-p", "7", "-c", "tar " + c.top + " t.tar", img}, "", opt);
        EXPECT_EQ(tar.status, status);
        EXPECT_EQ(tar.err, c.report);
        // The archive holds what the copy holds (each name once, however often it is listed).
        std::string want;
        for (std::string p : c.salvaged)
            want += p.substr(0, p.find(':')) + "\n";
        EXPECT_EQ(sorted_lines("tar -tf " + dir_ + "/t.tar"), sorted_lines("printf '" + want + "'"));
        EXPECT_LT(cp.peak_kb, kPeakLimitKiB);  // 0 where it cannot be measured
        EXPECT_LT(tar.peak_kb, kPeakLimitKiB);
        // The manifest's walk takes the same entries and names the damage in the directory's record.
        run_result m = run_efsh({"-p", "7", "-c", "manifest -a none " + c.top + " m.jsonl", img}, "", opt);
        EXPECT_EQ(m.status, status);
        std::string records = read_file(dir_ + "/m.jsonl");
        for (const std::string& p : c.salvaged) {
            if (p.back() == '/' || p.find('/') == std::string::npos)
                continue;
            std::string name = p.substr(p.find('/') + 1, p.rfind(':') - p.find('/') - 1);
            EXPECT_NE(records.find("{\"path\":\"" + name + "\","), std::string::npos) << name;
        }
        if (!c.report.empty()) {
            std::string said = c.report.substr(c.report.find(": ") + 2);
            said.pop_back();
            EXPECT_NE(records.find("\"problems\":[\"" + said), std::string::npos) << records.substr(0, 400);
        }
        if (ls[i].listed >= 0) {
            run_result l = run("cd " + c.top + "\nls\nbye\n");
            EXPECT_EQ(std::count(l.out.begin(), l.out.end(), '\n'), ls[i].listed);
            EXPECT_EQ(l.err, ls[i].err);
        }
        EXPECT_TRUE(read_file(img) == image) << "the image was written";
    }
}

// -d says what bounds the walks when sb_size claims more than the partition and the image hold,
// after every line it always gave; a sound image gives no such line.
TEST_F(Salvage, DebugNamesTheBoundOfTheWalks)
{
    ASSERT_TRUE(salvage_images().back().write(img));
    run_result r = run_efsh({"-d", "-p", "7", img}, "bye\n", opt);
    const std::string tail = "\tsectors the partition and the image hold of it: the bound of every walk\n";
    ASSERT_GT(r.err.size(), tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
    size_t line = r.err.rfind('\n', r.err.size() - tail.size() - 1) + 1;
    long bound = std::atol(r.err.c_str() + line);
    EXPECT_GT(bound, 248);
    EXPECT_LE(bound * 512, static_cast<long>(read_file(img).size()) - kFirstBlock * 512);
    EXPECT_NE(r.err.find("2147483632\tsize of filesystem, in sectors\n"), std::string::npos);
    ASSERT_TRUE(imgb::write_image(imgb::simple_disk({imgb::file("f", "x")}), img).ok);
    EXPECT_EQ(run_efsh({"-d", "-p", "7", img}, "bye\n", opt).err.find(tail), std::string::npos);
}

}  // namespace
