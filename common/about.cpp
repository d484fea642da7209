// The version and the optional parts, as the build configured them.
#include "common/about.h"

#include <cstdlib>
#include <cstring>

#ifndef EFSH_VERSION
#define EFSH_VERSION "unknown"
#endif

namespace {

struct part {
    const char* name;
    bool built;
    const char* with;
};

#ifndef EFSH_HAVE_LINE_EDITOR
#define EFSH_HAVE_LINE_EDITOR 0
#endif
#ifndef EFSH_HAVE_ZLIB
#define EFSH_HAVE_ZLIB 0
#endif
#ifndef EFSH_HAVE_HASHES
#define EFSH_HAVE_HASHES 0
#endif
#ifndef EFSH_HAVE_FUSE
#define EFSH_HAVE_FUSE 0
#endif

const part parts[] = {
    {"line editing", EFSH_HAVE_LINE_EDITOR, "libedit"},
    {"zlib", EFSH_HAVE_ZLIB, "tar -z"},
#ifdef _WIN32
    {"hashes", EFSH_HAVE_HASHES, "CNG"},
#else
    {"hashes", EFSH_HAVE_HASHES, "libcrypto"},
#endif
    {"FUSE", EFSH_HAVE_FUSE, "efsh-mount"},
};

}  // namespace

void print_version(FILE* out, const char* program)
{
    std::fprintf(out, "%s %s\n", program, EFSH_VERSION);
    for (const part& p : parts)
        std::fprintf(out, "%s (%s): %s\n", p.name, p.with, p.built ? "yes" : "no");
}

void take_long_options(int argc, char** argv, void (*help)(), const char* program)
{
    for (int i = 1; i < argc && argv[i] && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            help();
            std::exit(0);
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            print_version(stdout, program);
            std::exit(0);
        }
    }
}
