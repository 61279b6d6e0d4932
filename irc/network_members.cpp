// The table of channel members on other nodes: free entries anywhere, a nick at most once, and
// each member's channels in a fixed block of its own. Allocated once, at start-up.
#include "network_members.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../core/names.h"
#include "../core/text.h"
#include "away.h"
#include "profile.h"

NetworkMember *networkMembers;
int networkMemberSlots;

namespace {

NetworkChannel *channelBlock;
char *awayBlock;  // AWAY_MAX + 1 bytes an entry
int channelsPerMember;
// Room for every client of every other node, each node taken to have as many client slots as this
// one; networkMemberSlots stops short of it where no entry was ever used, so that the scans, and
// the pages they keep resident, follow the members there have been, not the room for them.
int capacity;

void clearEntry(int i)
{
    std::memset(&networkMembers[i], 0, sizeof networkMembers[i]);
    networkMembers[i].channels = channelBlock + static_cast<size_t>(i) * static_cast<size_t>(channelsPerMember);
    networkMembers[i].awayText = awayBlock + static_cast<size_t>(i) * (AWAY_MAX + 1);
    networkMembers[i].awayText[0] = '\0';
}

}  // namespace

void sizeNetworkMembers(int members, int channelsEach)
{
    std::free(networkMembers);
    std::free(channelBlock);
    std::free(awayBlock);
    const size_t count = static_cast<size_t>(members > 0 ? members : 0);
    const size_t each = static_cast<size_t>(channelsEach);
    networkMembers = static_cast<NetworkMember *>(std::calloc(count + 1, sizeof *networkMembers));
    channelBlock = static_cast<NetworkChannel *>(std::calloc(count * each + 1, sizeof *channelBlock));
    awayBlock = static_cast<char *>(std::calloc(count + 1, AWAY_MAX + 1));
    if (!networkMembers || !channelBlock || !awayBlock) {
        std::fprintf(stderr, "quorvel: no memory for %zu members of other nodes in %zu channels each\n", count, each);
        std::exit(1);
    }
    capacity = static_cast<int>(count);
    channelsPerMember = channelsEach;
    networkMemberSlots = 0;  // calloc's entries are free: each is set up when first taken
}

void clearNetworkMembers()
{
    for (int i = 0; i < networkMemberSlots; ++i) clearEntry(i);
    networkMemberSlots = 0;
}

int findNetworkMember(const char *nick)
{
    for (int i = 0; i < networkMemberSlots; ++i)
        if (networkMembers[i].node != 0 && sameName(networkMembers[i].nick, nick)) return i;
    return -1;
}

int addNetworkMember(uint32_t node, const char *prefix)
{
    const char *bang = std::strchr(prefix, '!');
    const char *at = bang ? std::strchr(bang, '@') : nullptr;
    if (!at || bang == prefix || at == bang + 1 || at[1] == '\0' || bang - prefix > NICK_MAX) return -1;
    for (int i = 0; i < capacity; ++i) {
        if (i == networkMemberSlots) clearEntry(networkMemberSlots++);
        NetworkMember &m = networkMembers[i];
        if (m.node != 0) continue;
        std::memset(m.nick, 0, sizeof m.nick);
        std::memcpy(m.nick, prefix, static_cast<size_t>(bang - prefix));
        const size_t userLength = static_cast<size_t>(at - bang - 1);
        std::memset(m.user, 0, sizeof m.user);
        std::memcpy(m.user, bang + 1, userLength < sizeof m.user ? userLength : sizeof m.user - 1);
        copyCut(m.host, at + 1);
        m.node = node;
        m.channelCount = 0;
        return i;
    }
    return -1;
}

int joinNetworkChannel(int entry, const char *channel, long long now)
{
    NetworkMember &m = networkMembers[entry];
    for (int k = 0; k < m.channelCount; ++k)
        if (sameName(m.channels[k].name, channel)) {
            m.channels[k].heardAt = now;
            return 0;
        }
    if (m.channelCount >= channelsPerMember) return -1;
    NetworkChannel &c = m.channels[m.channelCount++];
    copyCut(c.name, channel);
    c.heardAt = now;
    return 1;
}

int leaveNetworkChannel(int entry, const char *channel)
{
    NetworkMember &m = networkMembers[entry];
    int k = 0;
    while (k < m.channelCount && !sameName(m.channels[k].name, channel)) ++k;
    if (k == m.channelCount) return 0;
    std::memmove(m.channels + k, m.channels + k + 1, static_cast<size_t>(m.channelCount - k - 1) * sizeof *m.channels);
    --m.channelCount;
    if (m.channelCount == 0) dropNetworkMember(entry);
    return 1;
}

void dropNetworkMember(int entry)
{
    NetworkMember &m = networkMembers[entry];
    NetworkChannel *channels = m.channels;
    char *awayText = m.awayText;
    std::memset(&m, 0, sizeof m);
    m.channels = channels;
    m.awayText = awayText;
    m.awayText[0] = '\0';
}

void setNetworkMemberAway(int entry, const char *text)
{
    std::memset(networkMembers[entry].awayText, 0, AWAY_MAX + 1);
    std::memcpy(networkMembers[entry].awayText, text, strnlen(text, AWAY_MAX));
}

int inNetworkChannel(int entry, const char *channel)
{
    const NetworkMember &m = networkMembers[entry];
    if (m.node == 0) return 0;
    for (int k = 0; k < m.channelCount; ++k)
        if (sameName(m.channels[k].name, channel)) return 1;
    return 0;
}

void networkMemberPrefix(int entry, char (&prefix)[PREFIX_SIZE])
{
    const NetworkMember &m = networkMembers[entry];
    formatPrefix(prefix, m.nick, m.user, m.host);
}

int countNetworkMembers(const char *channel)
{
    int count = 0;
    for (int i = 0; i < networkMemberSlots; ++i) count += inNetworkChannel(i, channel);
    return count;
}

int membersOfNode(uint32_t node)
{
    int count = 0;
    for (int i = 0; i < networkMemberSlots; ++i)
        if (node != 0 && networkMembers[i].node == node) ++count;
    return count;
}

int heardFromNode(uint32_t node) { return membersOfNode(node) > 0 ? 1 : 0; }

int firstOfChannel(int entry, int channel)
{
    const char *name = networkMembers[entry].channels[channel].name;
    for (int i = 0; i < entry; ++i)
        if (inNetworkChannel(i, name)) return 0;
    return 1;
}
