// What a daemon's hellos say of its configuration, so that neighbours can tell when their files
// disagree: a link that never comes up, or a user that one node cannot route to, then has a cause
// the operator can see.
#pragma once

#include "codec.h"
#include "topology.h"

// Of the network the file describes: every node's ID, address and ports, and every link.
ConfigDigest configDigest(const rt_config_file_t &config, const Topology &topology);
