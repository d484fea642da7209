// Reports of a failed host call.
#pragma once

#include "host/host_io.h"

// "label: reason" on stderr, the reason being errno's text. Unlike the C library's perror, errno is
// the same after the call: glibc's perror changes it when stderr is a pipe or a file opened for
// writing only, and a later report of the same failure (the prompt's "cp: reason") would name the
// wrong one.
void report_errno(const char* label);

// Why the host made no file at target (host_create's refusal): "<target>: the image being read is
// never written", or label and errno's text. Either is a failure reported.
void report_not_made(const char* target, host_refusal why, const char* label);

// Called first by every report (null: nothing): a status line on the terminal is erased.
extern void (*before_report)();

// How many failures have been reported so far (by report_errno and fs_perror): a command that
// reported one has failed, whatever it went on to do.
extern unsigned long failures_reported;
