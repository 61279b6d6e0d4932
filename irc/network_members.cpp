// The table of channel members on other nodes: free entries anywhere, a nick at most once.
#include "network_members.h"

#include <cstring>

#include "../core/sizes.h"
#include "../core/text.h"
#include "profile.h"

namespace {

NetworkMember exactNetworkMembers[NETWORK_MEMBERS_MAX];
int capacity = NETWORK_MEMBERS_MAX;
// Entries from here on were never used: the scans stop here, so that a table sized for every
// client of every other node is resident only as far as members have filled it.
int reach;

}  // namespace

NetworkMember *networkMembers = exactNetworkMembers;

bool sizeNetworkMembers(const TableSizes &sizes)
{
    const int wanted = MAX_NEIGHBORS * sizes.clients;
    if (!resizeTable(networkMembers, exactNetworkMembers, static_cast<size_t>(capacity), static_cast<size_t>(wanted)))
        return false;
    capacity = wanted;
    reach = 0;
    return true;
}

int networkMembersReach() { return reach; }

void clearNetworkMembers()
{
    std::memset(networkMembers, 0, static_cast<size_t>(reach) * sizeof *networkMembers);
    reach = 0;
}

int findNetworkMember(const char *nick)
{
    for (int i = 0; i < reach; ++i)
        if (networkMembers[i].node != 0 && std::strcmp(networkMembers[i].nick, nick) == 0) return i;
    return -1;
}

int addNetworkMember(uint32_t node, const char *prefix, const char *channel, long long now)
{
    const char *bang = std::strchr(prefix, '!');
    const char *at = bang ? std::strchr(bang, '@') : nullptr;
    if (!at || bang == prefix || at == bang + 1 || at[1] == '\0' || bang - prefix > NICK_MAX) return -1;
    for (int i = 0; i < capacity; ++i) {
        NetworkMember &m = networkMembers[i];
        if (i == reach) ++reach;
        if (m.node != 0) continue;
        std::memset(&m, 0, sizeof m);
        std::memcpy(m.nick, prefix, static_cast<size_t>(bang - prefix));
        const size_t userLength = static_cast<size_t>(at - bang - 1);
        std::memcpy(m.user, bang + 1, userLength < sizeof m.user ? userLength : sizeof m.user - 1);
        copyCut(m.host, at + 1);
        copyCut(m.channel, channel);
        m.node = node;
        m.heardAt = now;
        return i;
    }
    return -1;
}

void dropNetworkMember(int entry) { std::memset(&networkMembers[entry], 0, sizeof networkMembers[entry]); }

void networkMemberPrefix(int entry, char (&prefix)[PREFIX_SIZE])
{
    const NetworkMember &m = networkMembers[entry];
    formatPrefix(prefix, m.nick, m.user, m.host);
}

int countNetworkMembers(const char *channel)
{
    int count = 0;
    for (int i = 0; i < reach; ++i)
        if (inChannel(networkMembers[i], channel)) ++count;
    return count;
}

int membersOfNode(uint32_t node)
{
    int count = 0;
    for (int i = 0; i < reach; ++i)
        if (node != 0 && networkMembers[i].node == node) ++count;
    return count;
}

int heardFromNode(uint32_t node) { return membersOfNode(node) > 0 ? 1 : 0; }

int firstOfChannel(int entry)
{
    for (int i = 0; i < entry; ++i)
        if (inChannel(networkMembers[i], networkMembers[entry].channel))
            return 0;
    return 1;
}
