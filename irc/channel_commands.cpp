// JOIN, PART, NAMES, LIST and WHO: the channel commands clients send, answered from the channel table.
#include "channel_commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "../core/connections.h"
#include "../core/server.h"
#include "../core/text.h"
#include "../routing/daemon_requests.h"
#include "channel_modes.h"
#include "channels.h"
#include "member_notices.h"
#include "network_members.h"
#include "registration.h"
#include "topics.h"
#include "who_masks.h"
#include "profile.h"
#include "replies.h"

namespace {

// The exact replies read a JOIN's word whole, commas and all, and leave the one channel on any
// PART; the client profile reads comma lists (with keys, and JOIN 0) as clients send them.
bool readsChannelLists() { return replyMode == Replies::Client; }

// The exact replies' user is in one channel at most, and leaves it for another.
int currentRoom(int slot) { return joinCount(slot) > 0 ? joinedRooms(slot)[0] : -1; }

// True when leaving its current channel deletes that channel, which frees a slot of the table.
bool soleMemberOfOwnChannel(int slot)
{
    const int own = currentRoom(slot);
    return own > 0 && rooms[own].userCount == 1;
}

// Checked before the exact replies' requester leaves its channel, so that a refused JOIN
// changes nothing.
bool refusedJoin(int slot, const char *name, int existing)
{
    const char *nick = connections[slot].nick;
    if (joinKeepsOtherChannels() && joinsFull(slot)) {
        replyf(slot, FMT_405_TOO_MANY_CHANNELS, serverName(), nick, name);
        return true;
    }
    if (existing > 0 && channelIsFull(existing)) {
        replyf(slot, keepsExactBytes() ? FMT_471_CHANNEL_FULL : FMT_471_CHANNEL_LIMIT, serverName(), nick, name);
        return true;
    }
    const bool freesASlot = !joinKeepsOtherChannels() && soleMemberOfOwnChannel(slot);
    if (existing < 0 && channelTableFull() && !freesASlot) {
        replyf(slot, FMT_405_CHANNEL_TABLE_FULL, serverName(), nick, name);
        return true;
    }
    return false;
}

void emitNames(int slot, const char *channel, const char *names)
{
    replyf(slot, FMT_353_NAMES, serverName(), connections[slot].nick, channel, names);
}

// The members here, then those of other nodes; a channel nobody is in has no 353, only its 366.
void sendNames(int slot, const char *channel)
{
    const int roomSlot = checkChannel(channel);
    WordLines lines(slot, channel, emitNames);
    for (int i = 0; roomSlot > 0 && i < rooms[roomSlot].userCount; ++i)
        lines.add(shownNick(channel, connections[rooms[roomSlot].users[i]].nick));
    for (int i = 0; i < networkMemberSlots; ++i)
        if (inNetworkChannel(i, channel)) lines.add(shownNick(channel, networkMembers[i].nick));
    lines.flush();
    replyf(slot, FMT_366_END_OF_NAMES, serverName(), connections[slot].nick, channel);
}

void whoHere(int slot, const Room &room)
{
    const char *nick = requesterNick(slot);
    for (int i = 0; i < room.userCount; ++i) {
        const Connection &member = connections[room.users[i]];
        replyf(slot, FMT_352_WHO_ENTRY, serverName(), nick, room.name, member.userName, member.hostName,
               member.serverName, member.nick, whoFlags(room.name, member.nick), member.realName);
    }
}

// Other nodes tell of their members' names only: their server and real name stand as "*".
void whoElsewhere(int slot, const char *channel)
{
    const char *nick = requesterNick(slot);
    for (int i = 0; i < networkMemberSlots; ++i) {
        const NetworkMember &m = networkMembers[i];
        if (inNetworkChannel(i, channel))
            replyf(slot, FMT_352_WHO_ENTRY, serverName(), nick, channel, m.user, m.host, "*", m.nick,
                   whoFlags(channel, m.nick), "*");
    }
}

bool enterChannel(int slot, int roomSlot)
{
    if (!addMember(roomSlot, slot)) return false;
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    char joined[LINE_SIZE];
    formatLine(joined, FMT_JOIN, prefix, rooms[roomSlot].name);
    sendToMembers(roomSlot, joined);
    sendTopic(slot, rooms[roomSlot].name, false);
    sendNames(slot, rooms[roomSlot].name);
    return true;
}

bool openChannel(int slot, const char *name)
{
    const int roomSlot = createChannel(slot, name);
    if (roomSlot < 0) return false;
    foundChannel(slot, roomSlot);
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    replyf(slot, FMT_JOIN, prefix, rooms[roomSlot].name);
    channelOpened(rooms[roomSlot].name);
    sendTopic(slot, rooms[roomSlot].name, false);
    sendNames(slot, rooms[roomSlot].name);
    announceChannel(rooms[roomSlot].name);
    return true;
}

// One channel of a JOIN: each refusal is answered on its own, and changes nothing.
void joinOne(int slot, const char *word, const char *key, MemberNotice &joined)
{
    char name[CHANNEL_NAME_MAX + 1] = {};
    const bool taken = !word || takeName(name, word);
    if (!isChannelName(word ? word : name)) {
        replyf(slot, FMT_431_BAD_CHAN_PREFIX, serverName(), numericTarget(slot));
        return;
    }
    if (!taken || !isCarriedName(name)) {
        replyf(slot, FMT_479_BAD_CHAN_NAME, serverName(), connections[slot].nick, taken ? name : word);
        return;
    }
    const int existing = checkChannel(name);
    if (existing > 0 && isMember(existing, slot)) return;
    if (refusedJoin(slot, name, existing)) return;
    if (refusedByModes(slot, name, key)) return;
    if (!joinKeepsOtherChannels()) removeFromChan(slot, Leave::Part);
    // Other nodes hear the name as the channel has it here, whatever case the client typed.
    if (existing > 0 ? enterChannel(slot, existing) : openChannel(slot, name))
        joined.add(existing > 0 ? rooms[existing].name : name);
}

// One channel of a PART; the channel's name is taken before it may be deleted.
void partOne(int slot, const char *word, const char *reason, MemberNotice &parted)
{
    char name[CHANNEL_NAME_MAX + 1] = {};
    const bool taken = takeName(name, word);  // cut as JOIN cuts it, or refused as JOIN refuses it
    const int roomSlot = taken ? checkChannel(name) : -1;
    const char *nick = connections[slot].nick;
    if (roomSlot < 0 && (!taken || countNetworkMembers(name) == 0)) {
        replyf(slot, FMT_403_NO_SUCH_CHANNEL, serverName(), nick, taken ? name : word);
        return;
    }
    if (roomSlot < 0 || !isMember(roomSlot, slot)) {
        replyf(slot, FMT_442_NOT_ON_CHANNEL, serverName(), nick, name);
        return;
    }
    parted.add(rooms[roomSlot].name);
    partChannel(slot, roomSlot, reason);
}

}  // namespace

