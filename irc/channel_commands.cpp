// JOIN, PART, LIST and WHO: the channel commands clients send, answered from the channel table.
#include "channel_commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "../core/connections.h"
#include "../core/server.h"
#include "../core/text.h"
#include "../routing/daemon_requests.h"
#include "channels.h"
#include "member_notices.h"
#include "network_members.h"
#include "registration.h"
#include "profile.h"
#include "replies.h"

namespace {

// True when leaving its current channel deletes that channel, which frees a slot of the table.
bool soleMemberOfOwnChannel(const Connection &c)
{
    const int own = c.channel[0] != '\0' ? checkChannel(c.channel) : -1;
    return own > 0 && rooms[own].userCount == 1;
}

// Checked before the requester leaves its channel, so that a refused JOIN changes nothing.
bool refusedAsFull(int slot, const char *name, int existing)
{
    const Connection &c = connections[slot];
    if (existing > 0 && channelIsFull(existing)) {
        replyf(slot, FMT_471_CHANNEL_FULL, serverName(), c.nick, name);
        return true;
    }
    if (existing < 0 && host.roomCount >= MAX_ROOMS && !soleMemberOfOwnChannel(c)) {
        replyf(slot, FMT_405_CHANNEL_TABLE_FULL, serverName(), c.nick, name);
        return true;
    }
    return false;
}

// The names of a channel in as many 353 lines as they need: the members of other nodes can
// pass what one line holds.
class NamesLines {
public:
    NamesLines(int slot, const char *channel) : slot_(slot), channel_(channel) {}
    void add(const char *name)
    {
        // Room for the line's own words (server name, code, nick, channel) beside the names.
        constexpr size_t NAMES_MAX = LINE_SIZE - HOST_NAME_SIZE - 2 * (NICK_MAX + 1) - 16;
        if (used_ > 0 && used_ + 1 + std::strlen(name) > NAMES_MAX) flush();
        const int n = std::snprintf(names_ + used_, sizeof names_ - used_, used_ > 0 ? " %s" : "%s", name);
        used_ += n > 0 ? std::min(static_cast<size_t>(n), sizeof names_ - 1 - used_) : 0;
    }
    void flush()
    {
        if (used_ > 0) replyf(slot_, FMT_353_NAMES, serverName(), connections[slot_].nick, channel_, names_);
        used_ = 0;
        names_[0] = '\0';
    }

private:
    int slot_;
    const char *channel_;
    char names_[LINE_SIZE] = {};
    size_t used_ = 0;
};

void sendNames(int slot, int roomSlot)
{
    const Room &room = rooms[roomSlot];
    NamesLines lines(slot, room.name);
    for (int i = 0; i < room.userCount; ++i) lines.add(room.users[i]);
    for (int i = 0; i < networkMembersReach(); ++i)
        if (inChannel(networkMembers[i], room.name)) lines.add(networkMembers[i].nick);
    lines.flush();
    replyf(slot, FMT_366_END_OF_NAMES, serverName(), connections[slot].nick, room.name);
}

void whoHere(int slot, const Room &room)
{
    const char *nick = requesterNick(slot);
    for (int i = 0; i < room.userCount; ++i) {
        const int m = findUser(room.users[i]);
        if (m < 0) continue;
        const Connection &member = connections[m];
        replyf(slot, FMT_352_WHO_ENTRY, serverName(), nick, room.name, member.userName, member.hostName,
               member.serverName, member.nick, member.realName);
    }
}

// Other nodes tell of their members' names only: their server and real name stand as "*".
void whoElsewhere(int slot, const char *channel)
{
    const char *nick = requesterNick(slot);
    for (int i = 0; i < networkMembersReach(); ++i) {
        const NetworkMember &m = networkMembers[i];
        if (inChannel(m, channel))
            replyf(slot, FMT_352_WHO_ENTRY, serverName(), nick, m.channel, m.user, m.host, "*", m.nick, "*");
    }
}

// The slot is looked up again by name: deleting the channel just left can move it down.
void enterChannel(int slot, const char *name)
{
    const int roomSlot = checkChannel(name);
    if (roomSlot < 0 || !addMember(roomSlot, slot)) return;
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    char joined[LINE_SIZE];
    formatLine(joined, FMT_JOIN, prefix, rooms[roomSlot].name);
    sendToMembers(roomSlot, joined);
    sendNames(slot, roomSlot);
    announceMember(slot, "JOIN", rooms[roomSlot].name);
}

void openChannel(int slot, const char *name)
{
    const int roomSlot = createChannel(slot, name);
    if (roomSlot < 0) return;
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    replyf(slot, FMT_JOIN, prefix, rooms[roomSlot].name);
    sendNames(slot, roomSlot);
    announceChannel(rooms[roomSlot].name);
    announceMember(slot, "JOIN", rooms[roomSlot].name);
}

}  // namespace

void handleJoin(int slot, LineCursor &cur)
{
    char name[CHANNEL_NAME_MAX + 1] = {};
    if (const char *word = cur.next()) copyCut(name, word);  // a longer name is cut, not refused
    if (!isChannelName(name)) {
        replyf(slot, FMT_431_BAD_CHAN_PREFIX, serverName(), numericTarget(slot));
        return;
    }
    Connection &c = connections[slot];
    if (!isCarriedName(name)) {
        replyf(slot, FMT_479_BAD_CHAN_NAME, serverName(), c.nick, name);
        return;
    }
    const int existing = checkChannel(name);
    if (existing > 0 && std::strcmp(c.channel, name) == 0) return;
    if (refusedAsFull(slot, name, existing)) return;
    removeFromChan(c.nick, Leave::Part);
    if (existing > 0) enterChannel(slot, name);
    else openChannel(slot, name);
}

void handlePart(int slot, LineCursor &)
{
    removeFromChan(connections[slot].nick, Leave::Part);
}

void handleList(int slot, LineCursor &)
{
    const char *nick = requesterNick(slot);
    replyf(slot, FMT_321_LIST_START, serverName(), nick);
    for (int r = host.roomCount; r >= 1; --r) {
        const int members = rooms[r].userCount + countNetworkMembers(rooms[r].name);
        replyf(slot, FMT_322_LIST_ENTRY, serverName(), nick, rooms[r].name, members);
    }
    // Then the channels that only other nodes' members are in.
    for (int i = 0; i < networkMembersReach(); ++i) {
        const char *channel = networkMembers[i].channel;
        if (networkMembers[i].node == 0 || checkChannel(channel) > 0 || !firstOfChannel(i)) continue;
        replyf(slot, FMT_322_LIST_ENTRY, serverName(), nick, channel, countNetworkMembers(channel));
    }
    replyf(slot, FMT_323_LIST_END, serverName(), nick);
}

void handleWho(int slot, LineCursor &cur)
{
    const char *word = cur.next();
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
