// Process runner for the end-to-end tests: fork, exec, files for the three standard streams.
#include "run_efsh.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>

namespace {

std::string temp_path(const char* tag)
{
    char buf[] = "/tmp/efsh-io-XXXXXX";
    int fd = mkstemp(buf);
    if (fd >= 0)
        close(fd);
    return std::string(buf) + tag;
}

}  // namespace

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string make_scratch_dir()
{
    char buf[] = "/tmp/efsh-test-XXXXXX";
    char* p = mkdtemp(buf);
    return p ? std::string(p) : std::string();
}

void remove_tree(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

run_result run_efsh(const std::vector<std::string>& args, const std::string& input, const run_options& opt)
{
    std::string base = temp_path("");
    std::string in_path = base + ".in", out_path = base + ".out", err_path = base + ".err";
    std::remove(base.c_str());
    write_file(in_path, input);

    pid_t pid = fork();
    if (pid == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
            _exit(126);
        if (opt.uid >= 0 && (setgid(static_cast<gid_t>(opt.uid)) != 0 || setuid(static_cast<uid_t>(opt.uid)) != 0))
            _exit(125);
        setenv("TZ", "UTC", 1);
        for (const std::string& e : opt.env)
            putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv;
        std::string a0 = opt.argv0.empty() ? std::string(EFSH_BIN) : opt.argv0;
        argv.push_back(const_cast<char*>(a0.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(EFSH_BIN, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run_result r;
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::remove(in_path.c_str());
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return r;
}
