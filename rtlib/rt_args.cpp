// The option parser and its number reader; every refused option ends the process with status 255.
#include "rt_args.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

rt_args_t argList;
int rt_error_status = 255;
bool rt_check_only;

namespace {

constexpr char OPTION_STRING[] = "VSi:c:G:y:a:n:r:g:d:v:s:";

[[noreturn]] void rejectValue(const char *progName, const char *name, const char *text)
{
    std::fprintf(stderr, "%s: invalid %s = %s\n", progName, name, text);
    std::exit(rt_error_status);
}

// Reads a number in C notation (0x hexadecimal, 0 octal). Only trailing white space may follow the
// digits. A value outside 32 bits (a negative one included) is refused rather than wrapped.
void parse_long(const char *text, const char *progName, uint32_t *field, const char *name)
{
    char *end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 0);
    if (errno == ERANGE || value > UINT32_MAX) rejectValue(progName, name, text);
    *field = static_cast<uint32_t>(value);
    if (*end != '\0' && !std::isspace(static_cast<unsigned char>(*end)))
        rejectValue(progName, name, text);
}

void warnIfNotMultiple(const char *progName, const char *name, uint32_t value, uint32_t cycle)
{
    if (value % cycle != 0)
        std::fprintf(stderr, "%s: warning: %s (%lu) is not a multiple of advertisement_cycle_time (%lu)\n",
                     progName, name, static_cast<unsigned long>(value), static_cast<unsigned long>(cycle));
}

}  // namespace

int rt_parse_command_line(rt_args_t *args, int argc, char **argv)
{
    const char *prog = argv[0];
    std::memset(args, 0, sizeof *args);
    args->nodeID = UINT32_MAX;
    args->advertisement_cycle_time = 30;
    args->neighbor_timeout = 120;
    args->route_timeout = 3;
    args->garbage_collect_timeout = 120;
    const int savedIndex = optind;

    for (int c; (c = getopt(argc, argv, OPTION_STRING)) != -1;) {
        switch (c) {
        case 'i': parse_long(optarg, prog, &args->nodeID, "nodeID"); break;
        case 'c': rt_parse_config_file(prog, &args->config_file, optarg); break;
        case 'a':
            parse_long(optarg, prog, &args->advertisement_cycle_time, "advertisement_cycle_time");
            // Every timeout is checked against the cycle by division.
            if (args->advertisement_cycle_time == 0) rejectValue(prog, "advertisement_cycle_time", optarg);
            break;
        case 'n': parse_long(optarg, prog, &args->neighbor_timeout, "neighbor_timeout"); break;
        case 'r': parse_long(optarg, prog, &args->route_timeout, "route_timeout"); break;
        case 'v': parse_long(optarg, prog, &args->verbose, "verbose"); break;
        case 'G': break;
        case 'V': case 'S': case 'y': case 'g': case 'd': case 's':
            std::fprintf(stderr, "%s: unknown argument -%c\n", prog, c);
            std::exit(rt_error_status);
        default:  // getopt has printed its own complaint
            std::exit(rt_error_status);
        }
    }

    warnIfNotMultiple(prog, "neighbor_timeout", args->neighbor_timeout, args->advertisement_cycle_time);
    // The warning keeps the name the daemons have always printed for this timeout.
    warnIfNotMultiple(prog, "lsa_timeout", args->garbage_collect_timeout, args->advertisement_cycle_time);
    optind = savedIndex;
    return savedIndex;
}

rt_info_request_t rt_info_request(int argc, char **argv)
{
    if (argc != 2) return rt_info_request_t::none;
    if (std::strcmp(argv[1], "--help") == 0) return rt_info_request_t::help;
    if (std::strcmp(argv[1], "--version") == 0) return rt_info_request_t::version;
    return rt_info_request_t::none;
}

void rt_print_version(const char *progName)
{
    const char *slash = std::strrchr(progName, '/');
    std::printf("%s %s\n", slash ? slash + 1 : progName, QUORVEL_VERSION);
}

bool rt_take_flag(int &argc, char **argv, const char *name)
{
    int kept = 1;
    bool given = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) given = true;
        else argv[kept++] = argv[i];
    }
    argv[kept] = nullptr;
    argc = kept;
    return given;
}

bool rt_take_check_option(int &argc, char **argv)
{
    const bool check = rt_take_flag(argc, argv, "--check");
    if (check) {
        rt_error_status = 1;
        rt_check_only = true;
    }
    return check;
}

const char *rt_take_valued_option(int &argc, char **argv, const char *name)
{
    const char *value = nullptr;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0 && i + 1 < argc) value = argv[++i];
        else argv[kept++] = argv[i];
    }
    argv[kept] = nullptr;
    argc = kept;
    return value;
}
