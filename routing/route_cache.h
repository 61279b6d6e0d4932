// Next hops the daemon named for nicks, reused for a moment on node links (the client profile):
// without them every message asks the daemon again, and its round trip is most of what a hop
// costs. A route is kept for a second at most, well inside the time the daemons themselves take
// to notice a change, and is forgotten at once when the daemon names none or its hop fails; a
// message that finds its target gone at the next node is answered back along the links.
#pragma once

#include <cstdint>

#include "../core/limits.h"

// The next hop the daemon named for the nick within the last second, or 0.
uint32_t cachedHop(const char *nick, long long now);
// The daemon's answer for a nick: its next hop, or 0 for none.
void routeAnswered(const char *nick, uint32_t hop, long long now);
// Every route through that neighbour is forgotten: its hop failed.
void forgetRoutesVia(uint32_t hop);
void clearRouteCache();

// The same for a channel's next hops from the node where a message entered the network. Its tree
// also follows the nodes that host the channel's members, which the daemons learn by their own
// flooding while the member notices travel the links: a change heard of drops the channel's
// routes, and no answer is kept for it until the daemons have had a moment to learn the change.
// The nodes' channel is never kept: its notices must reach a node that just came up.
inline constexpr int CHANNEL_HOPS_MAX = MAX_NEIGHBORS;
// The hops kept for messages from `srcNode` (its decimal ID) to the channel, written to `hops`;
// -1 when none are kept (0 is a route too: no other node needs the message).
int cachedChannelHops(const char *srcNode, const char *channel, long long now, uint32_t (&hops)[CHANNEL_HOPS_MAX]);
// The daemon's "OK" for the channel: `hopWords` are the node IDs after it.
void channelHopsAnswered(const char *srcNode, const char *channel, const char *hopWords, long long now);
// A node gained or lost a member of the channel (nullptr: of any channel, as in a split).
void channelMembersChanged(const char *channel, long long now);
