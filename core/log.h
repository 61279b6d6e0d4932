// What an operator reads in the journal without the traces: a line per connection, registration,
// link, split and refusal, on standard error with its level. A message's text never appears here;
// only the traces (-v 1) show what users say.
#pragma once

enum class LogLevel { Quiet, Info };
extern LogLevel logLevel;

// Takes "--log LEVEL" (quiet or info) out of argv; any other level ends the process with
// rt_error_status.
void takeLogOption(int &argc, char **argv);
// The level the command line itself gives (before the options files' words join it), to which
// a reload returns when the files no longer name one.
void noteCommandLineLogLevel(int argc, char **argv);
// SIGHUP: the level the options files name now, or the command line's; a line on standard output
// says which.
void reloadLogLevel(const char *progName);

__attribute__((format(printf, 1, 2))) void logInfo(const char *fmt, ...);

// For events a stranger can cause at will (refusals): at most one line a second per caller's
// `nextAt`, which then says how many were left out.
struct LogLimit {
    long long nextAt;
    unsigned left;
};
__attribute__((format(printf, 2, 3))) void logInfoLimited(LogLimit &limit, const char *fmt, ...);
// A fault the operator must hear of whatever the level (the node goes on regardless): on standard
// error as "error: ...", limited as above.
__attribute__((format(printf, 2, 3))) void logErrorLimited(LogLimit &limit, const char *fmt, ...);
