// Command shell: start-up, the prompt loop and the commands it dispatches to.
#pragma once
#include <cstdint>
#include <cstdio>

struct volume_header;
struct fs_statbuf;
struct fs_file;

extern const char* progname;
extern int debug;

// The whole program: parses the command line, opens the image, summary or prompt loop; returns 0.
int efsh_main(int argc, char** argv);

[[noreturn]] void usage();
void print_partition_summary(FILE* out, const volume_header* hdr);
// The summary's lines for the EFS partitions, without the disk's size.
void print_partition_lines(FILE* out, const volume_header* hdr);

// Reads command lines from in until "bye" or the end of input.
void prompt_loop(FILE* in, const char* image, int partition);

void do_ls(const char* path, const char* long_format);
int do_more(const char* path);
// After a file has been read through: "fs_fread" and the reason when its data ended early.
void report_early_end(const fs_file* s);

int do_cp(int argc, char** argv);
void cp_usage();
// ino: the source's inode when the caller has it from a directory entry (0: look source up).
// ino (given by a tree copy's directory walk) also makes it return NAME_TAKEN, having written
// nothing, when the host takes target for a file this copy wrote from another inode, or when a
// link, pipe or device is there.
constexpr int NAME_TAKEN = -1;
int copy_file(const char* source, const char* target, int flags, uint32_t ino = 0);
int copy_dir(const char* name, const char* target, int flags);

// The tar command: a tree or one entry of the image into a pax archive on the host.
int do_tar(int argc, char** argv);
void tar_usage();

// The manifest command: a record of every entry of a tree of the image, with hashes.
int do_manifest(int argc, char** argv);
void manifest_usage();

constexpr int CP_RECURSIVE = 1;
constexpr int CP_PERM = 2;
constexpr int CP_VERBOSE = 4;
// Not an option: the target is the one the user named, though the source's inode is given.
constexpr int CP_NAMED_TARGET = 8;
