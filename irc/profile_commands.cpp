// PING, CAP, MODE, USERHOST, ISON and WHOIS as RFC 2812 answers them, within what this server
// has: no capabilities, no user modes (+i and +w are taken and change nothing; channel modes are operator_commands'); WHOIS also of other
// nodes' members, from the member table or by asking their node.
#include "profile_commands.h"

#include <cstring>

#include "../core/connections.h"
#include "../core/server.h"
#include "../core/text.h"
#include "channel_commands.h"
#include "channel_modes.h"
#include "away.h"
#include "channels.h"
#include "network_members.h"
#include "node_queries.h"
#include "operator_commands.h"
#include "profile.h"
#include "registration.h"
#include "topics.h"
#include "replies.h"

namespace {

constexpr int USERHOST_MAX = 5;  // nicks one USERHOST answers, as RFC 2812 has it

// irssi and WeeChat ask for +i on every connect: nobody is hidden here, and nobody receives
// wallops, so +i and +w (and their minus forms) change nothing and draw no 501; any other flag
// does.
bool harmlessUserModes(const char *change)
{
    if (*change != '+' && *change != '-') return false;
    for (const char *c = change; *c; ++c)
        if (*c != '+' && *c != '-' && *c != 'i' && *c != 'w') return false;
    return true;
}

// A member of another node, from what its notices told: no real name, its node for the server.
void whoisElsewhere(int slot, int entry)
{
    const char *nick = connections[slot].nick;
    const NetworkMember &m = networkMembers[entry];
    const auto node = static_cast<unsigned long>(m.node);
    replyf(slot, FMT_311_WHOIS_USER, serverName(), nick, m.nick, m.user, m.host, "*");
    replyf(slot, FMT_312_WHOIS_NODE, serverName(), nick, m.nick, node, node);
    WordLines channels(slot, m.nick, emitWhoisChannels);
    for (int k = 0; k < m.channelCount; ++k) channels.add(shownChannel(m.channels[k].name, m.nick));
    channels.flush();
    replyIfAway(slot, m.nick);
    replyf(slot, FMT_318_END_OF_WHOIS, serverName(), nick, m.nick);
}

}  // namespace

void emitWhoisChannels(int slot, const char *nick, const char *channels)
{
    replyf(slot, FMT_319_WHOIS_CHANNELS, serverName(), connections[slot].nick, nick, channels);
}

int findRegistered(const char *nick)
{
    const int slot = findUser(nick);
    return slot >= FIRST_CLIENT_SLOT && connections[slot].registered ? slot : -1;
}

void sendWelcome(int slot)
{
    const char *nick = connections[slot].nick;
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    replyf(slot, FMT_001_WELCOME, serverName(), nick, prefix);
    replyf(slot, FMT_002_YOUR_HOST, serverName(), nick, serverName());
    replyf(slot, FMT_003_CREATED, serverName(), nick);
    replyf(slot, FMT_004_MY_INFO, serverName(), nick, serverName());
    replyf(slot, FMT_005_ISUPPORT, serverName(), nick, NICK_MAX, USER_PREFIX_MAX, CHANNEL_NAME_MAX, channelLimits.joins,
           channelLimits.joins, TOPIC_MAX);
}

void handlePing(int slot, LineCursor &cur)
{
    const char *token = cur.trailing();
    if (!token || token[0] == '\0') {
        replyf(slot, FMT_409_NO_ORIGIN, serverName(), requesterNick(slot));
        return;
    }
    replyf(slot, FMT_PONG, serverName(), serverName(), token);
}

// This server never pings, so a PONG answers nothing; it is taken without a word.
void handlePong(int, LineCursor &) {}

void handleCap(int slot, LineCursor &cur)
{
    const char *sub = cur.next();
    const char *nick = requesterNick(slot);
    if (!sub) {
        replyf(slot, FMT_461_NEED_MORE, serverName(), nick, "CAP");
        return;
    }
    if (std::strcmp(sub, "LS") == 0 || std::strcmp(sub, "LIST") == 0) {
        replyf(slot, FMT_CAP_EMPTY, serverName(), nick, sub);
    } else if (std::strcmp(sub, "REQ") == 0) {
        const char *wanted = cur.trailing();
        replyf(slot, FMT_CAP_NAK, serverName(), nick, wanted ? wanted : "");
    } else if (std::strcmp(sub, "END") != 0) {
        replyf(slot, FMT_410_BAD_CAP, serverName(), nick, sub);
    }
}

