// A small table, one place per hash of the nick: a nick that loses its place to another is only
// asked of the daemon again.
#include "route_cache.h"

#include <cstring>

#include "../core/limits.h"
#include "../core/text.h"

namespace {

constexpr long long ROUTE_LIFE_MS = 1000;
constexpr int ROUTE_PLACES = 256;

struct Route {
    char nick[NICK_MAX + 1];
    uint32_t hop;  // 0 marks a free place
    long long until;
};

Route routes[ROUTE_PLACES];

Route &placeOf(const char *nick)
{
    unsigned hash = 2166136261u;  // FNV-1a
    for (const char *p = nick; *p; ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    return routes[hash % ROUTE_PLACES];
}

}  // namespace

uint32_t cachedHop(const char *nick, long long now)
{
    const Route &r = placeOf(nick);
    return r.hop != 0 && now < r.until && std::strcmp(r.nick, nick) == 0 ? r.hop : 0;
}

void routeAnswered(const char *nick, uint32_t hop, long long now)
{
    if (strnlen(nick, NICK_MAX + 1) > NICK_MAX) return;  // its place would hold another name
    Route &r = placeOf(nick);
    if (hop == 0) {
        if (std::strcmp(r.nick, nick) == 0) r.hop = 0;
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
}

void clearRouteCache()
{
    for (Route &r : routes) r.hop = 0;
}
