// The node configuration file: every node of the network with its address and three ports.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

inline constexpr int RT_MAX_CONFIG_LINES = 32;

struct rt_config_entry_t {
    uint32_t nodeID;
    uint32_t ipaddr;        // host byte order
    uint16_t routing_port;  // where the node's routing daemons talk to each other
    uint16_t local_port;    // where the node's routing daemon accepts its server
    uint16_t server_port;   // the node's IRC port, also where FORWARD lines arrive
};

struct rt_config_file_t {
    int count;
    rt_config_entry_t entries[RT_MAX_CONFIG_LINES];
};

// A comment line ('#' its first character other than blanks), whose rest, when it is longer than
// the piece read, is read past: true when `piece` began one. Comments hold no node and do not count
// towards the file's 32 lines.
bool rt_skip_config_comment(const char *piece, FILE *in);

// The number of a file's line, as an editor shows it, while the file is read in pieces.
struct rt_line_counter_t {
    int line = 0;
    bool starts = true;
    // A piece read with fgets; after a comment, whose rest rt_skip_config_comment read past, the
    // next piece starts a line whatever this one held.
    void read(const char *piece, bool comment = false)
    {
        line += starts;
        starts = comment || std::strchr(piece, '\n') != nullptr;
    }
};

// Under --check, which an operator runs to find a fault, a second line after an error's own
// message: the file, the line and what is wrong there. A start keeps its messages as they were.
void rt_config_locate(const char *progName, const char *path, int line, const char *what);

// Returns only when the whole file is valid; otherwise prints why and exits with status 255.
void rt_parse_config_file(const char *progName, rt_config_file_t *file, const char *path);
