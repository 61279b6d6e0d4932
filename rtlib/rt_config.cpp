// Reads the node configuration file; any fault in it ends the process with status 255.
#include "rt_config.h"

#include "rt_args.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int PIECE_SIZE = 255;  // a line is read in pieces of at most 254 characters

// The line is scanned as "%lu %s %hu %hu %hu", but each number is read into a wider type:
// the narrow conversions would turn "-1" or 70000 into a valid-looking value.
bool scanLine(const char *line, rt_config_entry_t *entry, char (&hostText)[PIECE_SIZE])
{
    int idAt = 0;
    unsigned long id = 0;
    long ports[3] = {};
    if (std::sscanf(line, " %n%lu %254s %ld %ld %ld", &idAt, &id, hostText, &ports[0], &ports[1],
                    &ports[2]) < 5)
        return false;
    if (line[idAt] == '-' || id > UINT32_MAX) return false;
    for (long port : ports)
        if (port < 0 || port > UINT16_MAX) return false;
    entry->nodeID = static_cast<uint32_t>(id);
    entry->routing_port = static_cast<uint16_t>(ports[0]);
    entry->local_port = static_cast<uint16_t>(ports[1]);
    entry->server_port = static_cast<uint16_t>(ports[2]);
    return true;
}

// Host byte order address of a name or dotted quad, or false when it does not resolve.
bool resolveHost(const char *hostText, uint32_t *ipaddr)
{
    const hostent *h = gethostbyname(hostText);
    if (!h || h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list[0]) return false;
    in_addr addr;
    std::memcpy(&addr, h->h_addr_list[0], sizeof addr);
    *ipaddr = ntohl(addr.s_addr);
    return true;
}

}  // namespace

void rt_config_locate(const char *progName, const char *path, int line, const char *what)
{
    if (rt_check_only) std::fprintf(stderr, "%s: %s, line %d: %s\n", progName, path, line, what);
}

bool rt_skip_config_comment(const char *piece, FILE *in)
{
    const char *p = piece;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '#') return false;
    if (!std::strchr(piece, '\n'))
        for (int ch = std::fgetc(in); ch != EOF && ch != '\n'; ch = std::fgetc(in)) {}
    return true;
}

void rt_parse_config_file(const char *progName, rt_config_file_t *file, const char *path)
{
    FILE *in = std::fopen(path, "r");
    if (!in) {
        int err = errno;
        std::fprintf(stderr, "%s: can't open config_file = %s: ", progName, path);
        errno = err;
        std::perror(nullptr);
        std::exit(rt_error_status);
    }
    file->count = 0;
    char line[PIECE_SIZE];
    rt_line_counter_t at;
    for (int read = 0; read < RT_MAX_CONFIG_LINES; ++read) {
        if (!std::fgets(line, sizeof line, in)) break;
        const bool comment = rt_skip_config_comment(line, in);
        at.read(line, comment);
        if (line[0] == '\n') continue;  // a blank line holds no node but still counts
        if (comment) {
            --read;  // a commented file may say as much as it likes about its 32 nodes
            continue;
        }
        rt_config_entry_t &entry = file->entries[file->count];
        char hostText[PIECE_SIZE] = {};
        if (!scanLine(line, &entry, hostText)) {
            std::fprintf(stderr, "%s: bad line in config_file: %s", progName, line);
            rt_config_locate(progName, path, at.line,
                   "not \"ID host routing_port local_port server_port\" (IDs and ports unsigned, ports up to 65535)");
            std::exit(rt_error_status);
        }
        if (!resolveHost(hostText, &entry.ipaddr)) {
            std::fprintf(stderr, "%s: invalid hostname in config file = %s\n", progName, hostText);
            rt_config_locate(progName, path, at.line, "the host does not resolve to an IPv4 address");
            std::exit(rt_error_status);
        }
        ++file->count;
    }
    // Comments may follow the last line the limit allows; anything else is one line too many.
    bool oneTooMany = false;
    while (!oneTooMany && std::fgets(line, sizeof line, in)) {
        oneTooMany = !rt_skip_config_comment(line, in);
        at.read(line, !oneTooMany);
    }
    if (oneTooMany) {
        std::fprintf(stderr, "%s: too many lines in config_file (max = %d)\n", progName,
                     RT_MAX_CONFIG_LINES);
        rt_config_locate(progName, path, at.line, "more than 32 node and blank lines");
        std::exit(rt_error_status);
    }
    std::fclose(in);
}
