// The version and the optional parts, as the build configured them.
#include "common/about.h"

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
