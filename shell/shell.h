// Command shell: start-up, the prompt loop and the commands it dispatches to.
#pragma once
#include <cstdint>
#include <cstdio>

struct volume_header;
struct fs_statbuf;
struct fs_file;

extern const char* progname;
extern int debug;

// The whole program: parses the command line, opens the image, summary, prompt loop or the lines
// of -c and -f; the exit status (EXIT_*; always 0 at the prompt, but after SIGTERM or SIGHUP).
int efsh_main(int argc, char** argv);

// Exit statuses of a run with -c or -f: every command succeeded, one failed (the run stops there),
// the image could not be opened or its partition mounted or the command line is wrong; a stop
// asked from outside ends with 128 + the signal (130 for Ctrl-C).
constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

[[noreturn]] void usage();
void print_partition_summary(FILE* out, const volume_header* hdr);
// The summary's lines for the EFS partitions, without the disk's size.
void print_partition_lines(FILE* out, const volume_header* hdr);

// What a command came to, as the prompt loop collects it. Every command returns one: CMD_FAILED
// for a use line, a source that is not there, a read or write error: whatever the command reported
// as a failure (fs_perror, report_errno; run_line counts those too, so a command that reports and
// goes on has failed all the same). What a command leaves out by design (a tree copy's "not copied"
// links and devices) is no failure.
constexpr int CMD_OK = 0;
constexpr int CMD_FAILED = 1;
constexpr int CMD_BYE = 2;  // bye: the loop ends

// Runs one prompt line as read (its last character, the newline, is dropped): CMD_*.
int run_line(char* line);

// Reads command lines from in until "bye" or the end of input. An interrupt while a line is typed
// drops the line; one while a command runs stops the command (it says so) and the prompt comes
// back; a request to end (SIGTERM, SIGHUP) ends the loop after the command has put things back.
void prompt_loop(FILE* in, const char* image, int partition);

// The lines of -c (text: one prompt line) and -f (file: its lines; name for reports), in order.
struct script_part {
    const char* text;
    FILE* file;
    const char* name;
};

// Runs the lines without a prompt until one fails or a stop is asked: EXIT_DONE (all ran, or bye),
// EXIT_FAILED, or 128 + the signal.
int run_script(const script_part* parts, size_t count);

// The image entry a command's operand names (a path, or <N>), with its stat: its inode, or 0 when
// there is none (said, as "word: reason").
uint32_t find_source(const char* word, fs_statbuf* st);

void do_ls(const char* path, const char* long_format);
int do_more(const char* path);
int do_cp(int argc, char** argv);
void cp_usage();
// The tar command: a tree or one entry of the image into a pax archive on the host.
int do_tar(int argc, char** argv);
void tar_usage();

// The manifest command: a record of every entry of a tree of the image, with hashes.
int do_manifest(int argc, char** argv);
void manifest_usage();

