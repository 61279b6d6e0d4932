// The link-state database: what this daemon knows of every node of the configuration file.
#pragma once

#include <cstdint>
#include <string_view>

#include "codec.h"
#include "name_table.h"

struct FragmentState {
    bool held;     // a copy is held (of this node: the fragment is in use)
    bool settled;  // it followed an earlier one closely: a far jump away from it is not believed
    uint32_t seq;
};

// A node's fragments live and die together: fragment 0 carries its links and, refreshed every
// cycle, keeps all of them; the others change only with the names they carry.
struct NodeState {
    uint32_t id;
    bool known;          // fragment 0 is held: the node's links, and so its names, count
    int linkCount;
    uint32_t links[MAX_NODES];
    FragmentState fragments[MAX_FRAGMENTS];
    int fragmentsHeld;
    int64_t installedAt; // monotonic milliseconds, of fragment 0
    int64_t expiresAt;   // monotonic milliseconds; this node's own entry never expires
    NameTable<MAX_USERS> users;
    NameTable<MAX_CHANNELS> chans;
};

// Sequence numbers wrap: b is after a when it lies less than half the number space ahead.
inline int32_t seqDistance(uint32_t a, uint32_t b) { return static_cast<int32_t>(b - a); }
// No origin moves its number this far in one step: it counts seconds or changes, and a copy of a
// dead origin expires long before. A farther jump is a fault or a forgery.
inline constexpr int32_t MAX_SEQ_JUMP = 1 << 20;
inline bool plausibleStep(int32_t distance) { return distance >= -MAX_SEQ_JUMP && distance <= MAX_SEQ_JUMP; }

// Indexed like the configuration file's entries; `self` is this daemon's own node. Its name
// tables make it large (megabytes, untouched until names arrive): it is kept in static storage.
struct LinkStateDb {
    int count;
    int self;
    NodeState nodes[MAX_NODES];
};

extern LinkStateDb lsdb;

int nodeIndex(const LinkStateDb &db, uint32_t id);  // -1 for a node the file does not list
// A link counts only when the advertisements of both ends name each other.
bool linked(const LinkStateDb &db, int a, int b);
// In any fragment of a node whose fragment 0 is held.
bool hostsUser(const NodeState &node, std::string_view nick);
bool hostsChannel(const NodeState &node, std::string_view chan);
inline bool holdsAnyFragment(const NodeState &node) { return node.fragmentsHeld > 0; }
// Marks the fragment held (of this node: in use) with the sequence number given.
void holdFragment(NodeState &node, int fragment, uint32_t seq);

enum class Install { Newer, Same, Older, Implausible, OverLimit };
// Takes a fragment of another node's advertisement when it is newer than the one held. One that
// jumps far from a settled copy is Implausible and not taken; one that jumps far from an
// unsettled copy (the first one heard, which may itself have been the forgery) replaces it, so
// the origin's next one wins at once. A newer fragment that would bring the node's users or
// channels, summed over its fragments, above the limits is OverLimit and not taken either. A
// fragment 0 taken keeps every fragment of the node until expiresAt.
Install installAdvert(LinkStateDb &db, int index, const Advert &advert, int64_t now, int64_t expiresAt);
// Forgets the nodes whose fragment 0 was not refreshed in time, with all their fragments; true
// when one was dropped.
bool expireAdverts(LinkStateDb &db, int64_t now);
void forgetNode(NodeState &node);
// The held fragment as a datagram carries it, its names viewing the node's tables.
void fragmentAdvert(const NodeState &node, int fragment, Advert &out);
