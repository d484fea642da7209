// The parts of the host layer that every host shares: they need no host call of their own.
#include "host/host_io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

void host_test_hold(const char* place)
{
    static const char* hold = std::getenv("EFSH_TEST_HOLD");
    static long calls = 0;
    if (!hold)
        return;
    const char* colon = std::strchr(hold, ':');
    if (!colon || std::strncmp(hold, place, static_cast<size_t>(colon - hold)) != 0 || place[colon - hold] != '\0')
        return;
    char* rest = nullptr;
    long n = std::strtol(colon + 1, &rest, 10);
    if (!rest || *rest != ':' || n <= 0 || ++calls % n != 0)
        return;
    if (rest[1] == '!') {
        // Under valgrind a signal raised to the process itself reaches its handler some time after
        // raise returns: the wait below makes it as if it had come at this point.
        std::raise(std::atoi(rest + 2));
    } else if (FILE* f = std::fopen(rest + 1, "wb")) {
        std::fclose(f);
    }
    // Polled, not timed: the wait ends as soon as the test has asked for the stop.
    for (int i = 0; i < 6000 && host_stop_asked() == HOST_NO_STOP; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

namespace {

bool ends_folder(char c)
{
#ifdef _WIN32
    return c == '\\' || c == '/' || c == ':';  // the drive's colon too
#else
    return c == '/';
#endif
}

}  // namespace

host_out* host_create_beside(const char* target, char* temp, size_t temp_size, host_refusal* why)
{
    // "<name>.efsh-partial" in the same folder, so that the rename stays within one file system and
    // a file left by a killed efsh says what it is; the name is cut to leave room for the ending.
    const char* cut = target;
    for (const char* p = target; *p; ++p)
        if (ends_folder(*p))
            cut = p + 1;
    std::string folder(target, static_cast<size_t>(cut - target));
    std::string base = cut;
    size_t keep = std::min<size_t>(base.size(), 200);
    while (keep > 0 && keep < base.size() && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80)
        --keep;  // not inside a character of several bytes
    base.resize(keep);
    for (int n = 0; n < 100; ++n) {
        std::string name = folder + base + ".efsh-partial" + (n ? std::to_string(n) : std::string());
        if (name.size() >= temp_size) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        std::memcpy(temp, name.c_str(), name.size() + 1);
        host_out* o = host_create(temp, HOST_IN_TREE | HOST_ONLY_NEW, why);
        if (o || (why && *why != HOST_ERRNO) || errno != EEXIST)
            return o;
    }
    return nullptr;
}
