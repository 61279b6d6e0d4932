// Membership notices between nodes. They travel as FORWARD lines for the nodes' channel, whose
// tree the daemons compute like any channel's, with the notice's keyword and the member's
// nick!user@host as sender. The text of a JOIN, PART or QUIT names the member's channels, as many
// as one line holds (a node that knows one channel a user reads the first). A notice that arrives
// twice changes nothing the second time, so every node simply announces each member again once a
// period, in one line for all its channels: a node that came up late learns them then, and an
// entry that its node no longer announces (the node died) expires.
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
#include "away.h"
#include "channel_modes.h"
#include "channels.h"
#include "messages.h"
#include "operator_commands.h"
#include "network_members.h"
#include "profile.h"
#include "registration.h"
#include "replies.h"
#include "topics.h"

namespace {

constexpr char FMT_MEMBER_CAP_TRACE[] = "Member notice refused: node %lu already has %d members, %s would be one more\n";
constexpr char FMT_JOIN_CAP_TRACE[] = "Member notice refused: %s of node %lu is in %d channels already, %s would be one more\n";
// A node heard of for the first time gets this node's members this soon, at most once per gap.
constexpr long long SYNC_GAP_MS = 1000;

struct RefreshClock {
    bool started;
    long long lastAt;
    long long nextAt;
};

RefreshClock refresh;

// The channels a JOIN, PART or QUIT notice names, each cut as JOIN cuts a name.
struct NoticeChannels {
    int count;
    char names[LINE_SIZE / 2][CHANNEL_NAME_MAX + 1];
};

// Five advertisement cycles, between 5 s and a minute: a few lines per member and period.
long long refreshPeriodMs()
{
    const long long cycle = static_cast<long long>(argList.advertisement_cycle_time) * 5000;
    return cycle < 5000 ? 5000 : cycle > 60000 ? 60000 : cycle;
}

// Three refreshes missed in a row: the member's node is gone, or no longer reaches this one.
long long expiryMs() { return refreshPeriodMs() * 7 / 2; }

// A node alone in its configuration file has nobody to tell, and asks its daemon nothing.
bool othersToTell() { return channelsSpanNetwork() && neighbors > 0; }

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

// The members here of the channel see the remote member join or part it, under the name the
// channel has here: the notice may spell it in another case.
void tellMembersHere(const char *channel, const char *prefix, bool join, const char *reason = nullptr)
{
    const int roomSlot = checkChannel(channel);
    if (roomSlot <= 0) return;
    char line[LINE_SIZE];
    if (join) formatLine(line, FMT_JOIN, prefix, rooms[roomSlot].name);
    else if (reason) formatLine(line, FMT_PART_REASON, prefix, rooms[roomSlot].name, reason);
    else formatLine(line, FMT_PART, prefix, rooms[roomSlot].name);
    sendToMembers(roomSlot, line);
}

void senderNick(const char *sender, char (&nick)[NICK_MAX + 1])
{
    std::memset(nick, 0, sizeof nick);
    const size_t length = std::strcspn(sender, "!");
    std::memcpy(nick, sender, length < sizeof nick ? length : sizeof nick - 1);
}

// The remote member leaves one channel, and the members here see it go, with the reason it gave.
void partWithNotice(int entry, const char *channel, const char *reason = nullptr)
{
    char name[CHANNEL_NAME_MAX + 1];
    copyCut(name, channel);  // the entry's own list moves as the channel leaves it
    char prefix[PREFIX_SIZE];
    networkMemberPrefix(entry, prefix);
    tellMembersHere(name, prefix, false, reason);
    memberLeaves(name, networkMembers[entry].nick);
    leaveNetworkChannel(entry, name);
}

// Each member here that shares a channel with the remote member sees `line` once.
void tellSharingMembers(int entry, const char *line)
{
    const NetworkMember &m = networkMembers[entry];
    MemberRound round;
    for (int k = 0; k < m.channelCount; ++k) {
        const int roomSlot = checkChannel(m.channels[k].name);
        if (roomSlot > 0) round.send(roomSlot, line);
    }
}

// The remote member leaves every channel, and the members here see `line`.
void quitWithNotice(int entry, const char *line)
{
    tellSharingMembers(entry, line);
    const NetworkMember &m = networkMembers[entry];
    for (int k = 0; k < m.channelCount; ++k) memberLeaves(m.channels[k].name, m.nick);
    dropNetworkMember(entry);
}

void quitWithQuitNotice(int entry, const char *reason = nullptr)
{
    char prefix[PREFIX_SIZE];
    networkMemberPrefix(entry, prefix);
    char line[LINE_SIZE];
    if (reason) formatLine(line, FMT_QUIT_REASON, prefix, reason);
    else formatLine(line, FMT_PROFILE_QUIT_NOTICE, prefix, networkMembers[entry].nick);
    quitWithNotice(entry, line);
}

// The trees of every channel the member is in may change.
void channelsChange(int entry, long long now)
{
    const NetworkMember &m = networkMembers[entry];
    for (int k = 0; k < m.channelCount; ++k) channelMembersChanged(m.channels[k].name, now);
}

// A node has no more members than client slots: a notice that would give it more is forged (any
// process that can bind a node's address can send one) or meets an entry about to expire, and
// it must not fill the table that every node's members share.
bool roomForAnotherMember(uint32_t src, const char *nick)
{
    const int most = clientSlotCount();
    if (membersOfNode(src) < most) return true;
    if (argList.verbose == 1) std::printf(FMT_MEMBER_CAP_TRACE, static_cast<unsigned long>(src), most, nick);
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

// The entry a JOIN notice of `nick` from node `src` adds channels to, or -1 when it is refused.
int memberForJoin(uint32_t src, const char *prefix, const char *nick, long long now)
{
    const int known = findNetworkMember(nick);
    const bool onItsNode = known >= 0 && networkMembers[known].node == src;
    if (!onItsNode && !roomForAnotherMember(src, nick)) return -1;
    if (heldHere(nick, src)) return -1;
    if (!heardFromNode(src)) syncSoon(now);
    if (onItsNode) return known;
    // Another node announces the nick now: it moved, and leaves every channel it had there.
    while (known >= 0 && networkMembers[known].node != 0) partWithNotice(known, networkMembers[known].channels[0].name);
    return addNetworkMember(src, prefix);
}

void noteJoins(uint32_t src, const char *prefix, const char *nick, const NoticeChannels &channels, long long now)
{
    const int entry = memberForJoin(src, prefix, nick, now);
    if (entry < 0) return;
    for (int i = 0; i < channels.count; ++i) {
        const char *channel = channels.names[i];
        const bool opens = !channelExists(channel);
        const int joined = joinNetworkChannel(entry, channel, now);
        if (joined < 0 && argList.verbose == 1)
            std::printf(FMT_JOIN_CAP_TRACE, nick, static_cast<unsigned long>(src), channelLimits.joins, channel);
        if (joined <= 0) continue;
        if (opens) foundElsewhere(channel, nick, src);
        tellMembersHere(channel, prefix, true);
    }
    if (networkMembers[entry].channelCount == 0) dropNetworkMember(entry);
}

// A node cut off: the members here see each of its members quit, once each, with both nodes named.
void dropMembersOf(uint32_t lost, uint32_t seenBy)
{
    for (int i = 0; i < networkMemberSlots; ++i) {
        if (networkMembers[i].node != lost) continue;
        char prefix[PREFIX_SIZE];
        networkMemberPrefix(i, prefix);
        char line[LINE_SIZE];
        formatLine(line, FMT_SPLIT_QUIT_NOTICE, prefix, static_cast<unsigned long>(seenBy), static_cast<unsigned long>(lost));
        quitWithNotice(i, line);
    }
}

void noteNick(int entry, const char *newNick)
{
    NetworkMember &m = networkMembers[entry];
    char prefix[PREFIX_SIZE];
    networkMemberPrefix(entry, prefix);
    char line[LINE_SIZE];
    formatLine(line, FMT_PROFILE_NICK_CHANGE, prefix, newNick);
    privilegesFollowNick(m.nick, newNick);
    copyCut(m.nick, newNick);
    tellSharingMembers(entry, line);
}

void takeNickNotice(uint32_t src, const char *nick, const char *newNick)
{
    const int known = findNetworkMember(nick);
    if (known < 0) return;
    channelsChange(known, nowMillis());
    if (networkMembers[known].node == src && !heldHere(newNick, src) && findNetworkMember(newNick) < 0)
        noteNick(known, newNick);
}

// The new nick a NICK notice's text must be.
bool readNoticeNick(const char *text, char (&nick)[NICK_MAX + 1])
{
    copyCut(nick, text);
    nick[std::strcspn(nick, " ")] = '\0';
    return checkNickFormat(nick) != 0;
}

// The channels of a JOIN, PART or QUIT notice: every word that reads as one (a node that speaks
// of one channel a notice sends one word); false when none does.
bool readNoticeChannels(const char *text, NoticeChannels &channels)
{
    char words[LINE_SIZE];
    copyCut(words, text);
    LineCursor cur{words};
    channels.count = 0;
    for (const char *word = cur.next(); word && word[0] != ':' && channels.count < LINE_SIZE / 2; word = cur.next())
        if (isChannelName(word) && word[1] != '\0') copyCut(channels.names[channels.count++], word);
    return channels.count > 0;
}

// The reason a QUIT or PART notice carries after its channels, as the user typed it; nullptr for none.
const char *noticeReason(const char *text)
{
    const char *colon = std::strstr(text, " :");
    return colon ? colon + 2 : nullptr;
}

void joinNames(const NoticeChannels &channels, const char *reason, char (&text)[LINE_SIZE])
{
    TextBuilder b(text);
    for (int i = 0; i < channels.count; ++i) {
        if (i > 0) b.add(" ");
        b.add(channels.names[i]);
    }
    if (!reason) return;
    b.add(" :");
    b.add(reason);
}

// A channel's next hops follow the nodes that host its members: a notice that may change them
// drops the routes kept for the channels it names, and for every channel of a member that quits
// or moved. A member announced again, once a period, changes nothing.
void routesMayChange(const char *keyword, const NoticeChannels &channels, int known, bool ours, long long now)
{
    const bool join = std::strcmp(keyword, "JOIN") == 0;
    if (known >= 0 && (!ours || std::strcmp(keyword, "QUIT") == 0)) channelsChange(known, now);
    for (int i = 0; i < channels.count; ++i)
        if (!(join && ours && inNetworkChannel(known, channels.names[i]))) channelMembersChanged(channels.names[i], now);
}

void takeChannelNotice(uint32_t src, const Message &m, const NoticeChannels &channels)
{
    char nick[NICK_MAX + 1];
    senderNick(m.sender, nick);
    const int known = findNetworkMember(nick);
    const bool ours = known >= 0 && networkMembers[known].node == src;
    const long long now = nowMillis();
    routesMayChange(m.command, channels, known, ours, now);
    if (std::strcmp(m.command, "JOIN") == 0) return noteJoins(src, m.sender, nick, channels, now);
    if (!ours) return;
    const char *reason = noticeReason(m.text);
    // A QUIT leaves every channel, whichever it names: a user that quits is gone from the network.
    if (std::strcmp(m.command, "QUIT") == 0) return quitWithQuitNotice(known, reason);
    for (int i = 0; i < channels.count; ++i)
        if (inNetworkChannel(known, channels.names[i])) partWithNotice(known, channels.names[i], reason);
}

// The member's channels whose notices stopped coming: all of them, and it quits; some, and it
// parts those (a PART whose notice was lost).
void expireStale(int entry, long long now)
{
    const NetworkMember &m = networkMembers[entry];
    int stale = 0;
    for (int k = 0; k < m.channelCount; ++k) stale += now - m.channels[k].heardAt > expiryMs() ? 1 : 0;
    if (stale == 0) return;
    if (stale == m.channelCount) {
        channelsChange(entry, now);
        return quitWithQuitNotice(entry);
    }
    for (int k = m.channelCount - 1; k >= 0; --k) {
        if (now - m.channels[k].heardAt <= expiryMs()) continue;
        channelMembersChanged(m.channels[k].name, now);
        partWithNotice(entry, m.channels[k].name);
    }
}

// A notice as read: the words that go on down the tree, and the channels a JOIN, PART or QUIT names.
struct ReadNotice {
    char words[LINE_SIZE];
    NoticeChannels channels;
};

bool readChannels(const Message &m, ReadNotice &n)
{
    if (!readNoticeChannels(m.text, n.channels)) return false;
    joinNames(n.channels, noticeReason(m.text), n.words);
    return true;
}

void takeChannels(uint32_t src, const Message &m, const ReadNotice &n) { takeChannelNotice(src, m, n.channels); }

bool readNick(const Message &m, ReadNotice &n)
{
    char newNick[NICK_MAX + 1];
    if (!readNoticeNick(m.text, newNick)) return false;
    copyCut(n.words, newNick);
    return true;
}

void takeNick(uint32_t src, const Message &m, const ReadNotice &n)
{
    char nick[NICK_MAX + 1];
    senderNick(m.sender, nick);
    takeNickNotice(src, nick, n.words);
}

// The lost node's ID, which is neither none nor this node.
bool readSplit(const Message &m, ReadNotice &n)
{
    copyCut(n.words, m.text);
    n.words[std::strcspn(n.words, " ")] = '\0';
    const uint32_t lost = readNodeId(n.words);
    return lost != 0 && lost != curr_nodeID;
}

void takeSplit(uint32_t src, const Message &, const ReadNotice &n)
{
    channelMembersChanged(nullptr, nowMillis());
    dropMembersOf(readNodeId(n.words), src);
}

bool readTopic(const Message &m, ReadNotice &n)
{
    copyCut(n.words, m.text);
    return readsAsTopicNotice(m.text);
}

void takeTopic(uint32_t, const Message &m, const ReadNotice &) { takeTopicNotice(m); }

bool readAway(const Message &m, ReadNotice &n)
{
    copyCut(n.words, m.text);
    return readsAsAwayNotice(m.text);
}

void takeAway(uint32_t src, const Message &m, const ReadNotice &) { takeAwayNotice(src, m); }

// The channel operators' notices are read where they are taken: each goes on as it came.
bool readWhole(const Message &m, ReadNotice &n)
{
    copyCut(n.words, m.text);
    return true;
}

void takeOperators(uint32_t src, const Message &m, const ReadNotice &) { takeChannelModeNotice(src, m); }

// Every notice between nodes goes one way: read (one that does not read as its kind stops here),
// taken here unless it repeats, and handed on down the tree as it read. A repeat is a line taken
// here before under its number, which a neighbour sends again after a link broke: acting on it
// again could bring back what a later notice undid (an AWAY after the user came back), while the
// refresh that sends every member, topic and mode again each period travels under new numbers.
struct NoticeKind {
    const char *keyword;
    bool (*read)(const Message &m, ReadNotice &n);
    void (*take)(uint32_t src, const Message &m, const ReadNotice &n);
};

constexpr NoticeKind NOTICE_KINDS[] = {
    {"JOIN", readChannels, takeChannels},   {"PART", readChannels, takeChannels}, {"QUIT", readChannels, takeChannels},
    {"NICK", readNick, takeNick},           {"SPLIT", readSplit, takeSplit},      {"TOPIC", readTopic, takeTopic},
    {"AWAY", readAway, takeAway},           {"MODE", readWhole, takeOperators},   {"MODES", readWhole, takeOperators},
    {"KICK", readWhole, takeOperators},     {"INVITE", readWhole, takeOperators},
};

void beforeWait()
{
    if (!channelsSpanNetwork()) return;
    wakeWithinMs(refresh.nextAt - nowMillis());
}

void afterWait()
{
    if (!channelsSpanNetwork()) return;
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

void announceMember(int slot, const char *keyword, const char *channels)
{
    if (!othersToTell()) return;
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    broadcast(prefix, keyword, channels);
}

void announceNotice(const char *sender, const char *keyword, const char *text)
{
    if (othersToTell()) broadcast(sender, keyword, text);
}

void announceMemberNick(const char *oldPrefix, const char *newNick)
{
    if (othersToTell()) broadcast(oldPrefix, "NICK", newNick);
}

void passOnNotice(const Message &m, const char *words)
{
    sendToChannel(NO_SLOT, Message{m.srcNode, m.sender, NODES_CHANNEL, words, m.command}, NODES_CHANNEL);
}

void MemberNotice::add(const char *channel)
{
    const size_t length = strnlen(channel, CHANNEL_NAME_MAX);
    if (used_ > 0 && used_ + 1 + length > static_cast<size_t>(MEMBER_NOTICE_TEXT_MAX)) flush();
    if (used_ > 0) text_[used_++] = ' ';
    std::memcpy(text_ + used_, channel, length);
    used_ += length;
    text_[used_] = '\0';
}

void MemberNotice::flush()
{
    if (used_ == 0) return;
    // The reason follows the channels, cut where the line ends: the channels always arrive whole.
    char text[LINE_SIZE];
    TextBuilder b(text);
    b.add(text_);
    if (reason_) {
        b.add(" :");
        b.add(reason_);
    }
    announceMember(slot_, keyword_, text);
    if (std::strcmp(keyword_, "JOIN") == 0) announceAwayAfterJoin(slot_);
    used_ = 0;
    text_[0] = '\0';
}

void takeMemberNotice(uint32_t src, const Message &m)
{
    // This node's own notice never comes back along a tree; one that does is no node's.
    if (!channelsSpanNetwork() || src == curr_nodeID) return;
    for (const NoticeKind &kind : NOTICE_KINDS) {
        if (std::strcmp(kind.keyword, m.command) != 0) continue;
        ReadNotice n;
        if (!kind.read(m, n)) return;
        if (!m.repeat) kind.take(src, m, n);
        return passOnNotice(m, n.words);
    }
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
        if (c.sock == 0 || !c.registered) continue;
        MemberNotice joined(slot, "JOIN");
        for (int i = 0; i < joinCount(slot); ++i) joined.add(rooms[joinedRooms(slot)[i]].name);
    }
    refreshChannelModes();  // after the members, so that other nodes know whom the privileges name
    announceTopics();
    for (int i = 0; i < networkMemberSlots; ++i)
        if (networkMembers[i].node != 0) expireStale(i, now);
}

void resetMemberNotices()
{
    clearNetworkMembers();
    refresh = {};
}

Poller memberNoticePoller() { return {beforeWait, afterWait}; }
