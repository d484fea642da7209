// The counts of the command running and the line that says where a stop left it.
#include "walk/work.h"

#include <cstdio>

#include "host/host_io.h"
#include "walk/progress.h"

work_count work;

namespace {

bool said = false;

}  // namespace

void work_start(const char* command)
{
    work = work_count{};
    work.command = command;
    said = false;
}

void work_bytes(uint64_t n)
{
    work.current += n;
    host_test_hold("block");
}

void work_file_done()
{
    ++work.files;
    work.bytes += work.current;
    work.current = 0;
}

bool work_stopped()
{
    return host_stop_asked() != HOST_NO_STOP;
}

void report_stopped(const std::string& what)
{
    if (said)
        return;
    said = true;
    progress_hide();
    // At a terminal the line starts over the "^C" the terminal echoed.
    if (host_is_terminal(stderr))
        std::fputc('\r', stderr);
    const char* how = host_stop_asked() == HOST_STOP_END ? "ended" : "interrupted";
    std::string done;
    if (work.size >= 0)
        done = std::to_string(work.current) + " of " + std::to_string(work.size) + " bytes";
    else
        done = std::to_string(work.files) + (work.files == 1 ? " file, " : " files, ") + std::to_string(work.bytes) +
               " bytes";
    std::fprintf(stderr, "%s: %s after %s%s%s\n", work.command, how, done.c_str(), what.empty() ? "" : "; ",
                 what.c_str());
}
