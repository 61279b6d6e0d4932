// The lines of the daemon link, server to daemon.
#include "daemon_requests.h"

#include "../core/connections.h"
#include "../core/names.h"

namespace {

constexpr char FMT_ADDUSER[] = "ADDUSER %s";
constexpr char FMT_REMOVEUSER[] = "REMOVEUSER %s";
constexpr char FMT_ADDCHAN[] = "ADDCHAN %s";
constexpr char FMT_REMOVECHAN[] = "REMOVECHAN %s";
constexpr char FMT_NEXTHOP[] = "NEXTHOP %s";       // nick
constexpr char FMT_NEXTHOPS[] = "NEXTHOPS %s %s";  // source node, channel

// The daemons compare names byte for byte, so every node gives them each name folded by the
// casemapping: ALICE and alice, #ROOM and #room, then meet in every daemon's tables. The exact
// replies' casemapping folds nothing, and their daemons see the names as typed, without a copy.
struct Folded {
    explicit Folded(const char *name) : text(name)
    {
        if (casemapping() == Casemapping::Exact) return;
        foldNameInto(folded, sizeof folded, name);
        text = folded;
    }
    Folded(const Folded &) = delete;
    Folded &operator=(const Folded &) = delete;
    const char *text;
    char folded[LINE_SIZE];
};

}  // namespace

void announceUser(const char *nick) { replyf(DAEMON_SLOT, FMT_ADDUSER, Folded(nick).text); }
void withdrawUser(const char *nick) { replyf(DAEMON_SLOT, FMT_REMOVEUSER, Folded(nick).text); }
void announceChannel(const char *channel) { replyf(DAEMON_SLOT, FMT_ADDCHAN, Folded(channel).text); }
void withdrawChannel(const char *channel) { replyf(DAEMON_SLOT, FMT_REMOVECHAN, Folded(channel).text); }

void formatNickRequest(char (&request)[LINE_SIZE], const char *nick) { formatLine(request, FMT_NEXTHOP, Folded(nick).text); }

void formatChannelRequest(char (&request)[LINE_SIZE], const char *srcNode, const char *channel)
{
    formatLine(request, FMT_NEXTHOPS, srcNode, Folded(channel).text);
}

void sendRouteRequest(const char *request) { sendData(DAEMON_SLOT, request); }
