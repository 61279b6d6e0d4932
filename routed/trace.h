// The daemon's console: informational lines only with -v 1, each stamped and flushed so a log file
// follows live.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "../rtlib/rt_args.h"

__attribute__((format(printf, 1, 2))) inline void trace(const char *fmt, ...)
{
    if (argList.verbose != 1) return;
    // Wall-clock time to the millisecond, so that the logs of several daemons can be laid side by side.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::printf("%s.%03ld ", stamp, now.tv_nsec / 1000000);
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fflush(stdout);
}
