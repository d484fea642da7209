#include "common/report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

void report_errno(const char* label)
{
    int reason = errno;
    std::fprintf(stderr, "%s: %s\n", label, std::strerror(reason));
    errno = reason;
}
