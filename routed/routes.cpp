// Breadth-first trees on the two-way links; 32 nodes at most, so plain scans serve.
#include "routes.h"

#include <algorithm>

void shortestPathTree(const LinkStateDb &db, int root, SpanningTree &tree)
{
    tree.root = root;
    std::fill(std::begin(tree.dist), std::end(tree.dist), -1);
    std::fill(std::begin(tree.parent), std::end(tree.parent), -1);
    tree.dist[root] = 0;
    // Layer by layer, so that each node's parent is chosen among all nodes one hop closer.
    for (int layer = 0, grown = 1; grown; ++layer) {
        grown = 0;
        for (int v = 0; v < db.count; ++v) {
            if (tree.dist[v] >= 0) continue;
            for (int u = 0; u < db.count; ++u) {
                if (tree.dist[u] != layer || !linked(db, u, v)) continue;
                if (tree.parent[v] < 0 || db.nodes[u].id < db.nodes[tree.parent[v]].id) tree.parent[v] = u;
            }
            if (tree.parent[v] >= 0) grown = 1;
        }
        for (int v = 0; v < db.count; ++v)
            if (tree.dist[v] < 0 && tree.parent[v] >= 0) tree.dist[v] = layer + 1;
    }
}

NickRoute routeToNick(const LinkStateDb &db, std::string_view nick)
{
    SpanningTree fromSelf;
    shortestPathTree(db, db.self, fromSelf);
    int target = -1;
    for (int v = 0; v < db.count; ++v) {
        if (v == db.self || fromSelf.dist[v] < 0 || !hostsUser(db.nodes[v], nick)) continue;
        if (target < 0 || fromSelf.dist[v] < fromSelf.dist[target] ||
            (fromSelf.dist[v] == fromSelf.dist[target] && db.nodes[v].id < db.nodes[target].id))
            target = v;
    }
    if (target < 0) return {-1, 0};
    return {firstHopTo(db, target), fromSelf.dist[target]};
}

int firstHopTo(const LinkStateDb &db, int target)
{
    // The tree rooted at the target names, for this node, the lowest-ID neighbour on a shortest path.
    SpanningTree toTarget;
    shortestPathTree(db, target, toTarget);
    return toTarget.parent[db.self];
}

int channelNextHops(const LinkStateDb &db, int src, std::string_view chan, int (&hops)[MAX_NODES])
{
    bool anyMembers = false;
    for (int v = 0; v < db.count; ++v) anyMembers = anyMembers || hostsChannel(db.nodes[v], chan);
    if (!anyMembers) return -1;
    if (src < 0) return 0;

    SpanningTree tree;
    shortestPathTree(db, src, tree);
    bool leadsToMembers[MAX_NODES] = {};
    for (int member = 0; member < db.count; ++member) {
        if (tree.dist[member] < 0 || !hostsChannel(db.nodes[member], chan)) continue;
        // Climb towards the root; the node just below this one is the child to send to.
        for (int v = member; tree.parent[v] >= 0; v = tree.parent[v]) {
            if (tree.parent[v] == db.self) {
                leadsToMembers[v] = true;
                break;
            }
        }
    }
    int count = 0;
    for (int v = 0; v < db.count; ++v)
        if (leadsToMembers[v]) hops[count++] = v;
    std::sort(hops, hops + count, [&](int a, int b) { return db.nodes[a].id < db.nodes[b].id; });
    return count;
}