void handleMode(int slot, LineCursor &cur)
{
    const char *target = cur.next();
    const char *nick = connections[slot].nick;
    if (!target) {
        replyf(slot, FMT_461_NEED_MORE, serverName(), nick, "MODE");
        return;
    }
    if (isChannelName(target)) return handleChannelMode(slot, target, cur);
    const char *change = cur.next();
    if (!sameName(target, nick)) replyf(slot, FMT_502_OTHERS_MODES, serverName(), nick);
    else if (change && !harmlessUserModes(change)) replyf(slot, FMT_501_UNKNOWN_MODE, serverName(), nick);
    else if (change) return;
    else replyf(slot, FMT_221_USER_MODES, serverName(), nick);
}

void handleUserhost(int slot, LineCursor &cur)
{
    char list[LINE_SIZE];
    TextBuilder b(list);
    int asked = 0;
    for (const char *word = cur.next(); word && asked < USERHOST_MAX; word = cur.next(), ++asked) {
        const int user = findRegistered(word);
        if (user < 0) continue;
        const Connection &c = connections[user];
        if (b.length() > 0) b.add(" ");
        b.add(c.nick);
        b.add("=+");
        b.add(c.userName);
        b.add("@");
        b.add(c.hostName);
    }
    if (asked == 0) {
        replyf(slot, FMT_461_NEED_MORE, serverName(), connections[slot].nick, "USERHOST");
        return;
    }
    replyf(slot, FMT_302_USERHOST, serverName(), connections[slot].nick, list);
}

void handleIson(int slot, LineCursor &cur)
{
    char list[LINE_SIZE];
    TextBuilder b(list);
    bool asked = false;
    // Clients send the nicks as one trailing parameter or as words; both read the same.
    while (*cur.pos == ' ' || *cur.pos == ':') ++cur.pos;
    for (const char *word = cur.next(); word; word = cur.next()) {
        asked = true;
        if (findRegistered(word) < 0) continue;
        if (b.length() > 0) b.add(" ");
        b.add(word);
    }
    if (!asked) {
        replyf(slot, FMT_461_NEED_MORE, serverName(), connections[slot].nick, "ISON");
        return;
    }
    replyf(slot, FMT_303_ISON, serverName(), connections[slot].nick, list);
}

void handleWhois(int slot, LineCursor &cur)
{
    const char *nick = connections[slot].nick;
    const char *first = cur.next();
    const char *second = cur.next();
    // "WHOIS server nick" asks a given server; every user this node can tell of is its own.
    const char *who = second ? second : first;
    if (!who) {
        replyf(slot, FMT_461_NEED_MORE, serverName(), nick, "WHOIS");
        return;
    }
    const int user = findRegistered(who);
    const int elsewhere = user < 0 ? findNetworkMember(who) : -1;
    if (elsewhere >= 0) return whoisElsewhere(slot, elsewhere);
    if (user < 0 && askWhoisElsewhere(slot, who)) return;
    if (user < 0) {
        replyf(slot, FMT_401_NO_SUCH_NICK, serverName(), nick, who);
        replyf(slot, FMT_318_END_OF_WHOIS, serverName(), nick, who);
        return;
    }
    const Connection &c = connections[user];
    replyf(slot, FMT_311_WHOIS_USER, serverName(), nick, c.nick, c.userName, c.hostName, c.realName);
    replyf(slot, FMT_312_WHOIS_SERVER, serverName(), nick, c.nick, serverName(),
           static_cast<unsigned long>(curr_nodeID));
    WordLines channels(slot, c.nick, emitWhoisChannels);
    for (int i = 0; i < joinCount(user); ++i) channels.add(shownChannel(rooms[joinedRooms(user)[i]].name, c.nick));
    channels.flush();
    replyIfAway(slot, c.nick);
    replyf(slot, FMT_318_END_OF_WHOIS, serverName(), nick, c.nick);
}
