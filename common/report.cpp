#include "common/report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

void (*before_report)() = nullptr;
unsigned long failures_reported = 0;

void report_errno(const char* label)
{
    int reason = errno;
    ++failures_reported;
    if (before_report)
        before_report();
    std::fprintf(stderr, "%s: %s\n", label, std::strerror(reason));
    errno = reason;
}

void report_not_made(const char* target, host_refusal why, const char* label)
{
    if (why != HOST_IS_IMAGE) {
        report_errno(label);
        return;
    }
    ++failures_reported;
    if (before_report)
        before_report();
    std::fprintf(stderr, "%s: the image being read is never written\n", target);
}
