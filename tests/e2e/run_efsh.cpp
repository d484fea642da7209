// Process runner for the end-to-end tests: fork, exec, files for the three standard streams.
#include "run_efsh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <thread>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string temp_path(const char* tag)
{
    char buf[] = "/tmp/efsh-io-XXXXXX";
    int fd = mkstemp(buf);
    if (fd >= 0)
        close(fd);
    return std::string(buf) + tag;
}

// Waits for the child, killing its process group once the timeout has passed; true on a timeout.
// A pid file descriptor lets poll wait for the end without a polling loop; where the host has
// none, the wait goes on without a limit.
bool wait_child(pid_t pid, double timeout_seconds, int* status)
{
    bool timed_out = false;
#ifdef SYS_pidfd_open
    int pidfd = timeout_seconds > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1;
#else
    int pidfd = -1;  // hosts other than Linux: no limit, as on a kernel without pid descriptors
#endif
    if (pidfd >= 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{pidfd, POLLIN, 0};
            int n = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count()) + 1) : 0;
            if (n > 0)
                break;
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 || std::chrono::steady_clock::now() >= deadline) {
                ::kill(-pid, SIGKILL);
                timed_out = true;
                break;
            }
        }
        ::close(pidfd);
    }
    while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
    return timed_out;
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

namespace {

std::string reachable_dir;

void remove_reachable_copy()
{
    remove_tree(reachable_dir);
}

}  // namespace

std::string efsh_for_any_user()
{
    if (reachable_dir.empty()) {
        char buf[] = "/tmp/efsh-bin-XXXXXX";
        if (!mkdtemp(buf))
            return EFSH_BIN;
        reachable_dir = buf;
        chmod(buf, 0755);
        std::atexit(remove_reachable_copy);
        std::error_code ec;
        std::filesystem::copy_file(EFSH_BIN, reachable_dir + "/efsh", ec);
        chmod((reachable_dir + "/efsh").c_str(), 0755);
    }
    return reachable_dir + "/efsh";
}

bool efsh_under_valgrind()
{
    return std::getenv("EFSH_VALGRIND") != nullptr;
}

namespace {

// EFSH_WINE=path/to/efsh.exe runs that Windows build under wine instead of the host's efsh. The
// path is made absolute once, so that a test's own working directory does not change it.
const char* wine_exe()
{
    static const std::string exe = [] {
        const char* e = std::getenv("EFSH_WINE");
        return e && *e ? std::filesystem::absolute(e).lexically_normal().string() : std::string();
    }();
    return exe.empty() ? nullptr : exe.c_str();
}

// The Windows name wine gives a host path: the host's root is drive Z:.
std::string windows_path(const std::string& path)
{
    std::string w = "Z:" + path;
    std::replace(w.begin(), w.end(), '/', '\\');
    return w;
}

// Windows programs end their text lines with CR LF; the tests compare the host's LF.
std::string lf_lines(const std::string& s)
{
    std::string t;
    t.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
            t += s[i];
    return t;
}

}  // namespace

bool efsh_under_wine()
{
    return wine_exe() != nullptr;
}

std::string efsh_argv0()
{
    if (const char* exe = wine_exe())
        return windows_path(exe);
    return EFSH_BIN;
}

std::string efsh_progname()
{
    std::string a0 = efsh_argv0();
    return a0.substr(a0.rfind('\\') + 1);
}

double hang_seconds()
{
    return efsh_under_valgrind() ? 600 : efsh_under_wine() ? 300 : 60;
}

