// Host layer: raw read-only access to an image file and the pager pipe, over POSIX calls.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct host_file;

// Opens an existing file read-only (never creates it). Null on failure, errno left as the host set it.
host_file* host_open(const char* path);

// Absolute positioning from the start of the file. A negative or unrepresentable offset fails.
bool host_seek(host_file* f, int64_t offset);

// Reads up to len bytes at the current position; returns the count read (short at end of file),
// or -1 when the host reports an error.
int64_t host_read(host_file* f, void* buf, size_t len);

// Seeks to offset and reads exactly len bytes: 0 on success, 1 when the seek fails,
// 2 when the read fails or comes back short.
int host_read_at(host_file* f, int64_t offset, void* buf, size_t len);

// Closes the file and releases the handle; true when the host closed it.
bool host_close(host_file* f);

// Starts a command with a pipe to its standard input (binary: POSIX pipes have no text mode).
FILE* host_popen_write(const char* command);

// Closes the pipe and waits for the command to end.
int host_pclose(FILE* pipe);

// Makes writes into a pipe whose reader has gone fail with EPIPE instead of ending the process.
void host_ignore_sigpipe();

// What a host path names: -1 nothing (or it cannot be examined), 0 something other than a directory, 1 a directory.
int host_path_kind(const char* path);

// Creates a host directory (mode 0777 before the umask); the host's result, 0 on success.
int host_mkdir(const char* path);
