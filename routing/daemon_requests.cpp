// The lines of the daemon link, server to daemon.
#include "daemon_requests.h"

#include "../core/connections.h"

namespace {

constexpr char FMT_ADDUSER[] = "ADDUSER %s";
constexpr char FMT_REMOVEUSER[] = "REMOVEUSER %s";
constexpr char FMT_ADDCHAN[] = "ADDCHAN %s";
constexpr char FMT_REMOVECHAN[] = "REMOVECHAN %s";
constexpr char FMT_NEXTHOP[] = "NEXTHOP %s";       // nick
constexpr char FMT_NEXTHOPS[] = "NEXTHOPS %s %s";  // source node, channel

}  // namespace

void announceUser(const char *nick) { replyf(DAEMON_SLOT, FMT_ADDUSER, nick); }
void withdrawUser(const char *nick) { replyf(DAEMON_SLOT, FMT_REMOVEUSER, nick); }
void announceChannel(const char *channel) { replyf(DAEMON_SLOT, FMT_ADDCHAN, channel); }
void withdrawChannel(const char *channel) { replyf(DAEMON_SLOT, FMT_REMOVECHAN, channel); }

void formatNickRequest(char (&request)[LINE_SIZE], const char *nick) { formatLine(request, FMT_NEXTHOP, nick); }

void formatChannelRequest(char (&request)[LINE_SIZE], const char *srcNode, const char *channel)
{
    formatLine(request, FMT_NEXTHOPS, srcNode, channel);
}

void sendRouteRequest(const char *request) { sendData(DAEMON_SLOT, request); }
