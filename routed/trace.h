// The daemon's console: informational lines only with -v 1, each flushed so a log file follows live.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "../rtlib/rt_args.h"

__attribute__((format(printf, 1, 2))) inline void trace(const char *fmt, ...)
{
    if (argList.verbose != 1) return;
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fflush(stdout);
}
