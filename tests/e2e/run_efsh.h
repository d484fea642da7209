// Runs the real efsh binary with given arguments and standard input, capturing both output streams.
#pragma once
#include <string>
#include <vector>

struct run_result {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or -1 when the process did not exit normally
};

struct run_options {
    std::string cwd;                 // empty: the test's working directory
    std::vector<std::string> env;    // extra NAME=value settings (TZ=UTC is always set)
    std::string argv0;               // empty: the binary's path
    int uid = -1;                    // run as this user (when the tests run as root), -1: as the caller
};

run_result run_efsh(const std::vector<std::string>& args, const std::string& input, const run_options& opt = {});

// A fresh scratch directory for one test, removed by the caller with remove_tree.
std::string make_scratch_dir();
void remove_tree(const std::string& path);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
