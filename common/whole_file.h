// A host file that is there whole or not at all, for a command writing an archive or a report: a
// regular file (or a name not taken yet) is written as a temporary file in the same folder, made
// lasting and renamed over the target only once complete, so that a failure, an interrupt or a
// crash leaves the old file (or none) and never a part that looks whole. Anything else the user
// names (a device, a pipe, a symbolic link), and a file in a folder where no new file may be made,
// is written as it is, as it always was.
#pragma once
#include "host/host_io.h"

struct whole_file {
    host_out* out = nullptr;
    const char* target = nullptr;
    bool beside = false;  // out is the temporary file temp
    bool replaces = false;  // a regular file of the target's name was there when it started
    char temp[4096] = {};
};

// Opens the file to write for target; false (*why as host_create gives it, errno set) when nothing
// can be written there. The image is refused whatever name leads to it.
bool whole_open(whole_file* w, const char* target, host_refusal* why);

// The file is complete: flushed and renamed over the target (written directly: closed). 0, or -1
// with errno set and the target as it was (a temporary file removed).
int whole_commit(whole_file* w);

// Gives up: a temporary file is removed and the target stays as it was; a target written directly
// is closed (removed when it is a regular file). Errno is kept.
void whole_discard(whole_file* w);
