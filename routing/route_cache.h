// Next hops the daemon named for nicks, reused for a moment on node links (the client profile):
// without them every message asks the daemon again, and its round trip is most of what a hop
// costs. A route is kept for a second at most, well inside the time the daemons themselves take
// to notice a change, and is forgotten at once when the daemon names none or its hop fails; a
// message that finds its target gone at the next node is answered back along the links.
#pragma once

#include <cstdint>

// The next hop the daemon named for the nick within the last second, or 0.
uint32_t cachedHop(const char *nick, long long now);
// The daemon's answer for a nick: its next hop, or 0 for none.
void routeAnswered(const char *nick, uint32_t hop, long long now);
// Every route through that neighbour is forgotten: its hop failed.
void forgetRoutesVia(uint32_t hop);
void clearRouteCache();
