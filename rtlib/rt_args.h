// The options shared by the server and its routing daemon, and the record they are read into.
#pragma once

#include <cstdint>

#include "rt_config.h"

struct rt_args_t {
    uint32_t nodeID;
    rt_config_file_t config_file;
    uint32_t advertisement_cycle_time;
    uint32_t neighbor_timeout;
    uint32_t route_timeout;
    uint32_t garbage_collect_timeout;
    uint32_t verbose;  // only the value 1 turns the console traces on
};

extern rt_args_t argList;

// Parses the options that follow the positional arguments (getopt moves those behind the options).
// Exits with status 255 on any bad option; returns the option index as it was before the call.
int rt_parse_command_line(rt_args_t *args, int argc, char **argv);

// The status every configuration, option or key-file error ends the process with: 255, or 1 when
// the command line asked only for a check.
extern int rt_error_status;
extern bool rt_check_only;  // --check was given
// Takes "--check" out of argv wherever it stands: the program then reads its configuration,
// options and key as it would to start, says what it found, and exits 0 without starting, or
// with rt_error_status 1 at the first error.
bool rt_take_check_option(int &argc, char **argv);
// Takes every word equal to name out of argv; whether there was one.
bool rt_take_flag(int &argc, char **argv, const char *name);
// Takes "NAME VALUE" out of argv wherever it stands, for options the shared parser does not know;
// the last value given, or nullptr.
const char *rt_take_valued_option(int &argc, char **argv, const char *name);

// What a command line of "--help" or "--version" alone asks for; any other command line, these
// words included, means what it always meant.
enum class rt_info_request_t { none, help, version };
rt_info_request_t rt_info_request(int argc, char **argv);
// "<program> <version>" on standard output, the program without its directory.
void rt_print_version(const char *progName);
