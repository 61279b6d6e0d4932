// The channel members that other nodes announced, kept so that names, WHO and LIST show the whole
// network's channels in the client profile. Only a node's own notices fill it, so it stays empty
// without the profile.
#pragma once

#include <cstdint>

#include "../core/limits.h"

struct NetworkChannel {
    char name[CHANNEL_NAME_MAX + 1];
    long long heardAt;  // when the member's node last announced it in this channel
};

// A user of another node that is in at least one channel.
struct NetworkMember {
    uint32_t node;  // the node the member lives on; 0 marks a free entry
    char nick[NICK_MAX + 1];
    char user[USER_PREFIX_MAX + 1];
    char host[PREFIX_SIZE];
    int channelCount;
    NetworkChannel *channels;  // in order of joining; the table's channelsEach of them
    char *awayText;            // AWAY_MAX + 1 bytes of the table's own; empty while not away
};

// Sized at start-up (sizeNetworkMembers); the entries from networkMemberSlots on were never used.
extern NetworkMember *networkMembers;
extern int networkMemberSlots;

// Allocates room for `members` members of `channelsEach` channels each, freeing an earlier table;
// every entry is free. Ends the process when the memory cannot be had.
void sizeNetworkMembers(int members, int channelsEach);
void clearNetworkMembers();
int findNetworkMember(const char *nick);  // the entry of that nick, or -1
// A new entry, in no channel yet, from a nick!user@host prefix; -1 when the prefix has no user or
// host, or the table is full.
int addNetworkMember(uint32_t node, const char *prefix);
// 1 when the member joined the channel now, 0 when it was in it (its time is renewed), -1 when it
// is in as many channels as an entry holds.
int joinNetworkChannel(int entry, const char *channel, long long now);
// The member leaves the channel; left in none, the entry is freed. 0 when it was not in it.
int leaveNetworkChannel(int entry, const char *channel);
void dropNetworkMember(int entry);
void setNetworkMemberAway(int entry, const char *text);  // an empty text: back
int inNetworkChannel(int entry, const char *channel);  // 1 for an entry in use that is in it
// The member's nick!user@host, as its own node shows it.
void networkMemberPrefix(int entry, char (&prefix)[PREFIX_SIZE]);
int countNetworkMembers(const char *channel);
int membersOfNode(uint32_t node);  // the entries that live on that node
int heardFromNode(uint32_t node);  // 1 when some entry lives on that node
// 1 when no entry before `entry`, nor an earlier channel of its own, is `channel`: LIST counts
// each channel once.
int firstOfChannel(int entry, int channel);
