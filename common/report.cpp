#include "common/report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

void (*before_report)() = nullptr;

void report_errno(const char* label)
{
    int reason = errno;
    if (before_report)
        before_report();
    std::fprintf(stderr, "%s: %s\n", label, std::strerror(reason));
    errno = reason;
}
