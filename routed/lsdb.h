// The link-state database: what this daemon knows of every node of the configuration file.
#pragma once

#include <cstdint>
#include <string_view>

#include "codec.h"

struct NodeState {
    uint32_t id;
    bool known;          // an advertisement of this node is held
    Advert advert;
    int64_t expiresAt;   // monotonic milliseconds; this node's own entry never expires
};

// Indexed like the configuration file's entries; `self` is this daemon's own node.
struct LinkStateDb {
    int count;
    int self;
    NodeState nodes[MAX_NODES];
};

extern LinkStateDb lsdb;

int nodeIndex(const LinkStateDb &db, uint32_t id);  // -1 for a node the file does not list
// A link counts only when the advertisements of both ends name each other.
bool linked(const LinkStateDb &db, int a, int b);
bool hostsUser(const NodeState &node, std::string_view nick);
bool hostsChannel(const NodeState &node, std::string_view chan);

enum class Install { Newer, Same, Older };
// Takes an advertisement of another node when it is newer than the one held.
Install installAdvert(LinkStateDb &db, int index, const Advert &advert, int64_t expiresAt);
// Forgets advertisements that were not refreshed in time; true when one was dropped.
bool expireAdverts(LinkStateDb &db, int64_t now);
