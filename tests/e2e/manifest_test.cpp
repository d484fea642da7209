// End-to-end: manifest's records as jq, sha256sum -c, md5sum -c and mactime read them, files taken
// out by inode number, and manifests of the corruption suite's damaged images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>

#include "damaged_images.h"
#include "image_session.h"

namespace {

using imgb::Kind;
using imgb::Node;

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

// A text as jq's explode gives it, the code points of ISO 8859-1 being the bytes.
std::string code_points(const std::string& s)
{
    std::string out;
    for (unsigned char c : s)
        out += (out.empty() ? "" : ",") + std::to_string(c);
    return out;
}

// What a host tool (md5sum, sha256sum) says of some bytes.
std::string host_hash(const std::string& tool, const std::string& dir, const std::string& bytes)
{
    write_file(dir + "/hashed", bytes);
    std::string out = output_of(tool + " < " + dir + "/hashed");
    return out.substr(0, out.find(' '));
}

// One entry of the image and what its record must say.
struct Entry {
    Node node;
    std::string path = "";     // from the top
    int major = -1, minor = -1;
    std::string bytes = "";    // regular files: what the image holds of them (cp's bytes)
    std::string problem = "";  // its one problem, if any
};

Node timed(Node n, int32_t t, uint16_t uid = 0, uint16_t gid = 0)
{
    n.mtime = t;
    n.atime = t + 1;
    n.ctime = t + 2;
    n.uid = uid;
    n.gid = gid;
    return n;
}

Node dev(Kind k, const std::string& name, uint32_t rdev, bool wide)
{
    Node n = imgb::device(k, name, rdev);
    n.rdev_wide = wide;
    return n;
}

std::vector<Entry> every_kind()
{
    Node short_file = imgb::file("short", imgb::pattern(3000, 7));
    short_file.extent_blocks = 2;
    short_file.damage.raw_extent_count = 1;
    Node setuid = imgb::file("setuid", imgb::pattern(5000, 3), 04755);
    Node hard = imgb::file("hard", "two names\n");
    hard.inode = 40;
    hard.nlink = 2;
    Node hard2;
    hard2.name = "hard too";
    hard2.link_to = 40;
    Node orphan = imgb::file("lost", "nobody names me\n", 0600);
    orphan.unnamed = true;
    orphan.inode = 50;
    Node fifo = imgb::device(Kind::fifo, "pipe", 0, 0644);
    Node sock = imgb::device(Kind::socket, "sock", 0, 0755);
    return {
        {timed(imgb::file("plain", "hello\n"), 1000000000, 100, 20), "plain", -1, -1, "hello\n"},
        {timed(setuid, 1000000100, 0, 3), "setuid", -1, -1, imgb::pattern(5000, 3)},
        {timed(imgb::file("with blank", "b\n"), 1000000200), "with blank", -1, -1, "b\n"},
        {timed(imgb::file("new\nline", "n\n"), 1000000300), "new\nline", -1, -1, "n\n"},
        {timed(imgb::file("back\\slash", "s\n"), 1000000400), "back\\slash", -1, -1, "s\n"},
        {timed(imgb::file("caf\xe9", "e\n"), 1000000500), "caf\xe9", -1, -1, "e\n"},
        {timed(short_file, 1000000600), "short", -1, -1, imgb::pattern(3000, 7).substr(0, 1024),
         "fs_fread: Read error: 1976 bytes missing; the hashes cover the 1024 bytes the image holds"},
        {timed(hard, 1000000700), "hard", -1, -1, "two names\n"},
        {timed(hard2, 0), "hard too", -1, -1, "two names\n"},
        {timed(imgb::dir("sub", {timed(imgb::file("inner", "in\n"), 1000000900)}), 1000000800), "sub", -1, -1, "", ""},
        {timed(imgb::symlink("link", "plain"), 1000001000), "link"},
        {timed(dev(Kind::chardev, "tty", 0x0401, false), 1000001100), "tty", 4, 1},
        {timed(dev(Kind::blockdev, "disk", (300u << 18) | 70000u, true), 1000001200), "disk", 300, 70000},
        {timed(fifo, 1000001300), "pipe"},
        {timed(sock, 1000001400), "sock"},
        {timed(orphan, 1000001500), "$orphans/<50>", -1, -1, "nobody names me\n"},
    };
}

class Manifest : public ImageSession {};

// The Windows build always has its system's hashes; a POSIX build has them with libcrypto.
bool hashes()
{
    return EFSH_HASHES || efsh_under_wine();
}

// A date as mactime writes it in UTC.
std::string mactime_date(int64_t t)
{
    time_t s = static_cast<time_t>(t);
    std::tm tm{};
    gmtime_r(&s, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a %b %d %Y %H:%M:%S", &tm);
    return buf;
}

TEST_F(Manifest, EveryKindOfEntryAsRealToolsReadIt)
{
    if (!have("jq") || !have("sha256sum") || !have("md5sum"))
        GTEST_SKIP() << "the records are read with jq, sha256sum and md5sum";
    if (!hashes())
        GTEST_SKIP() << "this efsh was built without hashes (libcrypto)";
    std::vector<Entry> table = every_kind();
    std::vector<Node> kids;
    for (const Entry& e : table)
        kids.push_back(e.node);
    imgb::Result built = build(kids);
    ASSERT_TRUE(built.ok);
    std::filesystem::create_directory(dir_ + "/T");
    run_result r = run("manifest -a md5,sha256 -o / m.jsonl\nmanifest -f body -a md5 -o / m.body\n"
                       "manifest -f sums / m.sums\nmanifest -f sums -a md5 / m.md5\ncp -r / T\n"
                       "cp -p <50> orphan.bin\ntar <50> orphan.tar\ncp <0> x\nmore <99999>\nmanifest -a md5,sha256 / -\n");
    const bool wine = efsh_under_wine();
    // Windows takes neither a newline nor a backslash in a name.
    std::string not_copied = wine ? "////new\nline not copied\n////back\\slash not copied\n" : "";
    // The short file is damage met: each manifest says so once, as cp does.
    const std::string in_jsonl = "manifest: 1 entry met damage: their problems name it\n";
    const std::string in_others = "manifest: 1 entry met damage: -f jsonl names it\n";
    EXPECT_EQ(r.err, in_jsonl + in_others + in_others + in_others + not_copied + "fs_fread: Read error\n" +
                         "////link not copied\n////tty not copied\n////disk not copied\n////pipe not copied\n////sock not copied\n"
                         "<0>: No such file or directory\nfs_fopen: No such file or directory\n<99999>: No such file or directory\n" +
                         in_jsonl);
    const std::string jsonl = read_file(dir_ + "/m.jsonl");
    EXPECT_EQ(r.out, prompts(10) + jsonl.substr(0, jsonl.find("\n{\"path\":\"$orphans")) + "\n" + prompts(1));

    // Every line parses, and its fields are what the builder wrote.
    std::string got = output_of("jq -r '[(.path|explode|map(tostring)|join(\",\")), .inode, .type, .mode, .uid, .gid, "
                                ".nlink, .size, .atime, .mtime, .ctime, ((.target // \"-\")|explode|map(tostring)|join(\",\")), "
                                "(.major // -1), (.minor // -1), .extents, (.md5 // \"-\"), (.sha256 // \"-\"), "
                                "(.problems|join(\";\")), (.orphan // false)] | map(tostring) | join(\" \")' " +
                                dir_ + "/m.jsonl");
    std::vector<std::string> want;
    auto key = [](const std::string& path) { return "7:/" + path; };
    const imgb::NodeInfo& root = built.nodes["7:/"];
    want.push_back(fmt("46 2 dir 493 0 0 3 %zu 0 0 0 45 -1 -1 %zu - - %s false", root.extents.size() * 512,
                       root.extents.size(), ""));
    auto expect_entry = [&](const Node& n, const std::string& path, const Entry& e) {
        const bool orphan = path.rfind("$orphans/", 0) == 0;
        const imgb::NodeInfo& info = built.nodes[key(orphan ? n.name : n.link_to ? "hard" : path)];
        const char* type = n.kind == Kind::file ? "file" : n.kind == Kind::dir ? "dir" : n.kind == Kind::symlink ? "symlink"
                           : n.kind == Kind::chardev ? "chardev" : n.kind == Kind::blockdev ? "blockdev"
                           : n.kind == Kind::fifo ? "fifo" : "socket";
        const Node& src = n.link_to ? table[7].node : n;
        int nlink = src.kind == Kind::dir ? 2 : src.nlink ? src.nlink : 1;
        size_t size = src.kind == Kind::dir ? info.extents.size() * 512 : src.data.size();
        std::string md5 = "-", sha = "-";
        if (src.kind == Kind::file) {
            md5 = host_hash("md5sum", dir_, e.bytes);
            sha = host_hash("sha256sum", dir_, e.bytes);
        }
        int extents = src.damage.raw_extent_count ? *src.damage.raw_extent_count : static_cast<int>(info.extents.size());
        want.push_back(code_points(path) + " " + std::to_string(info.inode) + " " + type + " " +
                       std::to_string(src.perm) + " " + std::to_string(src.uid) + " " + std::to_string(src.gid) + " " +
                       std::to_string(nlink) + " " + std::to_string(size) + " " + std::to_string(src.atime) + " " +
                       std::to_string(src.mtime) + " " + std::to_string(src.ctime) + " " +
                       (src.kind == Kind::symlink ? code_points(src.data) : "45") + " " + std::to_string(e.major) + " " +
                       std::to_string(e.minor) + " " + std::to_string(extents) + " " + md5 + " " + sha + " " + e.problem +
                       (orphan ? " true" : " false"));
    };
    for (const Entry& e : table) {
        expect_entry(e.node, e.path, e);
        for (const Node& c : e.node.children)
            expect_entry(c, e.path + "/" + c.name, Entry{c, "", -1, -1, "in\n", ""});
    }
    std::vector<std::string> lines = lines_of(got);
    std::sort(lines.begin(), lines.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(lines, want);

    // The check lines pass in the copy cp -r made, with the host's own tools.
    std::string ignore = wine ? " --ignore-missing" : "";
    EXPECT_EQ(std::system(("cd " + dir_ + "/T && sha256sum --quiet -c" + ignore + " ../m.sums").c_str()), 0);
    EXPECT_EQ(std::system(("cd " + dir_ + "/T && md5sum --quiet -c" + ignore + " ../m.md5").c_str()), 0);
    EXPECT_EQ(lines_of(read_file(dir_ + "/m.sums")).size(), 10u);  // the regular files' names, the newline's line escaped

    // The orphan taken home by its number: its bytes, its times, in an archive under its word.
    EXPECT_EQ(read_file(dir_ + "/orphan.bin"), "nobody names me\n");
    struct stat st;
    ASSERT_EQ(stat((dir_ + "/orphan.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000001500);
    if (have("tar")) {
        EXPECT_EQ(output_of("tar -tf " + dir_ + "/orphan.tar"), "<50>\n");
    }

    // mactime makes a timeline of the body file: every entry's modification at its time.
    if (!have("mactime"))
        GTEST_SKIP() << "mactime (sleuthkit) is missing: the timeline is not checked";
    std::string timeline = output_of("mactime -b " + dir_ + "/m.body -d -z UTC 2>/dev/null");
    for (const Entry& e : table) {
        if (e.node.mtime == 0)
            continue;
        int ino = static_cast<int>(built.nodes[key(e.path.rfind("$", 0) == 0 ? e.node.name : e.path)].inode);
        std::string line = mactime_date(e.node.mtime) + ",";
        size_t at = timeline.find(line);
        ASSERT_NE(at, std::string::npos) << e.path;
        std::string rest = timeline.substr(at, timeline.find('\n', at) - at);
        EXPECT_NE(rest.find(",m...,"), std::string::npos) << rest;
        EXPECT_NE(rest.find("," + std::to_string(ino) + ",\""), std::string::npos) << rest;
    }
    EXPECT_NE(timeline.find(mactime_date(1000000000) + ",6,m...,r/rrw-r--r--,100,20,"), std::string::npos);
    EXPECT_NE(timeline.find(",r/rrwsr-xr-x,0,3,"), std::string::npos);
    EXPECT_NE(timeline.find("\"link -> plain\""), std::string::npos);
    EXPECT_NE(timeline.find("\"$orphans/<50>\""), std::string::npos);
}

// Inode numbers a command refuses, what it says of them, and what manifest's options refuse.
TEST_F(Manifest, WrongNumbersAndWrongCalls)
{
    Node d = imgb::dir("<12>", {imgb::file("x", "x\n")});
    imgb::Result built = build({imgb::file("f", "f\n"), d});
    ASSERT_TRUE(built.ok);
    struct Case {
        std::string line, err;
    };
    const std::vector<Case> cases = {
        {"cp <0> out", "<0>: No such file or directory\n"},
        {"cp <4294967296> out", "<4294967296>: No such file or directory\n"},
        {"tar <99999> out", "<99999>: No such file or directory\n"},
        {"manifest <1> -", "<1>: No such file or directory\n"},
        {"cd <2>", "<2>: No such file or directory\n"},
        {"manifest -f xml / -", "Use: manifest [-f jsonl|body|sums] [-a algorithms] [-o] fs-path unix-file\n"},
        {"manifest -a crc32 / -", "manifest -a: crc32 is none of md5, sha1, sha256, sha512, none\n"},
        {"manifest -f sums -a md5,sha1 / -", hashes() ? "manifest -f sums: name one algorithm with -a\n"
                                                      : "manifest -a: this efsh was built without hashes (libcrypto): use -a none\n"},
        {"manifest -f sums -a none / -", "manifest -f sums: name one algorithm with -a\n"},
        {"manifest -a none -o /<12> -", "manifest -o: orphans are found from the root: fs-path must be /\n"},
        {"manifest /", "Use: manifest [-f jsonl|body|sums] [-a algorithms] [-o] fs-path unix-file\n"},
        {"manifest -a none / disk.img", "disk.img: the image being read is never written\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        run_result r = run(c.line + "\n");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, prompts(2));
    }
    // A name that does not start with '<' is a path: "./<12>" is the directory of that name.
    run_result r = run("manifest -a none ./<12> -\n");
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("{\"path\":\"x\","), std::string::npos);

    // A directory named by its number is walked by inode: cp -r copies it under that word (which
    // Windows takes for no name).
    if (!efsh_under_wine()) {
        const std::string word = "<" + std::to_string(built.nodes["7:/<12>"].inode) + ">";
        std::filesystem::create_directory(dir_ + "/T");
        r = run("cp -r " + word + " T\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(host_tree(dir_ + "/T"), (std::vector<std::string>{word + "/", word + "/x:2"}));
    }
}

// A manifest of every damaged image of the corruption suite completes, lists every entry the walk
// reaches, and names the damage where cp reports it.
TEST_F(Manifest, DamagedImagesGiveWholeManifests)
{
    if (!hashes())
        GTEST_SKIP() << "this efsh was built without hashes (libcrypto)";
    opt.timeout_seconds = hang_seconds();
    for (const NodeCase& c : kNodeCases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(build(imgb::simple_disk(damage_tree(c))).ok);
        std::filesystem::remove_all(dir_ + "/T");
        std::filesystem::create_directory(dir_ + "/T");
        run_result r = run("manifest -a sha256 -o / m.jsonl\nmanifest -f sums / m.sums\ntar / a.tar\n");
        EXPECT_FALSE(run("cp -r / T\n").timed_out);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0);
        const std::string m = read_file(dir_ + "/m.jsonl");
        ASSERT_FALSE(m.empty());
        EXPECT_EQ(m.back(), '\n');
        // Every file cp -r made has its record, and its hash is that of the bytes it holds.
        for (const std::string& p : host_tree(dir_ + "/T")) {
            if (p.back() != '/') {
                EXPECT_NE(m.find("{\"path\":\"" + p.substr(0, p.rfind(':')) + "\""), std::string::npos) << p;
            }
        }
        if (have("sha256sum")) {
            EXPECT_EQ(std::system(("cd " + dir_ + "/T && sha256sum --quiet --ignore-missing -c ../m.sums").c_str()), 0);
        }
        // What tar reports (the same walk), the manifest names.
        bool named = m.find("\"problems\":[\"") != std::string::npos;
        EXPECT_EQ(named, !r.err.empty()) << r.err << m;
    }
}

}  // namespace
