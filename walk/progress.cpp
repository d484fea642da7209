// The status line: redrawn in place at most five times a second, cut to the terminal's width.
#include "walk/progress.h"

#include <algorithm>
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
    bool one = false;    // one file of known size (total), not a tree
    uint64_t total = 0;
    std::string command, name;
    int width = 0;
};
progress_state p;

constexpr double KIB = 1024.0, MIB = KIB * 1024.0, GIB = MIB * 1024.0;

// The unit a size is shown in, chosen by the size: KiB below a MiB (no decimals), MiB below a GiB
// (one), GiB (two).
struct unit {
    double size;
    int decimals;
    const char* name;
};
unit unit_of(double bytes)
{
    return bytes < MIB ? unit{KIB, 0, "KiB"} : bytes < GIB ? unit{MIB, 1, "MiB"} : unit{GIB, 2, "GiB"};
}

std::string number(double bytes, const unit& u)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", u.decimals, bytes / u.size);
    return buf;
}

std::string size_text(double bytes)
{
    unit u = unit_of(bytes);
    return number(bytes, u) + " " + u.name;
}

// A rate in whole units: its last digits change at every redraw and tell nothing.
std::string rate_text(double per_second)
{
    unit u = unit_of(per_second);
    u.decimals = u.size == GIB ? 1 : 0;
    return number(per_second, u) + " " + u.name + "/s";
}

std::string clock_text(double seconds)
{
    auto s = static_cast<uint64_t>(std::min(seconds, 1e9) + 0.5);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%llu:%02u:%02u", static_cast<unsigned long long>(s / 3600),
                  static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60));
    return buf;
}

std::string line_text(double seconds)
{
    double rate = double(p.bytes) / seconds;
    std::string line = p.command.empty() ? std::string() : p.command + ": ";
    if (p.one) {
        // The bytes done in the unit of the size, so that the two read as one measure.
        uint64_t done = std::min(p.bytes, p.total);
        unit u = unit_of(double(p.total));
        line += number(double(done), u) + " of " + size_text(double(p.total));
        if (p.total != 0)
            line += " (" + std::to_string(done * 100 / p.total) + "%)";
        line += ", " + rate_text(rate);
        if (rate > 0)
            line += ", " + clock_text(double(p.total - done) / rate) + " left";
    } else {
        line += std::to_string(p.files) + (p.files == 1 ? " file, " : " files, ") + size_text(double(p.bytes)) + ", " +
                rate_text(rate);
    }
    return line + ", " + p.name;
}

void draw(steady::time_point now)
{
    double seconds = std::chrono::duration<double>(now - p.start).count();
    std::string line = line_text(seconds);
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
void progress_begin(const char* command)
{
    int saved = errno;
    p = progress_state{};
    p.command = command;
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

void progress_one(const char* name, uint64_t size)
{
    if (!p.active)
        return;
    p.one = true;
    p.total = size;
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
