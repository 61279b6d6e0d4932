// The away texts of this node's users, and the AWAY notices between nodes.
#include "away.h"

#include <cstring>

#include "../core/client_profile.h"
#include "../core/connections.h"
#include "../core/server.h"
#include "../core/sizes.h"
#include "../core/text.h"
#include "../routing/pending_queue.h"
#include "channels.h"
#include "member_notices.h"
#include "network_members.h"
#include "profile.h"
#include "profile_commands.h"
#include "registration.h"
#include "replies.h"

namespace {

// Empty text: not away. The serial names the peer of the slot that set it, so the next peer of
// the slot starts out here.
struct AwayEntry {
    unsigned serial;
    char text[AWAY_MAX + 1];
};

AwayEntry exactAway[MAX_CONNECTIONS];
AwayEntry *away = exactAway;


void announceAway(int slot)
{
    if (joinCount(slot) == 0) return;  // other nodes know only the users that share a channel
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    char text[LINE_SIZE];
    const char *awayText = awayTextOf(slot);
    TextBuilder b(text);
    b.add(awayText ? ":" : "-");
    if (awayText) b.add(awayText);
    announceNotice(prefix, "AWAY", text);
}

}  // namespace

const char *awayTextOf(int slot)
{
    const AwayEntry &a = away[slot];
    return a.serial == connections[slot].serial && a.text[0] != '\0' ? a.text : nullptr;
}

bool sizeAwayTable(const TableSizes &sizes)
{
    return resizeTable(away, exactAway, static_cast<size_t>(slotCount()), static_cast<size_t>(sizes.slots));
}

void clearAwayTable() { std::memset(away, 0, static_cast<size_t>(slotCount()) * sizeof *away); }

void handleAway(int slot, LineCursor &cur)
{
    const char *text = cur.trailing();
    AwayEntry &a = away[slot];
    a.serial = connections[slot].serial;
    copyCut(a.text, text ? text : "");
    if (a.text[0] == '\0') replyf(slot, FMT_305_UNAWAY, serverName(), connections[slot].nick);
    else replyf(slot, FMT_306_NOW_AWAY, serverName(), connections[slot].nick);
    announceAway(slot);
}

const char *awayTextFor(const char *nick)
{
    if (!anyoneMayBeAway()) return nullptr;
    const int user = findRegistered(nick);
    if (user >= FIRST_CLIENT_SLOT) return awayTextOf(user);
    const int entry = findNetworkMember(nick);
    return entry >= 0 && networkMembers[entry].awayText[0] != '\0' ? networkMembers[entry].awayText : nullptr;
}

void replyIfAway(int slot, const char *nick)
{
    if (const char *text = awayTextFor(nick))
        replyf(slot, FMT_301_AWAY, serverName(), connections[slot].nick, nick, text);
}

bool takeAwayNotice(uint32_t src, const Message &m)
{
    if (!readsAsAwayNotice(m.text)) return false;
    char nick[NICK_MAX + 1] = {};
    const size_t length = std::strcspn(m.sender, "!");
    std::memcpy(nick, m.sender, length < sizeof nick ? length : sizeof nick - 1);
    const int entry = findNetworkMember(nick);
    // Only the member's own node speaks for it; a node that does not know it yet hears it again.
    if (entry < 0 || networkMembers[entry].node != src) return true;
    setNetworkMemberAway(entry, m.text[0] == ':' ? m.text + 1 : "");
    return true;
}

bool readsAsAwayNotice(const char *text) { return text[0] == ':' || std::strcmp(text, "-") == 0; }

void announceAwayAfterJoin(int slot)
{
    if (awayTextOf(slot)) announceAway(slot);
}
