// Reports of a failed host call.
#pragma once

// "label: reason" on stderr, the reason being errno's text. Unlike the C library's perror, errno is
// the same after the call: glibc's perror changes it when stderr is a pipe or a file opened for
// writing only, and a later report of the same failure (the prompt's "cp: reason") would name the
// wrong one.
void report_errno(const char* label);

// Called first by every report (null: nothing): a status line on the terminal is erased.
extern void (*before_report)();

// How many failures have been reported so far (by report_errno and fs_perror): a command that
// reported one has failed, whatever it went on to do.
extern unsigned long failures_reported;
