// The link status answer. It is written straight to the asking socket, which is new: its send
// buffer takes the lines of every neighbour at once, and a reader that is not there only loses them.
#include "link_status.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "../core/client_profile.h"
#include "../core/clock.h"
#include "../core/connections.h"
#include "../core/server.h"
#include "../rtlib/rt_key.h"
#include "forwarding.h"

namespace {

constexpr char FMT_LINK_STATUS[] = "link %lu %s %s up %s sent %llu acked %llu waiting %d resent %llu rtt_us %lld";
constexpr char FMT_SECONDS[] = "%lld";
constexpr char NOT_UP[] = "-";
constexpr char LINK_STATUS_END[] = "end";
constexpr unsigned LOOPBACK_NET = 0x7f000000;  // 127.0.0.0/8, host order
constexpr unsigned LOOPBACK_MASK = 0xff000000;

const char *stateWord(LinkState state)
{
    switch (state) {
    case LinkState::Down: return "down";
    case LinkState::Opening: return "opening";
    case LinkState::Up: return "up";
    case LinkState::OneShot: return "one-shot";
    }
    return "?";
}

// An up link says what it is; one-shot lines always travel in clear; a link still to come will be
// sealed when the node has the key.
bool sealed(const LinkReport &r, bool keyLoaded)
{
    if (r.state == LinkState::Up) return r.keyed;
    return r.state != LinkState::OneShot && keyLoaded;
}

void sendLine(int fd, const char *text, bool &open)
{
    if (!open) return;
    char wire[LINE_SIZE];
    const size_t length = frameLine(wire, text);
    open = send(fd, wire, length, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(length);
}

}  // namespace

int isLocalAddress(unsigned peerAddr)
{
    if ((peerAddr & LOOPBACK_MASK) == LOOPBACK_NET) return 1;
    return curr_node_config_entry && curr_node_config_entry->ipaddr == peerAddr ? 1 : 0;
}

int mayAskLinkStatus(unsigned peerAddr) { return replyMode == Replies::Client && isLocalAddress(peerAddr); }

int isLinkStatusRequest(const char *line, unsigned peerAddr)
{
    return std::strcmp(line, LINK_STATUS_REQUEST) == 0 && mayAskLinkStatus(peerAddr);
}

void formatLinkStatus(char (&line)[LINE_SIZE], uint32_t nodeID, const LinkReport &r, int waiting, long long nowMs,
                      bool keyLoaded)
{
    char upFor[24];
    if (r.state == LinkState::Up) std::snprintf(upFor, sizeof upFor, FMT_SECONDS, (nowMs - r.upSinceMs) / 1000);
    else std::snprintf(upFor, sizeof upFor, "%s", NOT_UP);
    formatLine(line, FMT_LINK_STATUS, static_cast<unsigned long>(nodeID), stateWord(r.state),
               sealed(r, keyLoaded) ? "sealed" : "clear", upFor, r.sent, r.acknowledged, waiting, r.resent,
               r.roundTripUs);
}

void answerLinkStatus(int fd, const char *)
{
    const long long now = nowMillis();
    const bool keyLoaded = rt_key_loaded();
    bool open = true;
    for (int n = 0; n < neighbors; ++n) {
        char line[LINE_SIZE];
        formatLinkStatus(line, neighborNodes[n]->nodeID, linkReport(n), linesForHop(n), now, keyLoaded);
        sendLine(fd, line, open);
    }
    sendLine(fd, LINK_STATUS_END, open);
}
