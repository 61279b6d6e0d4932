// Standard error is unbuffered, so a line goes out whole at once and nothing is allocated for it.
#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../rtlib/rt_args.h"
#include "clock.h"

LogLevel logLevel = LogLevel::Quiet;

namespace {

constexpr long long LIMIT_GAP_MS = 1000;

__attribute__((format(printf, 3, 0))) void emit(const char *level, unsigned left, const char *fmt, va_list ap)
{
    char line[512];
    int used = std::snprintf(line, sizeof line, "%s: ", level);
    used += std::vsnprintf(line + used, sizeof line - static_cast<size_t>(used), fmt, ap);
    if (used < 0 || static_cast<size_t>(used) >= sizeof line - 40) used = sizeof line - 40;
    if (left > 0) used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used), " (and %u more)", left);
    line[used++] = '\n';
    (void)std::fwrite(line, 1, static_cast<size_t>(used), stderr);
}

// True when the caller may write a line now; otherwise the line is counted as left out.
bool takeTurn(LogLimit &limit)
{
    const long long now = nowMillis();
    if (now < limit.nextAt) {
        ++limit.left;
        return false;
    }
    limit.nextAt = now + LIMIT_GAP_MS;
    return true;
}

}  // namespace

void takeLogOption(int &argc, char **argv)
{
    const char *level = rt_take_valued_option(argc, argv, "--log");
    if (!level || std::strcmp(level, "quiet") == 0) return;
    if (std::strcmp(level, "info") == 0) {
        logLevel = LogLevel::Info;
        return;
    }
    std::fprintf(stderr, "%s: invalid --log = %s (quiet or info)\n", argv[0], level);
    std::exit(rt_error_status);
}

void logInfo(const char *fmt, ...)
{
    if (logLevel != LogLevel::Info) return;
    va_list ap;
    va_start(ap, fmt);
    emit("info", 0, fmt, ap);
    va_end(ap);
}

void logInfoLimited(LogLimit &limit, const char *fmt, ...)
{
    if (logLevel != LogLevel::Info || !takeTurn(limit)) return;
    va_list ap;
    va_start(ap, fmt);
    emit("info", limit.left, fmt, ap);
    va_end(ap);
    limit.left = 0;
}

void logErrorLimited(LogLimit &limit, const char *fmt, ...)
{
    if (!takeTurn(limit)) return;
    va_list ap;
    va_start(ap, fmt);
    emit("error", limit.left, fmt, ap);
    va_end(ap);
    limit.left = 0;
}
