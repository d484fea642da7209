// Runs the real efsh binary with given arguments and standard input, capturing both output streams.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define EFSH_TESTS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EFSH_TESTS_SANITIZED 1
#endif
#endif

// The most a run of efsh or efsh-mount may take at its peak, in KiB: generous for a program that
// needs a few MiB. A sanitizer's shadow memory and quarantine of freed blocks take far more; there
// the bound only tells a growing walk (gigabytes) from a bounded one.
#ifdef EFSH_TESTS_SANITIZED
constexpr long kPeakLimitKiB = 1024L * 1024;
#else
constexpr long kPeakLimitKiB = 64L * 1024;
#endif

struct run_result {
    std::string out;
    std::string err;
    int status = -1;        // exit status, or -1 when the process did not exit normally
    bool timed_out = false; // killed after run_options::timeout_seconds
    long peak_kb = 0;       // with run_options::measure_peak: efsh's peak resident size in KiB (0: not measured)
};

struct run_options {
    std::string cwd;                 // empty: the test's working directory
    std::vector<std::string> env;    // extra NAME=value settings (TZ=UTC is always set)
    std::string argv0;               // empty: the binary's path
    int uid = -1;                    // run as this user (when the tests run as root), -1: as the caller
    std::string binary = {};         // empty: the efsh just built (EFSH_BIN; a copy of it for another uid)
    double timeout_seconds = 0;      // > 0: kill the child's process group after this long
    bool measure_peak = false;       // run efsh under /usr/bin/time for run_result::peak_kb (not
                                     // under valgrind or wine, nor where time is missing)
};

// True when run_efsh starts efsh under valgrind (EFSH_VALGRIND set).
bool efsh_under_valgrind();

// True when run_efsh starts the Windows build under wine (EFSH_WINE=path/to/efsh.exe); its
// output is compared with CR LF line ends made LF.
bool efsh_under_wine();

// What efsh sees as its argument 0 when run_efsh starts it without run_options::argv0 (the
// binary's path; under wine the Windows path wine makes of it), and its name for messages, the
// part of that after the last backslash.
std::string efsh_argv0();
std::string efsh_progname();

// A run of efsh taking longer than this has hung: long enough for valgrind and the sanitizers on a
// busy machine, so that only a run that would never end is stopped. How fast efsh is, and how
// much memory it takes, bench/run measures.
double hang_seconds();

run_result run_efsh(const std::vector<std::string>& args, const std::string& input, const run_options& opt = {});

// The efsh just built, copied once per test process where every user can read and run it.
std::string efsh_for_any_user();

// A fresh scratch directory for one test, removed by the caller with remove_tree.
std::string make_scratch_dir();
void remove_tree(const std::string& path);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);

// printf-style text, for building expected output.
template <typename... A>
std::string fmt(const char* f, A... a)
{
    char buf[1024];
    std::snprintf(buf, sizeof buf, f, a...);
    return buf;
}

// Every entry below root as "path/" or "path:size", sorted: what efsh left on the host.
std::vector<std::string> host_tree(const std::string& root);

// Puts a stand-in `less` into dir/bin that records what it is fed in dir/less.log, and sets opt
// to run efsh in dir with that pager first on PATH.
void use_stand_in_less(const std::string& dir, run_options& opt);

// What efsh may change in a test's directory lies under T, in less.log and in out; this is
// host_tree(dir) without those.
std::vector<std::string> host_outside_target(const std::string& dir);

// What a shell command prints on standard output.
std::string output_of(const std::string& command);
// Whether a host program is on PATH (the tests that run a real tool skip without it).
bool have(const char* program);

// n prompts of efsh at partition 7 of image.
std::string prompts_of(const std::string& image, int n);

// A terminal for tests: a tmux server of the test's own with one 80x24 window that runs a shell
// command (efsh, typically) in a directory. All calls do nothing once tmux is missing.
struct test_terminal {
    std::string tmux;  // "tmux -L <server>"
    std::string target;
};

bool tmux_available();
test_terminal terminal_start(const std::string& dir, const std::string& command);
// Arguments of tmux send-keys: key names, or quoted text.
void terminal_keys(const test_terminal& t, const std::string& keys);
std::string terminal_screen(const test_terminal& t);
// Waits for text to show on the screen at least count times; false after a timeout long enough
// for any machine, which only keeps a hang from hanging the suite.
bool terminal_wait(const test_terminal& t, const std::string& text, int count = 1);
void terminal_stop(const test_terminal& t);
