// The channel table and its operations; every channel's members are users of this node.
#include "channels.h"

#include <cstring>

#include "../core/connections.h"
#include "../core/sizes.h"
#include "../core/server.h"
#include "../core/text.h"
#include "../routing/daemon_requests.h"
#include "member_notices.h"
#include "profile.h"
#include "registration.h"
#include "replies.h"

Room rooms[ROOM_SLOTS];

namespace {

struct Membership {
    int roomSlot;
    int entry;
};

// The first channel, in slot order, whose member list holds the nick; roomSlot -1 when none does.
Membership findMembership(const char *nick)
{
    for (int r = 1; r <= host.roomCount; ++r)
        for (int i = 0; i < rooms[r].userCount; ++i)
            if (std::strcmp(rooms[r].users[i], nick) == 0) return {r, i};
    return {-1, -1};
}

void dropEntry(Room &room, int entry)
{
    for (int i = entry; i + 1 < room.userCount; ++i)
        std::memcpy(room.users[i], room.users[i + 1], sizeof room.users[0]);
    std::memset(room.users[room.userCount - 1], 0, sizeof room.users[0]);
    --room.userCount;
}

// Later channels move down one slot, so the table keeps its order of creation without gaps.
void deleteRoom(int roomSlot)
{
    for (int r = roomSlot; r < host.roomCount; ++r) rooms[r] = rooms[r + 1];
    std::memset(&rooms[host.roomCount], 0, sizeof rooms[0]);
    --host.roomCount;
}

// The exact replies tell every leave with the same QUIT notice; the profile tells a PART as one.
void sendLeaveNotice(int roomSlot, int leaver, Leave how)
{
    const Connection &c = connections[leaver];
    char prefix[PREFIX_SIZE];
    userPrefix(leaver, prefix);
    char notice[LINE_SIZE];
    if (!clientProfile.on) formatLine(notice, FMT_QUIT_NOTICE, c.nick, c.userName, c.hostName, c.nick);
    else if (how == Leave::Part) formatLine(notice, FMT_PART, prefix, rooms[roomSlot].name);
    else formatLine(notice, FMT_PROFILE_QUIT_NOTICE, prefix, c.nick);
    sendToMembers(roomSlot, notice);
    announceMember(leaver, how == Leave::Part ? "PART" : "QUIT", rooms[roomSlot].name);
}

}  // namespace

int checkChannel(const char *name)
{
    for (int r = 1; r <= host.roomCount; ++r)
        if (std::strcmp(rooms[r].name, name) == 0) return r;
    return -1;
}

void nickChannel(int roomSlot, const char *oldNick, const char *newNick)
{
    Room &room = rooms[roomSlot];
    for (int i = 0; i < room.userCount; ++i)
        if (std::strcmp(room.users[i], oldNick) == 0) copyCut(room.users[i], newNick);
}

void removeFromChan(const char *nick, Leave how)
{
    const Membership m = findMembership(nick);
    if (m.roomSlot < 0) return;
    Room &room = rooms[m.roomSlot];
    const int leaver = findUser(nick);
    // An entry without a connection is still dropped, so none outlives its user; there is only no
    // record to build the notice from.
    if (leaver >= 0) sendLeaveNotice(m.roomSlot, leaver, how);
    dropEntry(room, m.entry);
    if (leaver >= 0) std::memset(connections[leaver].channel, 0, sizeof connections[leaver].channel);
    if (room.userCount > 0) return;
    withdrawChannel(room.name);
    deleteRoom(m.roomSlot);
}

int createChannel(int slot, const char *name)
{
    if (host.roomCount >= MAX_ROOMS) return -1;
    const int roomSlot = ++host.roomCount;
    Room &room = rooms[roomSlot];
    std::memset(&room, 0, sizeof room);
    copyCut(room.name, name);
    copyCut(room.users[0], connections[slot].nick);
    room.userCount = 1;
    copyCut(connections[slot].channel, room.name);
    return roomSlot;
}

int addMember(int roomSlot, int slot)
{
    Room &room = rooms[roomSlot];
    if (channelIsFull(roomSlot)) return 0;
    copyCut(room.users[room.userCount], connections[slot].nick);
    copyCut(connections[slot].channel, room.name);
    ++room.userCount;
    return 1;
}

int channelIsFull(int roomSlot) { return rooms[roomSlot].userCount >= MAX_MEMBERS ? 1 : 0; }

int sendToMembers(int roomSlot, const char *line, int exceptSlot)
{
    const Room &room = rooms[roomSlot];
    int sent = 0;
    for (int i = 0; i < room.userCount; ++i) {
        const int member = findUser(room.users[i]);
        if (member < 0 || member == exceptSlot) continue;
        sendData(member, line);
        ++sent;
    }
    return sent;
}

void announceEverything()
{
    for (int slot = FIRST_CLIENT_SLOT; slot < slotReach(); ++slot) {
        const Connection &c = connections[slot];
        if (c.sock != 0 && c.registered) announceUser(c.nick);
    }
    for (int room = 1; room <= host.roomCount; ++room) announceChannel(rooms[room].name);
    announceNodesChannel();
}
