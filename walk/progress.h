// The status line of a long copy at a terminal, on stderr, only when stderr is a terminal and only
// after the first second. For one file of known size: bytes done of the size, the share, the rate
// and the time left ("cp: 453.0 of 600.0 MiB (75%), 377 MiB/s, 0:00:01 left, huge.bin"); for a
// tree, whose size is not known before it is walked: files and bytes done and the rate
// ("tar: 12 files, 453.0 MiB, 377 MiB/s, usr/lib/x").
#pragma once
#include <cstdint>

// A command that copies starts (its name begins the line) / ends (the line is erased).
void progress_begin(const char* command);
void progress_end();
// A file of a tree starts (the one before it is done).
void progress_file(const char* name);
// The command copies this one file of `size` bytes: the line tells how far it is.
void progress_one(const char* name, uint64_t size);
// Bytes of the current file are done.
void progress_bytes(uint64_t n);
// Erases the line before another line goes to stderr; it is drawn again at the next step.
void progress_hide();
