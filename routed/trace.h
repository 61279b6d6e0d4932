// The daemon's console: events of links always, rate-limited notes of refusals always, the rest
// with -v 1; each stamped and flushed so a log file follows live.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "../rtlib/rt_args.h"

__attribute__((format(printf, 1, 0))) inline void vnote(const char *fmt, va_list ap)
{
    // Wall-clock time to the millisecond, so that the logs of several daemons can be laid side by side.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::printf("%s.%03ld ", stamp, now.tv_nsec / 1000000);
    std::vprintf(fmt, ap);
    std::fflush(stdout);
}

__attribute__((format(printf, 1, 2))) inline void trace(const char *fmt, ...)
{
    if (argList.verbose != 1) return;
    va_list ap;
    va_start(ap, fmt);
    vnote(fmt, ap);
    va_end(ap);
}

// What an operator follows without -v: links coming up and going down, the server linking and
// leaving, a neighbour's configuration differing; each a single line when it happens.
__attribute__((format(printf, 1, 2))) inline void note(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vnote(fmt, ap);
    va_end(ap);
}

inline constexpr int64_t NOTE_INTERVAL_MS = 60 * 1000;

// What an operator must hear of even without -v (refusals that may be an attack or a
// misconfiguration): every time with -v 1, otherwise at most once a minute per holder of
// nextAt, so that a flood of refusals cannot flood the log.
__attribute__((format(printf, 3, 4))) inline void noteLimited(int64_t &nextAt, int64_t now, const char *fmt, ...)
{
    if (argList.verbose != 1 && now < nextAt) return;
    nextAt = now + NOTE_INTERVAL_MS;
    va_list ap;
    va_start(ap, fmt);
    vnote(fmt, ap);
    va_end(ap);
}
