// Route computation on databases built by hand: hop counts, the tie rule, which links and nodes
// count, and the channel trees; then walks hop by hop over whole graphs, as the messages go.

#include "routed/routes.h"
#include "tests/routed/db_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <utility>
#include <vector>

namespace {

using namespace routedtest;
using Ids = std::vector<uint32_t>;
using Route = std::pair<uint32_t, int>;  // next hop ID and hops
const Route NONE{0, -1};

Route nextHop(LinkStateDb &db, uint32_t selfId, const char *nick)
{
    SelfAs at(db, selfId);
    const NickRoute r = routeToNick(db, nick);
    return r.nextHop < 0 ? NONE : Route{db.nodes[r.nextHop].id, r.hops};
}

// NEXTHOPS as the IDs it names; nullopt when no node has the channel.
std::optional<Ids> treeHops(LinkStateDb &db, uint32_t selfId, uint32_t srcId, const char *chan)
{
    SelfAs at(db, selfId);
    int hops[MAX_NODES];
    const int count = channelNextHops(db, nodeIndex(db, srcId), chan, hops);
    if (count < 0) return std::nullopt;
    Ids ids;
    for (int i = 0; i < count; ++i) ids.push_back(db.nodes[hops[i]].id);
    return ids;
}

Db chainDb(const Ids &ids, bool ring = false)
{
    Db db = makeDb(ids, ids[0]);
    for (size_t i = 0; i + 1 < ids.size(); ++i) link(*db, ids[i], ids[i + 1]);
    if (ring) link(*db, ids.back(), ids[0]);
    return db;
}

// Fragment 0 no longer held: the node's links and names do not count.
void forget(LinkStateDb &db, uint32_t id, bool gone = true) { db.nodes[nodeIndex(db, id)].known = !gone; }

TEST(Routes, ShortestPathsOnALineAndARing)
{
    Db line = chainDb({1, 2, 3, 4, 5});
    hostUser(*line, 1, "a");
    hostUser(*line, 5, "e");
    EXPECT_EQ(nextHop(*line, 1, "e"), Route(2, 4));
    EXPECT_EQ(nextHop(*line, 3, "e"), Route(4, 2));
    EXPECT_EQ(nextHop(*line, 3, "a"), Route(2, 2));
    EXPECT_EQ(nextHop(*line, 4, "e"), Route(5, 1));

    Db ring = chainDb({1, 2, 3, 4, 5, 6}, true);
    for (auto [id, nick] : {std::pair{3u, "c"}, {4u, "d"}, {5u, "e"}}) hostUser(*ring, id, nick);
    EXPECT_EQ(nextHop(*ring, 1, "c"), Route(2, 2));
    EXPECT_EQ(nextHop(*ring, 1, "d"), Route(2, 3));  // both ways are three hops
    EXPECT_EQ(nextHop(*ring, 1, "e"), Route(6, 2));
    EXPECT_EQ(nextHop(*ring, 6, "c"), Route(1, 3));
}

TEST(Routes, TiesGoToTheLowerIdWhateverTheIndexOrder)
{
    for (const Ids &order : {Ids{1, 2, 3, 4}, Ids{4, 3, 2, 1}, Ids{3, 4, 1, 2}}) {
        const Db made = makeDb(order, 1, {{4, 3}, {3, 1}, {4, 2}, {2, 1}});
        LinkStateDb &db = *made;
        for (auto [id, nick] : {std::pair{1u, "w"}, {2u, "x"}, {3u, "y"}, {4u, "z"}}) hostUser(db, id, nick);
        EXPECT_EQ(nextHop(db, 1, "z"), Route(2, 2));
        EXPECT_EQ(nextHop(db, 4, "w"), Route(2, 2));
        EXPECT_EQ(nextHop(db, 2, "y"), Route(1, 2));
        EXPECT_EQ(nextHop(db, 3, "x"), Route(1, 2));
    }
    // 1-5-2-9 and 1-3-4-9: the tie is between the first hops, 3 and 5, not the last ones.
    const Db made = makeDb({1, 2, 3, 4, 5, 9}, 1, {{1, 5}, {5, 2}, {2, 9}, {1, 3}, {3, 4}, {4, 9}});
    LinkStateDb &db = *made;
    hostUser(db, 9, "z");
    EXPECT_EQ(nextHop(db, 1, "z"), Route(3, 3));
}

TEST(Routes, OnlyTwoWayLinksBetweenKnownNodesCount)
{
    // 2->3 is named by 2 alone, so the way to 3 is the long one through 4 and 5.
    const Db made = makeDb({1, 2, 3, 4, 5}, 1, {{1, 2}, {1, 4}, {4, 5}, {5, 3}});
    LinkStateDb &db = *made;
    listLink(db, 2, 3);
    hostUser(db, 3, "c");
    EXPECT_EQ(nextHop(db, 1, "c"), Route(4, 3));
    EXPECT_EQ(nextHop(db, 2, "c"), Route(1, 4));

    // An advertisement no longer held carries neither its links nor its users.
    Db gone = chainDb({1, 2, 3});
    hostUser(*gone, 2, "b");
    hostUser(*gone, 3, "c");
    forget(*gone, 3);
    EXPECT_EQ(nextHop(*gone, 1, "c"), NONE);
    EXPECT_EQ(nextHop(*gone, 1, "b"), Route(2, 1));
    forget(*gone, 2);
    forget(*gone, 3, false);
    EXPECT_EQ(nextHop(*gone, 1, "c"), NONE);
    EXPECT_EQ(nextHop(*gone, 1, "b"), NONE);

    Db island = makeDb({1, 2, 3}, 1, {{1, 2}});
    hostUser(*island, 3, "c");
    EXPECT_EQ(nextHop(*island, 1, "c"), NONE);
    EXPECT_EQ(nextHop(*island, 1, "nobody"), NONE);
}

TEST(Routes, NickOnSeveralNodesGoesToTheNearest)
{
    for (const Ids &order : {Ids{1, 2, 3, 4, 5}, Ids{5, 4, 3, 2, 1}}) {
        const Db made = makeDb(order, 3, {{1, 2}, {2, 3}, {3, 4}, {4, 5}});
        LinkStateDb &db = *made;
        for (auto [id, nick] : {std::pair{1u, "n"}, {4u, "n"}, {1u, "t"}, {5u, "t"}, {3u, "s"}}) hostUser(db, id, nick);
        EXPECT_EQ(nextHop(db, 3, "n"), Route(4, 1));
        EXPECT_EQ(nextHop(db, 3, "t"), Route(2, 2));  // two hops either way: node 1
        EXPECT_EQ(nextHop(db, 3, "s"), NONE);         // on this node alone: nothing to route
    }
}

TEST(ChannelTree, ChildrenLeadingToMembers)
{
    Db line = chainDb({1, 2, 3, 4, 5});
    hostChan(*line, 1, "#c");
    hostChan(*line, 5, "#c");
    hostChan(*line, 1, "#one");
    EXPECT_EQ(treeHops(*line, 3, 1, "#c"), Ids{4});
    EXPECT_EQ(treeHops(*line, 3, 5, "#c"), Ids{2});
    EXPECT_EQ(treeHops(*line, 3, 3, "#c"), (Ids{2, 4}));
    EXPECT_EQ(treeHops(*line, 1, 1, "#c"), Ids{2});
    EXPECT_EQ(treeHops(*line, 5, 1, "#c"), Ids{});
    EXPECT_EQ(treeHops(*line, 3, 1, "#one"), Ids{});  // the only member is behind the parent
    EXPECT_EQ(treeHops(*line, 3, 5, "#one"), Ids{2});

    // A branch: only the child with members below it gets the message.
    Db tree = makeDb({1, 2, 3, 4, 5}, 1, {{1, 2}, {2, 3}, {2, 4}, {4, 5}});
    hostChan(*tree, 3, "#c");
    EXPECT_EQ(treeHops(*tree, 1, 1, "#c"), Ids{2});
    EXPECT_EQ(treeHops(*tree, 2, 1, "#c"), Ids{3});
    EXPECT_EQ(treeHops(*tree, 4, 1, "#c"), Ids{});
    EXPECT_EQ(treeHops(*tree, 2, 5, "#c"), Ids{3});

    // Children come in ascending ID order, whatever the index order.
    Db star = makeDb({1, 4, 3, 2}, 1, {{1, 4}, {1, 3}, {1, 2}});
    for (uint32_t id : {4u, 3u, 2u}) hostChan(*star, id, "#c");
    EXPECT_EQ(treeHops(*star, 1, 1, "#c"), (Ids{2, 3, 4}));
    EXPECT_EQ(treeHops(*star, 1, 3, "#c"), (Ids{2, 4}));
}

TEST(ChannelTree, NoneOnlyWhenNoNodeHasTheChannel)
{
    const Db made = makeDb({1, 2, 3, 6}, 1, {{1, 2}, {2, 3}});
    LinkStateDb &db = *made;
    hostChan(db, 6, "#far");
    hostChan(db, 3, "#c");
    EXPECT_EQ(treeHops(db, 2, 2, "#nobody"), std::nullopt);
    EXPECT_EQ(treeHops(db, 2, 2, "#far"), Ids{});  // a member, though out of reach
    EXPECT_EQ(treeHops(db, 2, 99, "#c"), Ids{});   // unknown source: the message stops
    EXPECT_EQ(treeHops(db, 2, 99, "#nobody"), std::nullopt);
    EXPECT_EQ(treeHops(db, 2, 6, "#c"), Ids{});    // a tree this node is not part of
    EXPECT_EQ(treeHops(db, 2, 1, "#c"), Ids{3});
    forget(db, 6);
    EXPECT_EQ(treeHops(db, 2, 2, "#far"), std::nullopt);  // its advertisement is gone
}

// Whole graphs, walked hop by hop. IDs are out of index order so that ties and indices differ.
struct Graph {
    Ids ids;
    std::vector<std::pair<int, int>> edges;  // by index
    Db db() const
    {
        Db out = makeDb(ids, ids[0]);
        for (auto [a, b] : edges) link(*out, ids[a], ids[b]);
        return out;
    }
    int size() const { return static_cast<int>(ids.size()); }
};

Graph chain(Ids ids, bool ring)
{
    Graph g{std::move(ids), {}};
    for (int i = 0; i + 1 < g.size(); ++i) g.edges.push_back({i, i + 1});
    if (ring) g.edges.push_back({g.size() - 1, 0});
    return g;
}

std::vector<Graph> sampleGraphs()
{
    std::vector<Graph> graphs = {chain({3, 1, 4, 5, 2}, false), chain({1, 2, 3, 4}, true), chain({5, 3, 1, 4, 2}, true),
                                 // a 2 x 3 grid: many paths of equal length
                                 {{6, 2, 4, 1, 5, 3}, {{0, 1}, {1, 2}, {3, 4}, {4, 5}, {0, 3}, {1, 4}, {2, 5}}}};
    Graph mesh{{9, 7, 5, 3, 1}, {}};
    for (int a = 0; a < 5; ++a)
        for (int b = a + 1; b < 5; ++b) mesh.edges.push_back({a, b});
    graphs.push_back(mesh);
    // A random tree of 8 nodes and a few more links; IDs 10 to 80, shuffled.
    std::mt19937 rng(20240611);
    Graph random{{10, 20, 30, 40, 50, 60, 70, 80}, {}};
    std::shuffle(random.ids.begin(), random.ids.end(), rng);
    for (int i = 1; i < 8; ++i) random.edges.push_back({static_cast<int>(rng() % static_cast<unsigned>(i)), i});
    for (int extra = 0; extra < 4; ++extra)  // a link listed twice is still one link
        if (const int a = static_cast<int>(rng() % 8), b = static_cast<int>(rng() % 8); a != b) random.edges.push_back({a, b});
    graphs.push_back(random);
    return graphs;
}

// Hop counts by the test's own breadth-first search, by index.
std::vector<std::vector<int>> distances(const Graph &g)
{
    std::vector<std::vector<int>> dist(g.ids.size(), std::vector<int>(g.ids.size(), -1));
    for (int root = 0; root < g.size(); ++root) {
        std::vector<int> queue{root};
        dist[root][root] = 0;
        for (size_t at = 0; at < queue.size(); ++at)
            for (auto [a, b] : g.edges)
                for (auto [u, v] : {std::pair{a, b}, std::pair{b, a}})
                    if (u == queue[at] && dist[root][v] < 0) {
                        dist[root][v] = dist[root][u] + 1;
                        queue.push_back(v);
                    }
    }
    return dist;
}

TEST(ChannelTree, EveryMemberGetsOneCopyOverShortestPaths)
{
    for (const Graph &g : sampleGraphs()) {
        const int n = g.size();
        const auto dist = distances(g);
        const Db graph = g.db();
        LinkStateDb &db = *graph;
        for (unsigned members = 1; members < (1u << n); ++members) {
            for (int v = 0; v < n; ++v) {
                db.nodes[v].chans.clear();
                if (members & (1u << v)) hostChan(db, g.ids[v], "#c");
            }
            for (int src = 0; src < n; ++src) {
                SCOPED_TRACE(testing::Message() << "graph of " << n << " from " << g.ids[src] << " members " << members);
                std::vector<int> copies(g.ids.size(), 0), depth(g.ids.size(), -1), queue{src};
                copies[src] = 1;
                depth[src] = 0;
                for (size_t at = 0; at < queue.size() && at < 4 * g.ids.size(); ++at) {
                    const int node = queue[at];
                    db.self = node;
                    int hops[MAX_NODES];
                    const int count = channelNextHops(db, src, "#c", hops);
                    ASSERT_GE(count, 0);
                    for (int i = 0; i < count; ++i) {
                        ASSERT_EQ(dist[node][hops[i]], 1) << "not a neighbour";
                        ++copies[hops[i]];
                        depth[hops[i]] = depth[node] + 1;
                        queue.push_back(hops[i]);
                    }
                }
                for (int v = 0; v < n; ++v) {
                    EXPECT_LE(copies[v], 1) << "node " << g.ids[v];
                    if (!(members & (1u << v))) continue;
                    EXPECT_EQ(copies[v], 1) << "member " << g.ids[v];
                    EXPECT_EQ(depth[v], dist[src][v]);
                }
            }
        }
    }
}

TEST(Routes, NextHopsFollowedReachTheNickInThePromisedHops)
{
    for (const Graph &g : sampleGraphs()) {
        const auto dist = distances(g);
        for (int a = 0; a < g.size(); ++a)
            for (int b = a; b < g.size(); ++b) {  // hosted on a alone, or on a and b
                const Db graph = g.db();
                LinkStateDb &db = *graph;
                hostUser(db, g.ids[a], "n");
                if (b != a) hostUser(db, g.ids[b], "n");
                const unsigned hosts = (1u << a) | (1u << b);
                for (int start = 0; start < g.size(); ++start) {
                    if (hosts & (1u << start)) continue;
                    SCOPED_TRACE(testing::Message() << "graph of " << g.size() << " from " << g.ids[start]
                                                    << " hosts " << hosts);
                    db.self = start;
                    const int promised = routeToNick(db, "n").hops;
                    ASSERT_EQ(promised, std::min(dist[start][a], dist[start][b]));
                    // Each node on the way promises one hop less than the one before.
                    for (int left = promised; left > 0; --left) {
                        const NickRoute r = routeToNick(db, "n");
                        ASSERT_EQ(r.hops, left);
                        ASSERT_GE(r.nextHop, 0);
                        ASSERT_EQ(dist[db.self][r.nextHop], 1) << "not a neighbour";
                        db.self = r.nextHop;
                    }
                    EXPECT_TRUE(hosts & (1u << db.self)) << "ended on node " << db.nodes[db.self].id;
                }
            }
    }
}

}  // namespace