run_result run_efsh(const std::vector<std::string>& args, const std::string& input, const run_options& opt)
{
    // Another user may not reach the build directory (a clone under /root or mktemp -d): such a
    // run starts a copy of efsh that every user can reach.
    std::string reachable = opt.uid >= 0 && opt.binary.empty() ? efsh_for_any_user() : std::string();
    std::string base = temp_path("");
    std::string in_path = base + ".in", out_path = base + ".out", err_path = base + ".err";
    std::remove(base.c_str());
    write_file(in_path, input);

    // EFSH_BENCH_LOG=FILE (bench/run): each run adds a line to FILE with the test's name, the
    // script's first line, the wall time and the peak memory of efsh alone (from /usr/bin/time,
    // whose own small process forks efsh: this process's size does not count).
    const char* bench_log = efsh_under_valgrind() || efsh_under_wine() ? nullptr : std::getenv("EFSH_BENCH_LOG");
    // The same figure for a test that asks for it: the peak of efsh alone, not of a wrapper, and
    // not of this process, whose pages a forked child counts until it starts efsh.
    bool timed = bench_log || (opt.measure_peak && !efsh_under_valgrind() && !efsh_under_wine() &&
                               access("/usr/bin/time", X_OK) == 0);
    std::string time_path = base + ".time";
    // Standard error is a pipe, as in `efsh ... 2>&1 | less`, unless EFSH_STDERR=file (the valgrind
    // run): a file opened for writing only. The C library's perror behaves differently on the two.
    const char* err_how = std::getenv("EFSH_STDERR");
    bool err_to_file = err_how && std::strcmp(err_how, "file") == 0;
    int err_pipe[2] = {-1, -1};
    if (!err_to_file && pipe2(err_pipe, O_CLOEXEC) != 0)
        err_to_file = true;
    // valgrind is found on the PATH of the tests, not on the one a test gives efsh (which may leave
    // out /usr/bin on purpose).
    static const std::string valgrind = [] {
        const char* path = std::getenv("PATH");
        std::stringstream dirs(path ? path : "/usr/bin");
        for (std::string d; std::getline(dirs, d, ':');)
            if (access((d + "/valgrind").c_str(), X_OK) == 0)
                return d + "/valgrind";
        return std::string("valgrind");
    }();
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        // A request to end is efsh's to take, whatever the test runner was started with (nohup
        // ignores SIGHUP, and a program started with a signal ignored keeps it so).
        signal(SIGHUP, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        // Its own process group, so that a timeout also ends the pager it may have started.
        if (opt.timeout_seconds > 0)
            setpgid(0, 0);
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = err_to_file ? open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600) : err_pipe[1];
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
        // EFSH_VALGRIND=DIR runs efsh under valgrind, its reports in DIR; an error or a leak makes
        // the exit status 99, which every test sees as a failure.
        const char* vg_dir = std::getenv("EFSH_VALGRIND");
        std::string vg_log = vg_dir ? std::string("--log-file=") + vg_dir + "/vg.%p.log" : std::string();
        // lax-ioctls: the loop device's status request carries no size in its number, which valgrind
        // would otherwise warn of at every call; the record it fills is a fixed one.
        std::vector<std::string> vg = {"valgrind", "--quiet", "--error-exitcode=99", "--leak-check=full",
                                       "--errors-for-leak-kinds=definite,indirect", "--track-fds=no",
                                       "--sim-hints=lax-ioctls", vg_log};
        std::vector<std::string> timer = {"/usr/bin/time", "-f", "%M", "-o", time_path};
        if (vg_dir)
            for (std::string& w : vg)
                argv.push_back(w.data());
        if (timed)
            for (std::string& w : timer)
                argv.push_back(w.data());
        std::string bin = !opt.binary.empty() ? opt.binary : opt.uid >= 0 ? reachable : std::string(EFSH_BIN);
        std::string a0 = opt.argv0.empty() || vg_dir || timed ? bin : opt.argv0;
        // Under wine the program's name is the Windows path wine makes of the binary's, whatever argv0 says.
        std::string wine = "wine";
        if (wine_exe()) {
            setenv("WINEDEBUG", "-all", 1);
            argv.push_back(wine.data());
            a0 = wine_exe();
        }
        argv.push_back(const_cast<char*>(a0.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (wine_exe())
            execvp("wine", argv.data());
        else if (vg_dir)
            execvp(valgrind.c_str(), argv.data());
        else if (timed)
            execv(timer[0].c_str(), argv.data());
        else
            execv(bin.c_str(), argv.data());
        _exit(127);
    }
    if (opt.timeout_seconds > 0)
        setpgid(pid, pid);  // also here: the group must exist before a kill can name it
    std::string piped_err;
    std::thread err_reader;
    if (!err_to_file) {
        close(err_pipe[1]);
        err_reader = std::thread([&piped_err, fd = err_pipe[0]] {
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) != 0)
                if (n > 0)
                    piped_err.append(buf, static_cast<size_t>(n));
                else if (errno != EINTR)
                    break;
            close(fd);
        });
    }
    int status = 0;
    run_result r;
    r.timed_out = wait_child(pid, opt.timeout_seconds, &status);
    if (err_reader.joinable())
        err_reader.join();
    if (timed) {
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::string peak = read_file(time_path);
        peak = peak.substr(peak.find_last_of('\n', peak.size() - 2) + 1);  // its last line: the figure
        r.peak_kb = std::atol(peak.c_str());
        const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
        if (FILE* log = bench_log ? std::fopen(bench_log, "a") : nullptr) {
            std::fprintf(log, "%s.%s\t%s\t%.4f\t%s", t ? t->test_suite_name() : "?", t ? t->name() : "?",
                         input.substr(0, input.find('\n')).c_str(), seconds, peak.empty() ? "0\n" : peak.c_str());
            std::fclose(log);
        }
        std::remove(time_path.c_str());
    }
    r.out = read_file(out_path);
    r.err = err_to_file ? read_file(err_path) : piped_err;
    if (wine_exe()) {
        r.out = lf_lines(r.out);
        r.err = lf_lines(r.err);
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::remove(in_path.c_str());
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    // efsh never fails without a word; a run under wine that did was wine failing to start the
    // program (seen once in some thousands of runs, on a busy machine). It goes once more, and says so.
    static bool again = false;
    if (wine_exe() && r.status != 0 && r.out.empty() && r.err.empty() && !r.timed_out && !again) {
        std::fprintf(stderr, "run_efsh: wine gave status %d and no output; running once more\n", r.status);
        again = true;
        r = run_efsh(args, input, opt);
        again = false;
    }
    return r;
}

