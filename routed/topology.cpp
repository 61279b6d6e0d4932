// The links after the five fields of each configuration line.
#include "topology.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "../rtlib/rt_args.h"
#include "codec.h"

namespace {

constexpr int PIECE_SIZE = 255;  // lines are read in the same pieces as the configuration reader's

[[noreturn]] void badLinks(const char *progName, const char *path, int lineNo, const char *line)
{
    std::fprintf(stderr, "%s: bad neighbour list in config_file: %s", progName, line);
    if (line[std::strlen(line) - 1] != '\n') std::fputc('\n', stderr);
    rt_config_locate(progName, path, lineNo, "after the fifth field, only IDs of other nodes of the file");
    std::exit(rt_error_status);
}

int entryIndex(const rt_config_file_t &config, uint32_t id)
{
    for (int i = 0; i < config.count; ++i)
        if (config.entries[i].nodeID == id) return i;
    return -1;
}

// Marks the links named after the fifth field; false when one names no other node of the file.
bool readLinks(const char *rest, const rt_config_file_t &config, int self, Topology &out, bool &anyLink)
{
    std::string_view text(rest);
    for (;;) {
        const size_t start = text.find_first_not_of(" \t\r\n\v\f");
        if (start == std::string_view::npos) return true;
        text.remove_prefix(start);
        const size_t end = std::min(text.find_first_of(" \t\r\n\v\f"), text.size());
        uint32_t id;
        if (!readNodeNumber(text.substr(0, end), id)) return false;
        const int other = entryIndex(config, id);
        if (other < 0 || other == self) return false;
        out.linked[self][other] = out.linked[other][self] = true;
        anyLink = true;
        text.remove_prefix(end);
    }
}

}  // namespace

void readTopology(const char *progName, const char *path, const rt_config_file_t &config, Topology &out)
{
    std::memset(&out, 0, sizeof out);
    FILE *in = std::fopen(path, "r");
    if (!in) {
        std::fprintf(stderr, "%s: can't open config_file = %s\n", progName, path);
        std::exit(rt_error_status);
    }
    bool anyLink = false;
    char line[PIECE_SIZE];
    rt_line_counter_t at;
    for (int entry = 0; entry < config.count && std::fgets(line, sizeof line, in);) {
        const bool comment = line[0] != '\n' && rt_skip_config_comment(line, in);
        at.read(line, comment);
        if (line[0] == '\n' || comment) continue;
        int restAt = -1;
        (void)std::sscanf(line, " %*u %*s %*d %*d %*d%n", &restAt);
        if (restAt < 0 || !readLinks(line + restAt, config, entry, out, anyLink))
            badLinks(progName, path, at.line, line);
        ++entry;
    }
    std::fclose(in);
    if (anyLink) return;
    for (int a = 0; a < config.count; ++a)
        for (int b = 0; b < config.count; ++b) out.linked[a][b] = a != b;
}
