// JOIN, PART, LIST and WHO: the channel commands clients send, answered from the channel table.
#include "channel_commands.h"

#include <cstring>

#include "../core/connections.h"
#include "../core/server.h"
#include "../core/text.h"
#include "../routing/daemon_lines.h"
#include "channels.h"
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

void sendNames(int slot, int roomSlot)
{
    const Room &room = rooms[roomSlot];
    char names[LINE_SIZE];
    TextBuilder list(names);
    for (int i = 0; i < room.userCount; ++i) {
        if (i > 0) list.add(" ");
        list.add(room.users[i]);
    }
    const char *nick = connections[slot].nick;
    replyf(slot, FMT_353_NAMES, serverName(), nick, room.name, names);
    replyf(slot, FMT_366_END_OF_NAMES, serverName(), nick, room.name);
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
}

void openChannel(int slot, const char *name)
{
    const int roomSlot = createChannel(slot, name);
    if (roomSlot < 0) return;
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    replyf(slot, FMT_JOIN, prefix, rooms[roomSlot].name);
    sendNames(slot, roomSlot);
    replyf(DAEMON_SLOT, FMT_ADDCHAN, rooms[roomSlot].name);
}

// The daemons carry no name with a control byte, a tab or DEL in it.
bool isCarriedName(const char *name)
{
    for (const char *p = name; *p; ++p)
        if (static_cast<unsigned char>(*p) < ' ' || *p == 0x7f) return false;
    return true;
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
    for (int r = host.roomCount; r >= 1; --r)
        replyf(slot, FMT_322_LIST_ENTRY, serverName(), nick, rooms[r].name, rooms[r].userCount);
    replyf(slot, FMT_323_LIST_END, serverName(), nick);
}

void handleWho(int slot, LineCursor &cur)
{
    const char *word = cur.next();
    // The whole parameter is compared: unlike JOIN, WHO does not cut it.
    const int roomSlot = word ? checkChannel(word) : -1;
    if (roomSlot < 0) {
        replyf(slot, FMT_431_NO_SUCH_CHANNEL, serverName(), numericTarget(slot));
        return;
    }
    const Room &room = rooms[roomSlot];
    const char *nick = requesterNick(slot);
    for (int i = 0; i < room.userCount; ++i) {
        const int m = findUser(room.users[i]);
        if (m < 0) continue;
        const Connection &member = connections[m];
        replyf(slot, FMT_352_WHO_ENTRY, serverName(), nick, room.name, member.userName, member.hostName,
               member.serverName, member.nick, member.realName);
    }
    replyf(slot, FMT_315_WHO_END, serverName(), nick, room.name);
}
