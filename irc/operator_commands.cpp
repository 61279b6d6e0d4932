// MODE, KICK and INVITE: what a channel operator may do, checked on the operator's node, shown to
// the members there, and carried to every other node as a notice on the nodes' channel that each
// node applies to its own table and shows to its own members.
#include "operator_commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../core/clock.h"
#include "../core/connections.h"
#include "../core/server.h"
#include "../routing/pending_queue.h"
#include "../routing/route_cache.h"
#include "channel_modes.h"
#include "channels.h"
#include "member_notices.h"
#include "network_members.h"
#include "node_queries.h"
#include "profile.h"
#include "replies.h"

namespace {

constexpr char MODE_LETTERS[] = "imntklov";
constexpr int CHANGES_MAX = 16;  // mode letters one MODE line applies

// The changes one MODE made, as members see them: "+o-v bob carol".
class ChangeList {
public:
    void add(char sign, char letter, const char *param)
    {
        if (count_ == CHANGES_MAX) return;
        if (sign != sign_) letters_[used_++] = sign_ = sign;
        letters_[used_++] = letter;
        ++count_;
        if (!param) return;
        const size_t room = sizeof params_ - params_used_;
        const int n = std::snprintf(params_ + params_used_, room, " %s", param);
        params_used_ += n > 0 && static_cast<size_t>(n) < room ? static_cast<size_t>(n) : 0;
    }
    bool empty() const { return count_ == 0; }
    const char *letters() const { return letters_; }
    const char *params() const { return params_; }

private:
    char letters_[2 * CHANGES_MAX + 1] = {};
    size_t used_ = 0;
    int count_ = 0;
    char sign_ = 0;
    char params_[LINE_SIZE / 2] = {};
    size_t params_used_ = 0;
};

bool takesParam(char sign, char letter)
{
    return letter == 'o' || letter == 'v' || letter == 'k' || (letter == 'l' && sign == '+');
}

// A key clients can send back in a JOIN: no comma, colon or control byte, and not too long.
bool wellFormedKey(const char *key)
{
    if (key[0] == '\0' || std::strlen(key) > CHANNEL_KEY_MAX) return false;
    for (const char *p = key; *p; ++p)
        if (*p == ',' || *p == ':' || static_cast<unsigned char>(*p) <= ' ' || *p == 0x7f) return false;
    return true;
}

bool wellFormedLimit(const char *text)
{
    int value = 0;
    for (const char *p = text; *p; ++p) {
        if (!isDigit(*p) || value > 100000) return false;
        value = value * 10 + (*p - '0');
    }
    return value > 0;
}

int localMember(const char *channel, const char *nick)
{
    const int user = findUser(nick);
    const int roomSlot = checkChannel(channel);
    return user >= FIRST_CLIENT_SLOT && roomSlot > 0 && isMember(roomSlot, user) ? user : -1;
}

int remoteMember(const char *channel, const char *nick)
{
    const int entry = findNetworkMember(nick);
    return entry >= 0 && inNetworkChannel(entry, channel) ? entry : -1;
}

// The member's nick as it holds it, whatever case the client typed; nullptr when not on the channel.
const char *memberNick(const char *channel, const char *nick)
{
    const int user = localMember(channel, nick);
    if (user >= 0) return connections[user].nick;
    const int entry = remoteMember(channel, nick);
    return entry >= 0 ? networkMembers[entry].nick : nullptr;
}

bool onChannel(const char *channel, const char *nick) { return memberNick(channel, nick) != nullptr; }

// A user this node knows of: its own, or another node's member of some channel.
bool knownUser(const char *nick)
{
    const int user = findUser(nick);
    return (user >= FIRST_CLIENT_SLOT && connections[user].registered) || findNetworkMember(nick) >= 0;
}

// The nick an o or v change names is on the channel; otherwise the refusal is sent.
bool targetOnChannel(int slot, const char *channel, const char *target)
{
    if (onChannel(channel, target)) return true;
    const char *nick = requesterNick(slot);
    if (knownUser(target)) replyf(slot, FMT_441_NOT_ON_THAT_CHANNEL, serverName(), nick, target, channel);
    else replyf(slot, FMT_401_NO_SUCH_NICK, serverName(), nick, target);
    return false;
}

// A parameter the letter's change can take; otherwise the refusal is sent.
bool paramFits(int slot, const ChannelModes &c, char sign, char letter, const char *param)
{
    const char *nick = requesterNick(slot);
    if (!param) {
        replyf(slot, FMT_461_NEED_MORE, serverName(), nick, "MODE");
        return false;
    }
    if (letter == 'o' || letter == 'v') return targetOnChannel(slot, c.name, param);
    if (sign == '-') return true;
    if ((letter == 'k' && !wellFormedKey(param)) || (letter == 'l' && !wellFormedLimit(param))) {
        replyf(slot, FMT_696_BAD_MODE_PARAM, serverName(), nick, c.name, letter, param);
        return false;
    }
    return true;
}

void takeLocalChange(int slot, ChannelModes &c, char sign, char letter, LineCursor &cur, ChangeList &done)
{
    const char *nick = requesterNick(slot);
    if (!std::strchr(MODE_LETTERS, letter)) {
        replyf(slot, FMT_472_UNKNOWN_MODE_CHAR, serverName(), nick, letter);
        return;
    }
    const char *param = takesParam(sign, letter) ? cur.next() : nullptr;
    if (letter == 'k' && sign == '-') param = "*";  // any key, or none, takes the key away
    if (takesParam(sign, letter) && !paramFits(slot, c, sign, letter, param)) return;
    const bool privilege = letter == 'o' || letter == 'v';
    if (privilege) param = memberNick(c.name, param);
    if (privilege && sign == '+' && privilegeOf(c.name, param) == 0 && c.privilegedCount == PRIVILEGED_MAX) {
        replyf(slot, FMT_478_PRIVILEGES_FULL, serverName(), nick, c.name, param);
        return;
    }
    if (changeMode(c, sign, letter, param)) done.add(sign, letter, param);
}

void showModes(int slot, const ChannelModes &c)
{
    char words[LINE_SIZE];
    TextBuilder b(words);
    addModeWords(b, c);
    replyf(slot, FMT_324_CHANNEL_MODES, serverName(), requesterNick(slot), c.name, words);
}

void announceChanges(int slot, ChannelModes &c, const ChangeList &done)
{
    stampChange(c, c.serial + 1, curr_nodeID);
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    char changes[LINE_SIZE];
    std::snprintf(changes, sizeof changes, "%s%s", done.letters(), done.params());
    showModeHere(prefix, c.name, changes);
    char head[LINE_SIZE];
    std::snprintf(head, sizeof head, "%s %u ", c.name, c.serial);
    char text[LINE_SIZE];
    TextBuilder b(text);
    b.add(head);
    b.add(changes);
    announceNotice(prefix, "MODE", text);
}

// The kicked member leaves on this node's tables, and the members here see the KICK line.
void removeKicked(const char *channel, const char *target, const char *line)
{
    char name[CHANNEL_NAME_MAX + 1];
    copyCut(name, channel);  // the channel may go with its last member
    const int roomSlot = checkChannel(name);
    const int user = localMember(name, target);
    if (user >= 0) {
        leaveChannel(user, roomSlot, line);
    } else {
        if (roomSlot > 0) sendToMembers(roomSlot, line);
        const int entry = remoteMember(name, target);
        memberLeaves(name, target);
        if (entry >= 0) leaveNetworkChannel(entry, name);
    }
    channelMembersChanged(name, nowMillis());
}

void kickOne(int slot, const char *channel, const char *typed, const char *reason)
{
    const char *held = memberNick(channel, typed);
    if (!held) {
        targetOnChannel(slot, channel, typed);
        return;
    }
    char target[NICK_MAX + 1];
    copyCut(target, held);  // the member's entry may go as it leaves
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    char line[LINE_SIZE];
    formatLine(line, FMT_KICK, prefix, channel, target, reason);
    char text[LINE_SIZE];
    std::snprintf(text, sizeof text, "%s %s %s", channel, target, reason);
    announceNotice(prefix, "KICK", text);
    removeKicked(channel, target, line);
}

// A notice's text cut into words in a copy of its own: the first two, and the cursor after them.
struct NoticeWords {
    explicit NoticeWords(const char *text)
    {
        copyCut(words, text);
        first = cur.next();
        second = cur.next();
    }
    char words[LINE_SIZE];
    LineCursor cur{words};
    const char *first;
    const char *second;
};

// "#chan serial changes params": the changes as the operator's node made them.
void takeModeNotice(uint32_t src, const Message &m)
{
    NoticeWords w(m.text);
    const char *channel = w.first;
    const char *serialWord = w.second;
    LineCursor &cur = w.cur;
    const char *letters = cur.next();
    if (!channel || !serialWord || !letters || !isChannelName(channel) || std::strlen(channel) > CHANNEL_NAME_MAX) return;
    const int entry = modesFor(channel);
    if (entry < 0) return;
    ChannelModes &c = modesAt(entry);
    char shown[LINE_SIZE];
    copyCut(shown, m.text + (letters - w.words));  // the copy's words stand where the text's do
    char sign = '+';
    for (const char *p = letters; *p; ++p) {
        if (*p == '+' || *p == '-') {
            sign = *p;
            continue;
        }
        const char *param = takesParam(sign, *p) ? cur.next() : nullptr;
        if (takesParam(sign, *p) && !param) break;
        if ((*p == 'o' || *p == 'v') && !checkNickFormat(param)) continue;
        changeMode(c, sign, *p, param);
    }
    stampChange(c, static_cast<unsigned>(std::strtoul(serialWord, nullptr, 10)), src);
    showModeHere(m.sender, c.name, shown);
}

// "#chan nick reason"
void takeKickNotice(const Message &m)
{
    NoticeWords w(m.text);
    if (!w.first || !w.second || !isChannelName(w.first)) return;
    while (*w.cur.pos == ' ') ++w.cur.pos;
    const int roomSlot = checkChannel(w.first);
    char line[LINE_SIZE];
    formatLine(line, FMT_KICK, m.sender, roomSlot > 0 ? rooms[roomSlot].name : w.first, w.second, w.cur.pos);
    if (onChannel(w.first, w.second)) removeKicked(w.first, w.second, line);
}

// "nick #chan"
void takeInviteNotice(const Message &m)
{
    NoticeWords w(m.text);
    if (w.first && w.second && isChannelName(w.second)) deliverInvite(m.sender, w.first, w.second);
}

}  // namespace

