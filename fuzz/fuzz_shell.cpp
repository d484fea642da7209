// Fuzz target: arbitrary command lines through the prompt loop over a fixed, valid image.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "efs/efs_file.h"
#include "efs/efs_io.h"
#include "fuzz/fuzz_images.h"
#include "fuzz/fuzz_support.h"
#include "shell/getopt.h"
#include "shell/shell.h"
#include "volume/volume.h"

namespace {

struct fixture {
    std::string image;
    std::string root;  // holds only the work directory between and after runs
    std::string work;  // the host directory each run starts in
    struct stat image_stat;
};

fixture& fix()
{
    static fixture f;
    return f;
}

bool same_file_state(const struct stat& a, const struct stat& b)
{
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_mode == b.st_mode;
}

std::vector<std::string> words_of(const std::string& line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

// The command lines the loop gets: each whole (shorter than the loop's line buffer), without
// lcd, which would move this process's working directory, and with every cp and tar target kept
// inside the work directory. Whatever else a line holds reaches the loop as the fuzzer wrote it.
std::string script_of(const uint8_t* data, size_t size)
{
    std::string out;
    size_t i = 0;
    while (i < size) {
        size_t end = i;
        while (end < size && data[end] != '\n')
            ++end;
        std::string line(reinterpret_cast<const char*>(data + i), end - i);
        i = end + 1;
        line = line.substr(0, std::min(line.find('\0'), size_t{2000}));
        if (line.empty() || line[0] == '!') {
            out += line + "\n";
            continue;
        }
        std::vector<std::string> w = words_of(line);
        if (!w.empty() && w[0] == "lcd")
            continue;
        if (w.size() >= 3 && (w[0] == "cp" || w[0] == "tar")) {
            const std::string& target = w.back();
            if (target[0] == '/' || target.find("..") != std::string::npos)
                w.back() = std::string(1, 't');
            line.clear();
            for (const std::string& word : w) {
                if (!line.empty())
                    line += ' ';
                line += word;
            }
        }
        out += line + "\n";
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fixture& f = fix();
    const std::string& base = fuzz::scratch();
    f.image = base + "/shell.img";
    f.root = base + "/run";
    f.work = f.root + "/w";
    imgb::Result r = imgb::write_image(fuzz::shell_disk(), f.image);
    if (!r.ok) {
        std::fprintf(stderr, "fuzz_shell: %s\n", r.error.c_str());
        std::abort();
    }
    if (::stat(f.image.c_str(), &f.image_stat) != 0 || ::mkdir(f.root.c_str(), 0700) != 0)
        std::abort();

    // The pager `more` starts is a stand-in that swallows its input.
    const std::string bin = base + "/bin";
    const std::string less = bin + "/less";
    const char script[] = "#!/bin/sh\nexec cat >/dev/null\n";
    if (::mkdir(bin.c_str(), 0700) != 0 ||
        !fuzz::write_file(less, reinterpret_cast<const uint8_t*>(script), sizeof script - 1) ||
        ::chmod(less.c_str(), 0700) != 0)
        std::abort();
    const char* path = std::getenv("PATH");
    std::string new_path = bin + ":" + (path ? path : "/usr/bin:/bin");
    ::setenv("PATH", new_path.c_str(), 1);

    // Copies of the image's files are small; a runaway one fails to write instead of filling memory.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{4u << 20, 4u << 20};
    (void)::setrlimit(RLIMIT_FSIZE, &lim);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fixture& f = fix();
    std::string script = script_of(data, size);
    if (script.empty())
        return 0;
    if (::mkdir(f.work.c_str(), 0700) != 0 || ::chdir(f.work.c_str()) != 0)
        std::abort();

    disk* d = disk_open(f.image.c_str());
    fs* mounted = d ? fs_mount(d, 7, 0) : nullptr;
    if (!mounted)
        std::abort();
    FILE* in = fmemopen(script.data(), script.size(), "r");
    if (!in)
        std::abort();
    {
        fuzz::quiet q;
        prompt_loop(in, "fuzz.img", 7);
    }
    std::fclose(in);

    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd) || f.work != cwd)
        std::abort();  // a command moved the host directory and did not bring it back
    if (fuzz::list_dir(f.root) != std::vector<std::string>{"w"})
        std::abort();  // something was written outside the directory the copies go to
    if (fuzz::list_dir(fuzz::scratch()) != std::vector<std::string>{"bin", "run", "shell.img"})
        std::abort();
    struct stat now;
    if (::stat(f.image.c_str(), &now) != 0 || !same_file_state(now, f.image_stat))
        std::abort();  // the image was written to
    for (const fs_file& s : stream_table)
        if (s.fs)
            std::abort();  // a command left a stream open

    fs_umount(mounted);
    disk_close(d);
    if (fuzz::reset_library() != 0)
        std::abort();
    debug = 0;
    efsh::getopt_reset();
    if (::chdir(f.root.c_str()) != 0 || !fuzz::remove_tree(f.work))
        std::abort();
    return 0;
}
