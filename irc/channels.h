// The channel table: which channels exist on this node and which of its own users are in each.
#pragma once

#include "../core/limits.h"
#include "../core/names.h"

struct Room {
    char name[LINE_SIZE];
    int userCount;
    char users[MAX_MEMBERS][LINE_SIZE];  // nicks in order of joining; entries past userCount are zero
};

// Slots 1 to host.roomCount, without gaps and oldest first; slot 0 is never used.
extern Room rooms[ROOM_SLOTS];

// Sends "ADDUSER" for every registered user and "ADDCHAN" for every channel of this node, and
// the nodes' channel: the daemon link came (back) up.
void announceEverything();
int checkChannel(const char *name);  // slot of the channel with that exact name, or -1
void nickChannel(int roomSlot, const char *oldNick, const char *newNick);
enum class Leave { Quit, Part };  // a PART, or JOIN's leave, is told as such in the client profile
// The user with this nick leaves its channel: notice to every member (itself included), and
// "REMOVECHAN" to the daemon when the channel is left empty and deleted. No channel, no effect.
void removeFromChan(const char *nick, Leave how = Leave::Quit);
// The connection in `slot` opens a channel at the end of the table; the new slot, or -1 when full.
int createChannel(int slot, const char *name);
// The connection in `slot` becomes the last member; 0 when the member list is full.
int addMember(int roomSlot, int slot);
int channelIsFull(int roomSlot);
// In list order, to every member with a connection but the one in `exceptSlot`; how many got it.
int sendToMembers(int roomSlot, const char *line, int exceptSlot = -1);
