// PRIVMSG: users of this node get their messages at once; whatever is not, or not only, here
// goes to the routing daemon and waits in the queue for its answer.
#include "messages.h"

#include <cstdio>
#include <cstring>

#include "../core/connections.h"
#include "../core/server.h"
#include "../routing/daemon_requests.h"
#include "away.h"
#include "channel_modes.h"
#include "channels.h"
#include "node_queries.h"
#include "profile.h"
#include "registration.h"
#include "replies.h"

namespace {

// Spaces and colons lead into the text, and the first word ends at either; the one character
// that ends it is used up, so "a:b c" reads as "a b c".
const char *takeFirstTextWord(LineCursor &cur)
{
    char *p = cur.pos;
    while (*p == ' ' || *p == ':') ++p;
    char *word = p;
    while (*p != '\0' && *p != ' ' && *p != ':') ++p;
    if (*p != '\0') *p++ = '\0';
    cur.pos = p;
    return *word != '\0' ? word : nullptr;
}

// The daemon link is never a recipient: its slot's nick is no user's.
int findLocalUser(const char *nick)
{
    const int slot = findUser(nick);
    return slot >= FIRST_CLIENT_SLOT ? slot : -1;
}

}  // namespace

void tellSender(int slot, const char *target, SenderTold what)
{
    switch (what) {
    case SenderTold::NoSuchTarget:
        replyf(slot, FMT_401_NO_SUCH_TARGET, serverName(), numericTarget(slot), target);
        return;
    case SenderTold::RoutingBusy:
        replyf(slot, FMT_437_ROUTING_BUSY, serverName(), connections[slot].nick, target);
        return;
    case SenderTold::Unconfirmed:
        replyf(slot, FMT_DELIVERY_UNCONFIRMED, serverName(), connections[slot].nick, target);
        return;
    }
}

bool sendToNick(int owner, const Message &m)
{
    const int to = findLocalUser(m.target);
    if (to >= 0) {
        if (!m.repeat && !takeNodeQuery(to, m)) replyf(to, FMT_USER_MESSAGE, m.sender, m.command, connections[to].nick, m.text);
        return true;
    }
    char request[LINE_SIZE];
    formatNickRequest(request, m.target);
    requestRoute(request, owner, m, m.target, false);
    return false;
}

void sendToChannel(int owner, const Message &m, const char *routeName)
{
    const int roomSlot = checkChannel(m.target);
    int delivered = 0;
    if (roomSlot > 0 && !m.repeat) {
        char line[LINE_SIZE];
        formatLine(line, FMT_USER_MESSAGE, m.sender, m.command, rooms[roomSlot].name, m.text);
        delivered = sendToMembers(roomSlot, line, owner);
    }
    // Members may live on other nodes too, so the daemon is asked even when the channel is here.
    char request[LINE_SIZE];
    formatChannelRequest(request, m.srcNode, routeName);
    requestRoute(request, owner, m, routeName, delivered > 0);
}

namespace {

// The exact text: words joined by single spaces, a colon optional before the first. The
// profile's: everything after " :" as it stands, or else the one word there, as RFC 2812 reads it.
bool takesTrailingText() { return replyMode == Replies::Client; }

bool takeText(LineCursor &cur, char (&text)[LINE_SIZE])
{
    TextBuilder builder(text);
    if (takesTrailingText()) {
        if (const char *trailing = cur.trailing()) builder.add(trailing);
        return text[0] != '\0';
    }
    const char *first = takeFirstTextWord(cur);
    if (!first) return false;
    builder.add(first);
    appendWords(builder, cur);
    return true;
}

// The exact replies take a list's targets from the left and stop after the first that needs the
// daemon (a remote nick or any channel): the input gate counts one routing slot a line. The
// profile answers each target on its own, as clients expect of `/msg a,b,c`.
bool listStopsAtRoutedTarget() { return replyMode == Replies::Exact; }

bool needsRoute(const char *target) { return isChannelName(target) || findLocalUser(target) < 0; }

// Whether the n-th target of the profile's list is refused, and its sender told so for a PRIVMSG:
// past MAXTARGETS (407), or needing a routing slot that is no longer there (437): the input gate
// let the line in with room for its first routed target, not necessarily for the others.
bool targetRefused(int slot, int n, const char *target, const char *command)
{
    if (listStopsAtRoutedTarget()) return false;
    const bool tell = std::strcmp(command, "PRIVMSG") == 0;
    if (n > MESSAGE_TARGETS_MAX) {
        if (tell) replyf(slot, FMT_407_TOO_MANY_TARGETS, serverName(), connections[slot].nick, target);
        return true;
    }
    if (!needsRoute(target) || roomForLines(slot) > 0) return false;
    if (tell) tellSender(slot, target, SenderTold::RoutingBusy);
    return true;
}

void sendToTargets(int slot, char *targets, const char *text, const char *command)
{
    char srcNode[NODE_ID_TEXT_SIZE];
    std::snprintf(srcNode, sizeof srcNode, "%lu", static_cast<unsigned long>(curr_nodeID));
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    LineCursor list{targets};
    int n = 0;
    while (const char *target = list.next(',')) {
        if (targetRefused(slot, ++n, target, command)) continue;
        const Message m{srcNode, prefix, target, text, command};
        bool routed = true;
        if (isChannelName(target)) {
            if (silencedByModes(slot, target, command)) continue;
            char routeName[ROUTE_CHANNEL_MAX + 1];
            copyCut(routeName, target);
            sendToChannel(slot, m, routeName);
        } else {
            // Only a PRIVMSG draws automatic replies: a NOTICE learns nothing of an away user.
            if (anyoneMayBeAway() && drawsReplies(m)) replyIfAway(slot, target);
            routed = !sendToNick(slot, m);
        }
        if (routed && listStopsAtRoutedTarget()) return;
    }
}

}  // namespace

void handlePrivmsg(int slot, LineCursor &cur)
{
    char *targets = cur.next();
    if (!targets) {
        replyf(slot, FMT_411_NO_RECIPIENT, serverName(), numericTarget(slot));
        return;
    }
    char text[LINE_SIZE];
    if (!takeText(cur, text)) {
        replyf(slot, FMT_412_NO_TEXT, serverName(), numericTarget(slot));
        return;
    }
    if (!isCarriedName(targets) || holdsControlBytes(text)) {
        replyf(slot, FMT_404_CONTROL_BYTES, serverName(), connections[slot].nick, targets);
        return;
    }
    sendToTargets(slot, targets, text, "PRIVMSG");
}

// Delivered like PRIVMSG, but nothing ever goes back to its sender, not even a refusal.
void handleNotice(int slot, LineCursor &cur)
{
    char *targets = cur.next();
    char text[LINE_SIZE];
    if (!targets || !takeText(cur, text) || !isCarriedName(targets) || holdsControlBytes(text)) return;
    sendToTargets(slot, targets, text, "NOTICE");
}
