// What the command running (cp, tar) has finished, for the one line that says where a stop left
// it: files and bytes done, and the bytes of the file under way.
#pragma once
#include <cstdint>
#include <string>

struct work_count {
    const char* command = "";
    uint64_t files = 0;
    uint64_t bytes = 0;    // of the files done
    uint64_t current = 0;  // of the file under way
    int64_t size = -1;     // the size of the one file a command copies (-1: a tree)
};
extern work_count work;

void work_start(const char* command);
// Bytes of the file under way are done (polled there too: the test hold "block").
void work_bytes(uint64_t n);
// The file under way is done.
void work_file_done();

// True once a stop (Ctrl-C, SIGTERM, SIGHUP) has been asked: the command stops at the next block.
bool work_stopped();

// "<command>: interrupted after 3 files, 1048576 bytes[; what]", for one file "after 4096 of 8192
// bytes" ("ended" for SIGTERM and SIGHUP), once per command however often it is asked for.
void report_stopped(const std::string& what = {});
