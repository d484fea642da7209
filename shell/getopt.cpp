// Single-letter option parser: no argument reordering, the first operand or "--" ends the options.
#include "shell/getopt.h"

#include <cstdio>
#include <cstring>

namespace efsh {

int optind = 1;
int optpos = 1;
int opterr = 1;
char* optarg = nullptr;
int optopt = 0;

namespace {

void report(const char* prog, const char* text, int c)
{
    std::fputs(prog, stderr);
    std::fputs(text, stderr);
    std::fputc(c, stderr);
    std::fputc('\n', stderr);
}

}  // namespace

int getopt(int argc, char* const* argv, const char* optstring)
{
    if (optpos == 1) {
        if (optind >= argc)
            return -1;
        const char* arg = argv[optind];
        if (arg[0] != '-' || arg[1] == '\0')
            return -1;
        if (std::strcmp(arg, "--") == 0) {
            ++optind;
            return -1;
        }
    }

    const char* arg = argv[optind];
    // Taken as unsigned so that no byte of the argument can be mistaken for -1.
    const int c = static_cast<unsigned char>(arg[optpos]);
    optopt = c;

    const char* entry = (c == ':' || c == '\0') ? nullptr : std::strchr(optstring, c);
    if (entry == nullptr) {
        if (opterr)
            report(argv[0], ": illegal option -- ", c);
        ++optpos;
        if (arg[optpos] == '\0') {
            ++optind;
            optpos = 1;
        }
        return '?';
    }

    if (entry[1] == ':') {
        if (arg[optpos + 1] != '\0') {
            optarg = const_cast<char*>(arg + optpos + 1);
            ++optind;
        } else {
            ++optind;
            if (optind >= argc) {
                if (opterr)
                    report(argv[0], ": option requires an argument -- ", c);
                optpos = 1;
                return '?';
            }
            optarg = argv[optind];
            ++optind;
        }
        optpos = 1;
        return c;
    }

    ++optpos;
    if (arg[optpos] == '\0') {
        optpos = 1;
        ++optind;
    }
    optarg = nullptr;
    return c;
}

void getopt_reset()
{
    opterr = 1;
    optind = 1;
    optpos = 1;
}

}  // namespace efsh
