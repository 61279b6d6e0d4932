// The link-state database: what this daemon knows of every node of the configuration file.
#pragma once

#include <cstdint>
#include <string_view>

#include "codec.h"

struct NodeState {
    uint32_t id;
    bool known;          // an advertisement of this node is held
    bool settled;        // it followed an earlier one closely: a far jump away from it is not believed
    Advert advert;
    int64_t installedAt; // monotonic milliseconds
    int64_t expiresAt;   // monotonic milliseconds; this node's own entry never expires
};

// Sequence numbers wrap: b is after a when it lies less than half the number space ahead.
inline int32_t seqDistance(uint32_t a, uint32_t b) { return static_cast<int32_t>(b - a); }
// No origin moves its number this far in one step: it counts seconds or changes, and a copy of a
// dead origin expires long before. A farther jump is a fault or a forgery.
inline constexpr int32_t MAX_SEQ_JUMP = 1 << 20;
inline bool plausibleStep(int32_t distance) { return distance >= -MAX_SEQ_JUMP && distance <= MAX_SEQ_JUMP; }

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

enum class Install { Newer, Same, Older, Implausible };
// Takes an advertisement of another node when it is newer than the one held. One that jumps far
// from a settled copy is Implausible and not taken; one that jumps far from an unsettled copy (the
// first one heard, which may itself have been the forgery) replaces it, so the origin's next
// advertisement wins at once.
Install installAdvert(LinkStateDb &db, int index, const Advert &advert, int64_t now, int64_t expiresAt);
// Forgets advertisements that were not refreshed in time; true when one was dropped.
bool expireAdverts(LinkStateDb &db, int64_t now);