std::vector<std::string> host_tree(const std::string& root)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = it->path().string().substr(root.size() + 1);
        out.push_back(it->is_directory() ? rel + "/"
                                         : rel + ":" + std::to_string(it->is_regular_file() ? it->file_size() : 0));
    }
    std::sort(out.begin(), out.end());
    return out;
}

void use_stand_in_less(const std::string& dir, run_options& opt)
{
    std::filesystem::create_directory(dir + "/bin");
    opt.cwd = dir;
    if (const char* exe = wine_exe()) {
        // The Windows build's stand-in (built beside efsh.exe) first on the Windows PATH, which
        // wine makes from WINEPATH, not from the host's PATH.
        std::filesystem::path built = std::filesystem::path(exe).parent_path() / "stand-in" / "less.exe";
        std::error_code ec;
        std::filesystem::copy_file(built, dir + "/bin/less.exe", std::filesystem::copy_options::overwrite_existing, ec);
        opt.env = {"WINEPATH=" + windows_path(dir + "/bin"), "LESS_LOG=" + windows_path(dir + "/less.log")};
        return;
    }
    write_file(dir + "/bin/less", "#!/bin/sh\ncat > \"$LESS_LOG\"\n");
    chmod((dir + "/bin/less").c_str(), 0755);
    opt.env = {"PATH=" + dir + "/bin:/usr/bin:/bin", "LESS_LOG=" + dir + "/less.log"};
}

std::vector<std::string> host_outside_target(const std::string& dir)
{
    std::vector<std::string> t;
    for (const std::string& p : host_tree(dir))
        if ((p == "T/" || p.rfind("T/", 0) != 0) && p.rfind("less.log:", 0) != 0 && p.rfind("out:", 0) != 0)
            t.push_back(p);
    return t;
}

std::string prompts_of(const std::string& image, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += image + "(7) # ";
    return s;
}

std::string output_of(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    pclose(p);
    return out;
}

bool have(const char* program)
{
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

namespace {

}  // namespace

bool tmux_available()
{
    return std::system("command -v tmux >/dev/null") == 0;
}

test_terminal terminal_start(const std::string& dir, const std::string& command)
{
    std::string server = "efsh" + std::to_string(getpid()) + "-" + std::to_string(std::rand());
    test_terminal t{"tmux -L " + server, server};
    output_of(t.tmux + " new-session -d -s " + t.target + " -x 80 -y 24 'cd " + dir + " && " + command + "'");
    return t;
}

void terminal_keys(const test_terminal& t, const std::string& keys)
{
    output_of(t.tmux + " send-keys -t " + t.target + " " + keys);
}

std::string terminal_screen(const test_terminal& t)
{
    return output_of(t.tmux + " capture-pane -p -t " + t.target);
}

bool terminal_wait(const test_terminal& t, const std::string& text, int count)
{
    for (int i = 0; i < 1200; ++i) {
        std::string screen = terminal_screen(t);
        int seen = 0;
        for (size_t at = screen.find(text); at != std::string::npos; at = screen.find(text, at + 1))
            ++seen;
        if (seen >= count)
            return true;
        poll(nullptr, 0, 50);
    }
    return false;
}

void terminal_stop(const test_terminal& t)
{
    std::string socket = output_of(t.tmux + " display-message -p '#{socket_path}' 2>/dev/null");
    output_of(t.tmux + " kill-server 2>/dev/null");
    if (!socket.empty() && socket.back() == '\n')
        std::remove(socket.substr(0, socket.size() - 1).c_str());  // tmux leaves it behind
}
