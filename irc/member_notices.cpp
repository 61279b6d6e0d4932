// Membership notices between nodes. They travel as FORWARD lines for the nodes' channel, whose
// tree the daemons compute like any channel's, with the notice's keyword and the member's
// nick!user@host as sender. A notice that arrives twice changes nothing the second time, so every
// node simply announces its members again once a period: a node that came up late learns them
// then, and an entry that its node no longer announces (the node died) expires.
#include "member_notices.h"

#include <cstdio>
#include <cstring>

#include "../core/clock.h"
#include "../core/connections.h"
#include "../core/server.h"
#include "../core/sizes.h"
#include "../core/text.h"
#include "../routing/daemon_requests.h"
#include "../routing/forwarding.h"
#include "../routing/route_cache.h"
#include "../rtlib/rt_args.h"
#include "channels.h"
#include "messages.h"
#include "network_members.h"
#include "profile.h"
#include "registration.h"
#include "replies.h"

namespace {

constexpr char FMT_MEMBER_CAP_TRACE[] = "Member notice refused: node %lu already has %d members, %s would be one more\n";
// A node heard of for the first time gets this node's members this soon, at most once per gap.
constexpr long long SYNC_GAP_MS = 1000;

struct RefreshClock {
    bool started;
    long long lastAt;
    long long nextAt;
};

RefreshClock refresh;

// Five advertisement cycles, between 5 s and a minute: a few lines per member and period.
long long refreshPeriodMs()
{
    const long long cycle = static_cast<long long>(argList.advertisement_cycle_time) * 5000;
    return cycle < 5000 ? 5000 : cycle > 60000 ? 60000 : cycle;
}

// Three refreshes missed in a row: the member's node is gone, or no longer reaches this one.
long long expiryMs() { return refreshPeriodMs() * 7 / 2; }

// A node alone in its configuration file has nobody to tell, and asks its daemon nothing.
bool othersToTell() { return clientProfile.on && neighbors > 0; }

void syncSoon(long long now)
{
    const long long at = refresh.lastAt + SYNC_GAP_MS > now ? refresh.lastAt + SYNC_GAP_MS : now;
    if (at < refresh.nextAt) refresh.nextAt = at;
}

void broadcast(const char *prefix, const char *keyword, const char *text)
{
    char srcNode[NODE_ID_TEXT_SIZE];
    std::snprintf(srcNode, sizeof srcNode, "%lu", static_cast<unsigned long>(curr_nodeID));
    sendToChannel(NO_SLOT, Message{srcNode, prefix, NODES_CHANNEL, text, keyword}, NODES_CHANNEL);
}

void tellMembersHere(const char *channel, const char *line)
{
    const int roomSlot = checkChannel(channel);
    if (roomSlot > 0) sendToMembers(roomSlot, line);
}

void senderNick(const char *sender, char (&nick)[NICK_MAX + 1])
{
    std::memset(nick, 0, sizeof nick);
    const size_t length = std::strcspn(sender, "!");
    std::memcpy(nick, sender, length < sizeof nick ? length : sizeof nick - 1);
}

// The remote member leaves its channel, and the members here see it go.
void dropWithNotice(int entry, const char *keyword)
{
    const NetworkMember &m = networkMembers[entry];
    char prefix[PREFIX_SIZE];
    networkMemberPrefix(entry, prefix);
    char line[LINE_SIZE];
    if (std::strcmp(keyword, "PART") == 0) formatLine(line, FMT_PART, prefix, m.channel);
    else formatLine(line, FMT_PROFILE_QUIT_NOTICE, prefix, m.nick);
    tellMembersHere(m.channel, line);
    dropNetworkMember(entry);
}

// A node has no more members than client slots: a notice that would give it more is forged (any
// process that can bind a node's address can send one) or meets an entry about to expire, and
// it must not fill the table that every node's members share.
bool roomForAnotherMember(uint32_t src, const char *nick)
{
    if (membersOfNode(src) < clientSlotCount()) return true;
    if (argList.verbose == 1) std::printf(FMT_MEMBER_CAP_TRACE, static_cast<unsigned long>(src), clientSlotCount(), nick);
    return false;
}

// A nick is the network's only once: a user here keeps it (and the collision is settled by the
// rule of registration.cpp, which this sight of the other holder informs).
bool heldHere(const char *nick, uint32_t src)
{
    if (findUser(nick) < FIRST_CLIENT_SLOT) return false;
    nickSeenOnNode(nick, src);
    return true;
}

void noteJoin(uint32_t src, const char *prefix, const char *nick, const char *channel, long long now)
{
    const int known = findNetworkMember(nick);
    const bool movesOnItsNode = known >= 0 && networkMembers[known].node == src;
    if (!movesOnItsNode && !roomForAnotherMember(src, nick)) return;
    if (heldHere(nick, src)) return;
    if (!heardFromNode(src)) syncSoon(now);
    if (known >= 0) {
        NetworkMember &m = networkMembers[known];
        if (m.node == src && std::strcmp(m.channel, channel) == 0) {
            m.heardAt = now;
            return;
        }
        dropWithNotice(known, "PART");  // a leave whose notice was lost, or the nick moved
    }
    if (addNetworkMember(src, prefix, channel, now) < 0) return;
    char line[LINE_SIZE];
    formatLine(line, FMT_JOIN, prefix, channel);
    tellMembersHere(channel, line);
}

// A node cut off: the members here see each of its members quit, with both nodes named.
void dropMembersOf(uint32_t lost, uint32_t seenBy)
{
    for (int i = 0; i < networkMembersReach(); ++i) {
        const NetworkMember &m = networkMembers[i];
        if (m.node != lost) continue;
        char prefix[PREFIX_SIZE];
        networkMemberPrefix(i, prefix);
        char line[LINE_SIZE];
        formatLine(line, FMT_SPLIT_QUIT_NOTICE, prefix, static_cast<unsigned long>(seenBy), static_cast<unsigned long>(lost));
        tellMembersHere(m.channel, line);
        dropNetworkMember(i);
    }
}

void takeSplit(uint32_t src, const Message &m)
{
    char word[NODE_ID_TEXT_SIZE];
    copyCut(word, m.text);
    word[std::strcspn(word, " ")] = '\0';
    const uint32_t lost = readNodeId(word);
    if (lost == 0 || lost == curr_nodeID) return;
    if (!m.repeat) dropMembersOf(lost, src);
    sendToChannel(NO_SLOT, Message{m.srcNode, m.sender, NODES_CHANNEL, word, m.command}, NODES_CHANNEL);
}

void noteNick(int entry, const char *newNick)
{
    NetworkMember &m = networkMembers[entry];
    char prefix[PREFIX_SIZE];
    networkMemberPrefix(entry, prefix);
    char line[LINE_SIZE];
    formatLine(line, FMT_PROFILE_NICK_CHANGE, prefix, newNick);
    copyCut(m.nick, newNick);
    tellMembersHere(m.channel, line);
}

// The one word a notice's text must be: a channel for JOIN, PART and QUIT, the new nick for NICK.
bool readNoticeWord(const char *keyword, const char *text, char (&word)[NICK_MAX + 1])
{
    copyCut(word, text);
    word[std::strcspn(word, " ")] = '\0';
    if (std::strcmp(keyword, "NICK") == 0) return checkNickFormat(word) != 0;
    return isChannelName(word) && word[1] != '\0';
}

// A channel's next hops follow the nodes that host its members: a notice that may change them
// drops the routes kept for the channel (the one named, and the one a known member leaves or is
// renamed in). A member announced again, once a period, changes nothing.
void membersMayChange(const char *keyword, const char *word, int known, bool ours)
{
    const long long now = nowMillis();
    if (ours && std::strcmp(keyword, "JOIN") == 0 && std::strcmp(networkMembers[known].channel, word) == 0) return;
    if (known >= 0) channelMembersChanged(networkMembers[known].channel, now);
    if (std::strcmp(keyword, "NICK") != 0) channelMembersChanged(word, now);
}

void beforeWait()
{
    if (!clientProfile.on) return;
    wakeWithinMs(refresh.nextAt - nowMillis());
}

void afterWait()
{
    if (!clientProfile.on) return;
    if (!refresh.started) {
        refresh.started = true;
        announceNodesChannel();
    }
    const long long now = nowMillis();
    if (now < refresh.nextAt) return;
    refreshMembers(now);
    if (othersToTell()) recheckNicks();
}

}  // namespace

