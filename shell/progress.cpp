// The status line: redrawn in place at most five times a second, cut to the terminal's width.
#include "shell/progress.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "common/report.h"
#include "host/host_io.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr auto FIRST_AFTER = std::chrono::seconds(1);
constexpr auto REDRAW_AFTER = std::chrono::milliseconds(200);

struct progress_state {
    bool active = false;  // a command runs and stderr is a terminal
    size_t shown = 0;     // length of the line on the screen (0: none)
    steady::time_point start, drawn;
    uint64_t files = 0, bytes = 0;
    std::string name;
    int width = 0;
};
progress_state p;

std::string size_text(double bytes)
{
    char buf[32];
    if (bytes < 1024.0 * 1024.0)
        std::snprintf(buf, sizeof buf, "%.0f KiB", bytes / 1024.0);
    else if (bytes < 1024.0 * 1024.0 * 1024.0)
        std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024.0));
    else
        std::snprintf(buf, sizeof buf, "%.2f GiB", bytes / (1024.0 * 1024.0 * 1024.0));
    return buf;
}

void draw(steady::time_point now)
{
    double seconds = std::chrono::duration<double>(now - p.start).count();
    std::string line = std::to_string(p.files) + (p.files == 1 ? " file, " : " files, ") + size_text(double(p.bytes)) +
                       ", " + size_text(double(p.bytes) / seconds) + "/s, " + p.name;
    // One column is left free: a line that fills the last column wraps on some terminals.
    size_t room = p.width > 1 ? static_cast<size_t>(p.width - 1) : 79;
    if (line.size() > room)
        line.resize(room);
    size_t len = line.size();
    if (len < p.shown)
        line.append(p.shown - len, ' ');
    std::fputs(("\r" + line).c_str(), stderr);
    p.shown = len;
    p.drawn = now;
}

void tick()
{
    steady::time_point now = steady::now();
    if (now - p.start < FIRST_AFTER || (p.shown != 0 && now - p.drawn < REDRAW_AFTER))
        return;
    draw(now);
}

}  // namespace

// Neither call changes errno: the prompt's line after a failed command names the command's reason.
void progress_begin()
{
    int saved = errno;
    p = progress_state{};
    p.active = host_is_terminal(stderr);
    if (p.active) {
        p.start = steady::now();
        p.width = host_terminal_width(stderr);
        before_report = progress_hide;
    }
    errno = saved;
}

void progress_end()
{
    int saved = errno;
    progress_hide();
    p.active = false;
    before_report = nullptr;
    errno = saved;
}

void progress_file(const char* name)
{
    if (!p.active)
        return;
    if (!p.name.empty())
        ++p.files;
    p.name = name;
    tick();
}

void progress_bytes(uint64_t n)
{
    if (!p.active)
        return;
    p.bytes += n;
    tick();
}

void progress_hide()
{
    if (p.shown == 0)
        return;
    std::fputs(("\r" + std::string(p.shown, ' ') + "\r").c_str(), stderr);
    p.shown = 0;
}
