// Small tables, one place per hash of the nick, or of the source node and the channel: a route
// that loses its place to another is only asked of the daemon again.
#include "route_cache.h"

#include <cstring>

#include "../core/limits.h"
#include "../core/names.h"
#include "../core/text.h"
#include "forwarding.h"

namespace {

constexpr long long ROUTE_LIFE_MS = 1000;
constexpr int ROUTE_PLACES = 256;

struct Route {
    char nick[NICK_MAX + 1];
    uint32_t hop;  // 0 marks a free place
    long long until;
};

Route routes[ROUTE_PLACES];

Route &placeOf(const char *nick) { return routes[hashName(nick) % ROUTE_PLACES]; }

// A member notice and the daemons' flooding of the same change leave the node at once and cross
// the same links, so the daemon here learns it within moments of the notice; this is ample room
// for a node or daemon that was busy. (A flooding datagram that is lost is resent only after the
// route timeout: until then the daemon's answers miss the change with or without the cache.)
constexpr long long SETTLE_MS = 250;
constexpr long long NEVER = -(1LL << 62);
constexpr int CHANNEL_PLACES = 64;
// Changes remembered by channel; more while they settle make every channel wait.
constexpr int CHANGES_KEPT = 16;

struct ChannelRoute {
    char srcNode[NODE_ID_TEXT_SIZE];
    char channel[ROUTE_CHANNEL_MAX + 1];  // empty marks a free place
    int count;
    uint32_t hops[CHANNEL_HOPS_MAX];
    long long until;
};

struct Change {
    char channel[ROUTE_CHANNEL_MAX + 1];
    long long at;
};

ChannelRoute channelRoutes[CHANNEL_PLACES];
Change changes[CHANGES_KEPT];
int nextChange;
long long anyChangeAt = NEVER;

ChannelRoute &placeOf(const char *srcNode, const char *channel)
{
    return channelRoutes[hashName(channel, hashName(srcNode)) % CHANNEL_PLACES];
}

bool settled(const char *channel, long long now)
{
    if (now - anyChangeAt < SETTLE_MS) return false;
    for (const Change &c : changes)
        if (sameName(c.channel, channel) && now - c.at < SETTLE_MS) return false;
    return true;
}

void noteChange(const char *channel, long long now)
{
    for (Change &c : changes) {
        if (!sameName(c.channel, channel)) continue;
        c.at = now;
        return;
    }
    Change &c = changes[nextChange];
    nextChange = (nextChange + 1) % CHANGES_KEPT;
    // A change still settling that loses its place holds back every channel in its stead.
    if (c.channel[0] != '\0' && now - c.at < SETTLE_MS && c.at > anyChangeAt) anyChangeAt = c.at;
    copyCut(c.channel, channel);
    c.at = now;
}

bool reaches(const ChannelRoute &r, uint32_t hop)
{
    for (int i = 0; i < r.count; ++i)
        if (r.hops[i] == hop) return true;
    return false;
}

}  // namespace

uint32_t cachedHop(const char *nick, long long now)
{
    const Route &r = placeOf(nick);
    return r.hop != 0 && now < r.until && sameName(r.nick, nick) ? r.hop : 0;
}

void routeAnswered(const char *nick, uint32_t hop, long long now)
{
    if (strnlen(nick, NICK_MAX + 1) > NICK_MAX) return;  // its place would hold another name
    Route &r = placeOf(nick);
    if (hop == 0) {
        if (sameName(r.nick, nick)) r.hop = 0;
        return;
    }
    copyCut(r.nick, nick);
    r.hop = hop;
    r.until = now + ROUTE_LIFE_MS;
}

void forgetRoutesVia(uint32_t hop)
{
    for (Route &r : routes)
        if (r.hop == hop) r.hop = 0;
    for (ChannelRoute &r : channelRoutes)
        if (reaches(r, hop)) r.channel[0] = '\0';
}

void clearRouteCache()
{
    for (Route &r : routes) r.hop = 0;
    for (ChannelRoute &r : channelRoutes) r.channel[0] = '\0';
    for (Change &c : changes) c.channel[0] = '\0';
    anyChangeAt = NEVER;
}

int cachedChannelHops(const char *srcNode, const char *channel, long long now, uint32_t (&hops)[CHANNEL_HOPS_MAX])
{
    const ChannelRoute &r = placeOf(srcNode, channel);
    const bool same = sameName(r.channel, channel) && std::strcmp(r.srcNode, srcNode) == 0;
    if (r.channel[0] == '\0' || now >= r.until || !same) return -1;
    std::memcpy(hops, r.hops, sizeof hops);
    return r.count;
}

void channelHopsAnswered(const char *srcNode, const char *channel, const char *hopWords, long long now)
{
    // A longer name's place would hold another one.
    if (strnlen(channel, ROUTE_CHANNEL_MAX + 1) > ROUTE_CHANNEL_MAX) return;
    if (strnlen(srcNode, NODE_ID_TEXT_SIZE) == NODE_ID_TEXT_SIZE) return;
    if (std::strcmp(channel, NODES_CHANNEL) == 0 || !settled(channel, now)) return;
    ChannelRoute fresh{};
    char words[LINE_SIZE];
    copyCut(words, hopWords);
    LineCursor cur{words};
    while (const char *word = cur.next()) {
        const uint32_t hop = readNodeId(word);
        if (hop == 0 || fresh.count == CHANNEL_HOPS_MAX) return;  // no daemon's answer: asked again
        fresh.hops[fresh.count++] = hop;
    }
    copyCut(fresh.srcNode, srcNode);
    copyCut(fresh.channel, channel);
    fresh.until = now + ROUTE_LIFE_MS;
    placeOf(srcNode, channel) = fresh;
}

void channelMembersChanged(const char *channel, long long now)
{
    if (!channel) {
        for (ChannelRoute &r : channelRoutes) r.channel[0] = '\0';
        anyChangeAt = now;
        return;
    }
    for (ChannelRoute &r : channelRoutes)
        if (sameName(r.channel, channel)) r.channel[0] = '\0';
    noteChange(channel, now);
}
