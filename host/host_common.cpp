// The parts of the host layer that every host shares: they need no host call of their own.
#include "host/host_io.h"

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