void announceNodesChannel()
{
    if (!othersToTell()) return;
    announceChannel(NODES_CHANNEL);
    syncSoon(nowMillis());
}

void announceMember(int slot, const char *keyword, const char *channel)
{
    if (!othersToTell()) return;
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    broadcast(prefix, keyword, channel);
}

void announceMemberNick(const char *oldPrefix, const char *newNick)
{
    if (othersToTell()) broadcast(oldPrefix, "NICK", newNick);
}

void takeMemberNotice(uint32_t src, const Message &m)
{
    // This node's own notice never comes back along a tree; one that does is no node's.
    if (!clientProfile.on || src == curr_nodeID) return;
    if (std::strcmp(m.command, "SPLIT") == 0) {
        channelMembersChanged(nullptr, nowMillis());
        return takeSplit(src, m);
    }
    char word[NICK_MAX + 1];
    if (!readNoticeWord(m.command, m.text, word)) return;
    char nick[NICK_MAX + 1];
    senderNick(m.sender, nick);
    const int known = findNetworkMember(nick);
    const bool ours = known >= 0 && networkMembers[known].node == src && !m.repeat;
    if (!m.repeat) membersMayChange(m.command, word, known, ours);
    if (m.repeat) {
        // Noted here before: only the nodes further down the tree may not have it.
    } else if (std::strcmp(m.command, "JOIN") == 0) noteJoin(src, m.sender, nick, word, nowMillis());
    else if (std::strcmp(m.command, "NICK") == 0) {
        if (ours && !heldHere(word, src) && findNetworkMember(word) < 0) noteNick(known, word);
    } else if (ours && std::strcmp(networkMembers[known].channel, word) == 0) {
        dropWithNotice(known, m.command);
    }
    // The nodes further down the tree hear it whatever this node made of it.
    sendToChannel(NO_SLOT, Message{m.srcNode, m.sender, NODES_CHANNEL, word, m.command}, NODES_CHANNEL);
}

void splitFromNode(uint32_t lost)
{
    channelMembersChanged(nullptr, nowMillis());
    if (!othersToTell()) return;
    dropMembersOf(lost, curr_nodeID);
    char text[NODE_ID_TEXT_SIZE];
    std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(lost));
    broadcast(SPLIT_SENDER, "SPLIT", text);
}

void refreshMembers(long long now)
{
    refresh.lastAt = now;
    refresh.nextAt = now + refreshPeriodMs();
    for (int slot = FIRST_CLIENT_SLOT; slot < slotReach(); ++slot) {
        const Connection &c = connections[slot];
        if (c.sock != 0 && c.registered && c.channel[0] != '\0') announceMember(slot, "JOIN", c.channel);
    }
    for (int i = 0; i < networkMembersReach(); ++i)
        if (networkMembers[i].node != 0 && now - networkMembers[i].heardAt > expiryMs()) {
            channelMembersChanged(networkMembers[i].channel, now);
            dropWithNotice(i, "QUIT");
        }
}

void resetMemberNotices()
{
    clearNetworkMembers();
    refresh = {};
}

Poller memberNoticePoller() { return {beforeWait, afterWait}; }
