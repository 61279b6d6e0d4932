// WHO for a nick or a mask: the users of this node from the connection table, those of other
// nodes from the network member table (which knows them while they are in some channel).
#include "who_masks.h"

#include <cstdio>
#include <cstring>

#include "../core/connections.h"
#include "../core/names.h"
#include "../core/server.h"
#include "away.h"
#include "channel_modes.h"
#include "network_members.h"
#include "profile.h"
#include "replies.h"

namespace {

// WHO of a nick or a mask is the client profile's; the exact replies' WHO names a channel.
bool whoTakesMasks() { return replyMode == Replies::Client; }

// Away (G) and a member's privilege in the flags are the client profile's; the exact replies say H.
bool whoShowsStatus() { return replyMode == Replies::Client; }

bool matchesAny(const char *mask, const char *nick, const char *user, const char *host)
{
    return matchesMask(mask, nick) || matchesMask(mask, user) || matchesMask(mask, host);
}

}  // namespace

bool matchesMask(const char *mask, const char *text)
{
    // The last '*' seen and where the text stood then: a mismatch retries with it one longer.
    const char *star = nullptr;
    const char *resume = nullptr;
    while (*text) {
        if (*mask == '*') {
            star = mask++;
            resume = text;
        } else if (*mask != '\0' && (*mask == '?' || foldCase(*mask) == foldCase(*text))) {
            ++mask;
            ++text;
        } else if (star) {
            mask = star + 1;
            text = ++resume;
        } else {
            return false;
        }
    }
    while (*mask == '*') ++mask;
    return *mask == '\0';
}

const char *whoFlags(const char *channel, const char *nick)
{
    static char flags[3];
    if (!whoShowsStatus()) return "H";
    const char *mark = std::strcmp(channel, "*") == 0 ? "" : privilegeMark(channel, nick);
    std::snprintf(flags, sizeof flags, "%c%s", awayTextFor(nick) ? 'G' : 'H', mark);
    return flags;
}

bool whoUsers(int slot, const char *word)
{
    if (!whoTakesMasks() || isChannelName(word)) return false;
    const char *mask = std::strcmp(word, "0") == 0 ? "*" : word;  // "WHO 0" asks for everyone
    const char *nick = requesterNick(slot);
    for (int user = FIRST_CLIENT_SLOT; user < slotReach(); ++user) {
        const Connection &c = connections[user];
        if (c.sock == 0 || !c.registered || !matchesAny(mask, c.nick, c.userName, c.hostName)) continue;
        replyf(slot, FMT_352_WHO_ENTRY, serverName(), nick, "*", c.userName, c.hostName, serverName(), c.nick,
               whoFlags("*", c.nick), c.realName);
    }
    // Other nodes tell of their members' names only: their server and real name stand as "*".
    for (int i = 0; i < networkMemberSlots; ++i) {
        const NetworkMember &m = networkMembers[i];
        if (m.node != 0 && matchesAny(mask, m.nick, m.user, m.host))
            replyf(slot, FMT_352_WHO_ENTRY, serverName(), nick, "*", m.user, m.host, "*", m.nick, whoFlags("*", m.nick), "*");
    }
    replyf(slot, FMT_315_WHO_END, serverName(), nick, word);
    return true;
}