void deliverInvite(const char *sender, const char *target, const char *channel)
{
    const int user = findUser(target);
    if (user < FIRST_CLIENT_SLOT || !connections[user].registered) return;
    inviteHere(channel, connections[user].nick);
    replyf(user, FMT_INVITE, sender, connections[user].nick, channel);
}


void handleChannelMode(int slot, const char *channel, LineCursor &cur)
{
    const char *nick = requesterNick(slot);
    const int entry = channelExists(channel) ? modesFor(channel) : -1;
    if (entry < 0) {
        replyf(slot, FMT_403_NO_SUCH_CHANNEL, serverName(), nick, channel);
        return;
    }
    ChannelModes &c = modesAt(entry);
    const char *changes = cur.next();
    if (!changes) return showModes(slot, c);
    // A client that asks for the ban list on joining is told it is empty.
    if (std::strcmp(changes, "b") == 0 || std::strcmp(changes, "+b") == 0) {
        replyf(slot, FMT_368_END_OF_BANS, serverName(), nick, channel);
        return;
    }
    if (!isChannelOperator(slot, checkChannel(channel))) {
        replyf(slot, FMT_482_NOT_OPERATOR, serverName(), nick, channel);
        return;
    }
    ChangeList done;
    char sign = '+';
    for (const char *p = changes; *p; ++p) {
        if (*p == '+' || *p == '-') sign = *p;
        else takeLocalChange(slot, c, sign, *p, cur, done);
    }
    if (!done.empty()) announceChanges(slot, c, done);
}

