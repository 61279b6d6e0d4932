// Standard error is unbuffered, so a line goes out whole at once and nothing is allocated for it.
#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../rtlib/rt_args.h"
#include "../rtlib/rt_options_file.h"
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

namespace {

LogLevel commandLineLevel = LogLevel::Quiet;

bool levelByName(const char *name, LogLevel &level)
{
    if (std::strcmp(name, "quiet") == 0) level = LogLevel::Quiet;
    else if (std::strcmp(name, "info") == 0) level = LogLevel::Info;
    else return false;
    return true;
}

}  // namespace

void noteCommandLineLogLevel(int argc, char **argv)
{
    const char *name = rt_last_option_value(argv + 1, argc - 1, "--log");
    if (name) (void)levelByName(name, commandLineLevel);
}

void takeLogOption(int &argc, char **argv)
{
    const char *name = rt_take_valued_option(argc, argv, "--log");
    if (!name || levelByName(name, logLevel)) return;
    std::fprintf(stderr, "%s: invalid --log = %s (quiet or info)\n", argv[0], name);
    std::exit(rt_error_status);
}

void reloadLogLevel(const char *progName)
{
    static rt_option_words_t now;
    if (!rt_reread_options_files(progName, now)) {
        std::printf("SIGHUP: the log level stays %s\n", logLevel == LogLevel::Info ? "info" : "quiet");
        std::fflush(stdout);
        return;
    }
    const char *name = rt_last_option_value(now.words, now.count, "--log");
    LogLevel level = commandLineLevel;
    if (name && !levelByName(name, level))
        std::fprintf(stderr, "%s: invalid --log = %s (quiet or info) in the options files\n", progName, name);
    else logLevel = level;
    std::printf("SIGHUP: the log level is %s\n", logLevel == LogLevel::Info ? "info" : "quiet");
    std::fflush(stdout);
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
