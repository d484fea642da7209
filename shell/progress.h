// The status line of a long copy at a terminal: files and bytes done, the rate and the name being
// copied, on stderr, only when stderr is a terminal and only after the first second.
#pragma once
#include <cstdint>

// A command that copies starts / ends (the line is erased).
void progress_begin();
void progress_end();
// A file starts (the one before it is done).
void progress_file(const char* name);
// Bytes of the current file are done.
void progress_bytes(uint64_t n);
// Erases the line before another line goes to stderr; it is drawn again at the next step.
void progress_hide();