void handleKick(int slot, LineCursor &cur)
{
    const char *nick = connections[slot].nick;
    const char *channel = cur.next();
    char *targets = cur.next();
    if (!channel || !targets) {
        replyf(slot, FMT_461_NEED_MORE, serverName(), nick, "KICK");
        return;
    }
    const char *reason = cur.trailing();
    if (!reason || reason[0] == '\0') reason = nick;
    const int roomSlot = checkChannel(channel);
    if (refuseUnknownChannel(slot, channel) || refuseNonMember(slot, roomSlot, channel)) return;
    if (!isChannelOperator(slot, roomSlot)) {
        replyf(slot, FMT_482_NOT_OPERATOR, serverName(), nick, channel);
        return;
    }
    char name[CHANNEL_NAME_MAX + 1];
    copyCut(name, rooms[roomSlot].name);  // an operator may kick itself, the last member, and the room goes
    LineCursor list{targets};
    while (const char *target = list.next(',')) kickOne(slot, name, target, reason);
}

void handleInvite(int slot, LineCursor &cur)
{
    const char *nick = connections[slot].nick;
    const char *target = cur.next();
    const char *channel = cur.next();
    if (!target || !channel) {
        replyf(slot, FMT_461_NEED_MORE, serverName(), nick, "INVITE");
        return;
    }
    // A word that is no channel name: a user here would be invited to nothing, another node would
    // drop the invitation, and a question to the user's node would draw no answer and end in 401.
    if (!isChannelName(channel)) {
        replyf(slot, FMT_403_NO_SUCH_CHANNEL, serverName(), nick, channel);
        return;
    }
    const int roomSlot = checkChannel(channel);
    const bool exists = channelExists(channel);
    const bool known = knownUser(target);
    if (!known && !canAskAbout(target)) {
        replyf(slot, FMT_401_NO_SUCH_NICK, serverName(), nick, target);
        return;
    }
    if (exists && refuseNonMember(slot, roomSlot, channel)) return;
    if (onChannel(channel, target)) {
        replyf(slot, FMT_443_ALREADY_ON, serverName(), nick, target, channel);
        return;
    }
    if (exists && hasModeFlag(channel, MODE_INVITE) && !isChannelOperator(slot, roomSlot)) {
        replyf(slot, FMT_482_NOT_OPERATOR, serverName(), nick, channel);
        return;
    }
    const char *held = roomSlot > 0 ? rooms[roomSlot].name : channel;  // as the invitee will see it
    // A user this node knows nothing of may be another node's, in no channel: its node is asked.
    if (!known) return (void)askInviteElsewhere(slot, target, held);
    replyf(slot, FMT_341_INVITING, serverName(), nick, target, channel);
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    if (findUser(target) >= FIRST_CLIENT_SLOT) return deliverInvite(prefix, target, held);
    char text[LINE_SIZE];
    std::snprintf(text, sizeof text, "%s %s", target, held);
    announceNotice(prefix, "INVITE", text);
}

void takeChannelModeNotice(uint32_t src, const Message &m)
{
    if (std::strcmp(m.command, "MODE") == 0) takeModeNotice(src, m);
    else if (std::strcmp(m.command, "MODES") == 0) takeSnapshot(src, m.text);
    else if (std::strcmp(m.command, "KICK") == 0) takeKickNotice(m);
    else if (std::strcmp(m.command, "INVITE") == 0) takeInviteNotice(m);
}
