// Which nodes are this node's direct neighbours. Node IDs after a configuration line's five fields
// name that node's links (the server's reader ignores them, so one file serves both); a link named
// by either end counts for both. A file that names no link at all is a full mesh.
#pragma once

#include "../rtlib/rt_config.h"
#include "limits.h"

struct Topology {
    bool linked[MAX_NODES][MAX_NODES];  // by configuration entry index
};

// Reads the links of a file that rt_parse_config_file has accepted into config. A link to a node
// the file does not list, to the line's own node, or a word that is no node ID ends the process
// with status 255, as every other fault of the file does.
void readTopology(const char *progName, const char *path, const rt_config_file_t &config, Topology &out);
