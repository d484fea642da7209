// What a build of efsh is: its version and the optional parts built in, for --version of both
// programs.
#pragma once
#include <cstdio>

// "<program> <version>" and one line per optional part, each saying whether it is built in.
void print_version(FILE* out, const char* program);
