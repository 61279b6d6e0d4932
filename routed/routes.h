// Route computation over the link-state database: hop counts, ties to the lower node ID, so that
// every daemon holding the same database computes the same paths and the same trees.
#pragma once

#include <string_view>

#include "lsdb.h"

struct SpanningTree {
    int root;
    int dist[MAX_NODES];    // hops from the root; -1 when unreachable
    int parent[MAX_NODES];  // the neighbour one hop closer to the root: of those, the lowest ID
};

void shortestPathTree(const LinkStateDb &db, int root, SpanningTree &tree);

struct NickRoute {
    int nextHop;  // node index, -1 when no reachable node hosts the nick
    int hops;     // from this node to the node that hosts it
};

// Towards the nearest other node that hosts the nick (ties: the lower ID).
NickRoute routeToNick(const LinkStateDb &db, std::string_view nick);
// This node's neighbour on a shortest path to the node at index target, ties to the lowest ID.
int firstHopTo(const LinkStateDb &db, int target);

// This node's children, in the tree rooted at src, behind which some node has members of the
// channel, in ascending ID order; -1 when no node of the network has the channel at all. A source
// that is unknown, or a tree this node is not part of, yields no hops: the message stops here.
int channelNextHops(const LinkStateDb &db, int src, std::string_view chan, int (&hops)[MAX_NODES]);
