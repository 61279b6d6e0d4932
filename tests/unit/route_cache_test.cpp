// The channel routes kept beside the daemon: how long an answer serves, which answers are kept at
// all, and what drops them (a change of members, settling, a failed hop).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/names.h"
#include "routing/route_cache.h"

namespace {

// What the cache gives for messages from node 1 to the channel: "-" when nothing is kept.
std::string kept(const char *channel, long long now, const char *srcNode = "1")
{
    uint32_t hops[CHANNEL_HOPS_MAX];
    const int count = cachedChannelHops(srcNode, channel, now, hops);
    if (count < 0) return "-";
    std::string text;
    for (int i = 0; i < count; ++i) text += (i ? " " : "") + std::to_string(hops[i]);
    return text;
}

struct Case {
    const char *what;
    const char *channel;  // answered at 1000 for node 1 with `hops`
    const char *hops;
    void (*between)();    // what happens between the answer and the look
    const char *lookFor;
    long long lookAt;
    const char *srcNode;
    const char *expected;
};

void nothing() {}
void membersOfA() { channelMembersChanged("#a", 1500); }
void membersOfB() { channelMembersChanged("#b", 1500); }
void aSplit() { channelMembersChanged(nullptr, 1500); }
void hop3Failed() { forgetRoutesVia(3); }
void hop4Failed() { forgetRoutesVia(4); }

const Case CASES[] = {
    {"served within its second", "#a", "2 3", nothing, "#a", 1999, "1", "2 3"},
    {"gone after it", "#a", "2 3", nothing, "#a", 2000, "1", "-"},
    {"no hop is a route too", "#a", "", nothing, "#a", 1500, "1", ""},
    {"another source node's tree", "#a", "2 3", nothing, "#a", 1500, "2", "-"},
    {"another channel", "#a", "2 3", nothing, "#b", 1500, "1", "-"},
    {"the nodes' channel is never kept", NODES_CHANNEL, "2", nothing, NODES_CHANNEL, 1500, "1", "-"},
    {"a word that is no node", "#a", "2 x", nothing, "#a", 1500, "1", "-"},
    {"a name longer than any asked", "#abcdefghijk", "2", nothing, "#abcdefghij", 1500, "1", "-"},
    {"its members changed", "#a", "2 3", membersOfA, "#a", 1500, "1", "-"},
    {"another channel's members changed", "#a", "2 3", membersOfB, "#a", 1500, "1", "2 3"},
    {"a split", "#a", "2 3", aSplit, "#a", 1500, "1", "-"},
    {"one of its hops failed", "#a", "2 3", hop3Failed, "#a", 1500, "1", "-"},
    {"a hop it does not use failed", "#a", "2 3", hop4Failed, "#a", 1500, "1", "2 3"},
};

TEST(ChannelRoutes, AnAnswerServesForASecondUntilItsMembersOrHopsChange)
{
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.what);
        clearRouteCache();
        channelHopsAnswered("1", c.channel, c.hops, 1000);
        c.between();
        EXPECT_EQ(kept(c.lookFor, c.lookAt, c.srcNode), c.expected);
    }
    clearRouteCache();
}

// The daemons learn of a change by their own flooding: an answer given within 250 ms of it may
// not know it yet, and is not kept. Changes beyond what is remembered by channel hold back all.
TEST(ChannelRoutes, NoAnswerIsKeptWhileAChangeSettles)
{
    struct Settling {
        const char *what;
        const char *changed;  // at 1000; nullptr: every channel
        int othersChanged;     // further channels changed at 1100
        const char *answered;
        long long answeredAt;
        bool keptAfter;
    };
    const Settling rows[] = {
        {"while it settles", "#a", 0, "#a", 1249, false},
        {"after it", "#a", 0, "#a", 1250, true},
        {"another channel", "#b", 0, "#a", 1001, true},
        {"a split", nullptr, 0, "#a", 1249, false},
        {"a change remembered beside others", "#a", 15, "#b", 1249, true},
        {"a change pushed out by others", "#a", 16, "#b", 1249, false},
        {"and for no longer than it settles", "#a", 16, "#b", 1250, true},
    };
    for (const Settling &r : rows) {
        SCOPED_TRACE(r.what);
        clearRouteCache();
        channelMembersChanged(r.changed, 1000);
        for (int i = 0; i < r.othersChanged; ++i) channelMembersChanged(("#o" + std::to_string(i)).c_str(), 1100);
        channelHopsAnswered("1", r.answered, "2", r.answeredAt);
        EXPECT_EQ(kept(r.answered, r.answeredAt), r.keptAfter ? "2" : "-");
    }
    clearRouteCache();
}

}  // namespace
