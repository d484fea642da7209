// What a build of efsh is: its version and the optional parts built in, for --version of both
// programs, and the long options both take.
#pragma once
#include <cstdio>

// "<program> <version>" and one line per optional part, each saying whether it is built in.
void print_version(FILE* out, const char* program);

// --help and --version, as GNU programs take them: anywhere among the options, before "--". Either
// prints (help() its text, or the version of program) on stdout and ends with status 0.
void take_long_options(int argc, char** argv, void (*help)(), const char* program);