void WordLines::add(const char *word)
{
    // Room for the line's own words (server name, code, nick, subject) beside the list.
    constexpr size_t WORDS_MAX = LINE_SIZE - HOST_NAME_SIZE - 2 * (NICK_MAX + 1) - 16;
    if (used_ > 0 && used_ + 1 + std::strlen(word) > WORDS_MAX) flush();
    const int n = std::snprintf(words_ + used_, sizeof words_ - used_, used_ > 0 ? " %s" : "%s", word);
    used_ += n > 0 ? std::min(static_cast<size_t>(n), sizeof words_ - 1 - used_) : 0;
}

void WordLines::flush()
{
    if (used_ > 0) emit_(slot_, subject_, words_);
    used_ = 0;
    words_[0] = '\0';
}

// The exact replies take the whole word as one name, commas and all; the profile takes a list,
// with its keys in order, and "0" alone leaves every channel.
void handleJoin(int slot, LineCursor &cur)
{
    char *list = cur.next();
    if (readsChannelLists() && list && std::strcmp(list, "0") == 0) return removeFromChan(slot, Leave::Part);
    MemberNotice joined(slot, "JOIN");
    if (!readsChannelLists() || !list) return joinOne(slot, list, nullptr, joined);
    char none[] = "";
    char *keyList = cur.next();
    LineCursor names{list};
    LineCursor keys{keyList ? keyList : none};
    while (const char *word = names.next(',')) joinOne(slot, word, keys.next(','), joined);
}

// The exact replies leave the one channel, whatever name is given.
void handlePart(int slot, LineCursor &cur)
{
    if (!readsChannelLists()) return removeFromChan(slot, Leave::Part);
    char *list = cur.next();
    if (!list) {
        replyf(slot, FMT_461_NEED_MORE, serverName(), connections[slot].nick, "PART");
        return;
    }
    const char *reason = cur.trailing();
    if (reason && reason[0] == '\0') reason = nullptr;
    MemberNotice parted(slot, "PART", reason);
    LineCursor names{list};
    while (const char *word = names.next(',')) partOne(slot, word, reason, parted);
}

// Each channel of the list answered on its own; with none, only the end of an empty list.
void handleNames(int slot, LineCursor &cur)
{
    char *list = cur.next();
    if (!list) {
        replyf(slot, FMT_366_END_OF_NAMES, serverName(), connections[slot].nick, "*");
        return;
    }
    LineCursor names{list};
    while (const char *word = names.next(',')) sendNames(slot, word);
}

void handleList(int slot, LineCursor &)
{
    const char *nick = requesterNick(slot);
    replyf(slot, FMT_321_LIST_START, serverName(), nick);
    for (int n = host.roomCount; n >= 1; --n) {
        const Room &room = rooms[roomInOrder(n)];
        replyf(slot, FMT_322_LIST_ENTRY, serverName(), nick, room.name, room.userCount + countNetworkMembers(room.name));
    }
    // Then the channels that only other nodes' members are in.
    for (int i = 0; i < networkMemberSlots; ++i) {
        const NetworkMember &m = networkMembers[i];
        for (int k = 0; m.node != 0 && k < m.channelCount; ++k) {
            const char *channel = m.channels[k].name;
            if (checkChannel(channel) > 0 || !firstOfChannel(i, k)) continue;
            replyf(slot, FMT_322_LIST_ENTRY, serverName(), nick, channel, countNetworkMembers(channel));
        }
    }
    replyf(slot, FMT_323_LIST_END, serverName(), nick);
}

void handleWho(int slot, LineCursor &cur)
{
    const char *word = cur.next();
    if (word && whoUsers(slot, word)) return;
    // The whole parameter is compared: unlike JOIN, WHO does not cut it.
    const int roomSlot = word ? checkChannel(word) : -1;
    if (roomSlot < 0 && (!word || countNetworkMembers(word) == 0)) {
        replyf(slot, FMT_431_NO_SUCH_CHANNEL, serverName(), numericTarget(slot));
        return;
    }
    if (roomSlot > 0) whoHere(slot, rooms[roomSlot]);
    whoElsewhere(slot, word);
    replyf(slot, FMT_315_WHO_END, serverName(), requesterNick(slot), word);
}
