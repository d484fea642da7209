// Single-letter option parser with process-wide state, shared by start-up and the cp command.
#pragma once

namespace efsh {

extern int optind;    // argument being examined, or the next one
extern int optpos;    // next option character within argument optind; 1 starts a new argument
extern int opterr;    // nonzero: report errors on standard error
extern char* optarg;  // argument of the last option returned that takes one, else null
extern int optopt;    // last option character examined, rejected ones included

// Next option character, '?' on an illegal option or a missing argument, -1 when the options end.
int getopt(int argc, char* const* argv, const char* optstring);

// Starts over at argument 1 of a new vector; optarg and optopt are kept.
void getopt_reset();

}  // namespace efsh
