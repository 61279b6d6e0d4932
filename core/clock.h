// Monotonic milliseconds, for the timers of the server and of the routing daemon.
#pragma once

#include <ctime>

inline long long nowMillis()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
