// The channel members that other nodes announced, kept so that names, WHO and LIST show the whole
// network's channels in the client profile. Only a node's own notices fill it, so it stays empty
// without the profile.
#pragma once

#include <cstdint>
#include <cstring>

#include "../core/limits.h"

struct NetworkMember {
    uint32_t node;  // the node the member lives on; 0 marks a free entry
    char nick[NICK_MAX + 1];
    char user[USER_PREFIX_MAX + 1];
    char host[PREFIX_SIZE];
    char channel[CHANNEL_NAME_MAX + 1];
    long long heardAt;  // when its node last announced it
};

struct TableSizes;

// Room for every client of every other node of a full configuration file, each node taken to
// have as many client slots as this one.
extern NetworkMember *networkMembers;
bool sizeNetworkMembers(const TableSizes &sizes);
// The entries below this may be in use; the ones from here on never were.
int networkMembersReach();

// An entry in use for a member of that channel.
inline bool inChannel(const NetworkMember &m, const char *channel)
{
    return m.node != 0 && std::strcmp(m.channel, channel) == 0;
}

void clearNetworkMembers();
int findNetworkMember(const char *nick);  // the entry of that nick, or -1
// A new entry from a nick!user@host prefix; -1 when the prefix has no user or host, or the table
// is full.
int addNetworkMember(uint32_t node, const char *prefix, const char *channel, long long now);
void dropNetworkMember(int entry);
// The member's nick!user@host, as its own node shows it.
void networkMemberPrefix(int entry, char (&prefix)[PREFIX_SIZE]);
int countNetworkMembers(const char *channel);
int membersOfNode(uint32_t node);  // the entries that live on that node
int heardFromNode(uint32_t node);  // 1 when some entry lives on that node
// 1 when no entry before `entry` is in the same channel: LIST counts each channel once.
int firstOfChannel(int entry);
