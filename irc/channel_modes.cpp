// The channel mode table: one entry per channel of the network, allocated once with the channel
// tables. Changes come from MODE (here or as another node's notice) and from the snapshots every
// node sends of its channels once a refresh period.
#include "channel_modes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "../core/connections.h"
#include "../core/server.h"
#include "../core/text.h"
#include "channels.h"
#include "member_notices.h"
#include "network_members.h"
#include "profile.h"
#include "replies.h"

namespace {

ChannelModes *modeTable;
int modeCapacity;
int modeSlots;  // entries from here on were never used

constexpr char SNAPSHOT_SENDER[] = "modes";
// Between the channels of one snapshot notice: a word no channel's modes can hold.
constexpr char SNAPSHOT_SEPARATOR[] = ",";

// The snapshots of a refresh, gathered into as few notices as they fit in, as members' channels are.
class SnapshotNotice {
public:
    ~SnapshotNotice() { flush(); }
    void add(const char *snapshot)
    {
        // A snapshot longer than a notice loses its last privileged words.
        const size_t length = strnlen(snapshot, MEMBER_NOTICE_TEXT_MAX);
        if (used_ > 0 && used_ + sizeof SEPARATED - 1 + length > static_cast<size_t>(MEMBER_NOTICE_TEXT_MAX)) flush();
        if (used_ > 0) {
            std::memcpy(text_ + used_, SEPARATED, sizeof SEPARATED - 1);
            used_ += sizeof SEPARATED - 1;
        }
        std::memcpy(text_ + used_, snapshot, length);
        used_ += length;
        text_[used_] = '\0';
    }
    void flush()
    {
        if (used_ > 0) announceNotice(SNAPSHOT_SENDER, "MODES", text_);
        used_ = 0;
    }

private:
    static constexpr char SEPARATED[] = " , ";
    char text_[MEMBER_NOTICE_TEXT_MAX + 1] = {};
    size_t used_ = 0;
};
constexpr struct {
    char letter;
    unsigned flag;
} FLAG_LETTERS[] = {{'i', MODE_INVITE}, {'m', MODE_MODERATED}, {'n', MODE_NO_OUTSIDE}, {'t', MODE_TOPIC}};

void freeEntry(int entry) { std::memset(&modeTable[entry], 0, sizeof modeTable[entry]); }

// Entries of channels that no member here or elsewhere is in any longer.
void sweepEmpty()
{
    for (int i = 0; i < modeSlots; ++i)
        if (modeTable[i].name[0] != '\0' && !channelExists(modeTable[i].name)) freeEntry(i);
}

int takeFreeEntry()
{
    for (int i = 0; i < modeCapacity; ++i) {
        if (i == modeSlots) ++modeSlots;
        if (modeTable[i].name[0] == '\0') return i;
    }
    return -1;
}

int findPrivileged(const ChannelModes &c, const char *nick)
{
    for (int i = 0; i < c.privilegedCount; ++i)
        if (sameName(c.privileged[i].nick, nick)) return i;
    return -1;
}

void dropPrivileged(ChannelModes &c, int at)
{
    std::memmove(c.privileged + at, c.privileged + at + 1, static_cast<size_t>(c.privilegedCount - at - 1) * sizeof *c.privileged);
    --c.privilegedCount;
}

void dropInvited(ChannelModes &c, const char *nick)
{
    for (int i = 0; i < c.invitedCount; ++i) {
        if (!sameName(c.invited[i], nick)) continue;
        std::memmove(c.invited + i, c.invited + i + 1, static_cast<size_t>(c.invitedCount - i - 1) * sizeof *c.invited);
        --c.invitedCount;
        return;
    }
}

bool invited(const ChannelModes &c, const char *nick)
{
    for (int i = 0; i < c.invitedCount; ++i)
        if (sameName(c.invited[i], nick)) return true;
    return false;
}

// Adds or takes away PRIV_OP or PRIV_VOICE; false when the list has no room for another member.
bool setPrivilege(ChannelModes &c, const char *nick, unsigned char bit, bool on)
{
    int at = findPrivileged(c, nick);
    if (at < 0 && !on) return true;
    if (at < 0) {
        if (c.privilegedCount == PRIVILEGED_MAX) return false;
        at = c.privilegedCount++;
        copyCut(c.privileged[at].nick, nick);
        c.privileged[at].privilege = 0;
    }
    if (on) c.privileged[at].privilege |= bit;
    else c.privileged[at].privilege &= static_cast<unsigned char>(~bit);
    if (c.privileged[at].privilege == 0) dropPrivileged(c, at);
    return true;
}

bool laterThan(unsigned serial, uint32_t writer, const ChannelModes &c)
{
    return serial > c.serial || (serial == c.serial && writer > c.writer);
}

void formatSnapshot(const ChannelModes &c, char (&text)[LINE_SIZE])
{
    char head[LINE_SIZE];
    std::snprintf(head, sizeof head, "%s %u %lu ", c.name, c.serial, static_cast<unsigned long>(c.writer));
    TextBuilder b(text);
    b.add(head);
    addModeWords(b, c);
    for (int i = 0; i < c.privilegedCount; ++i) {
        const unsigned char p = c.privileged[i].privilege;
        b.add(p == (PRIV_OP | PRIV_VOICE) ? " %" : (p & PRIV_OP) ? " @" : " +");
        b.add(c.privileged[i].nick);
    }
}

// Whatever an entry kept of an earlier channel of that name ended with its last member.
void openWithOperator(const char *channel, const char *nick, unsigned serial, uint32_t writer)
{
    const int entry = modesFor(channel);
    if (entry < 0) return;
    ChannelModes &c = modeTable[entry];
    freeEntry(entry);
    copyCut(c.name, channel);
    c.serial = serial;
    c.writer = writer;
    setPrivilege(c, nick, PRIV_OP, true);
}

bool readNumber(const char *word, unsigned long &value)
{
    if (!word || !isDigit(word[0])) return false;
    char *end = nullptr;
    value = std::strtoul(word, &end, 10);
    return *end == '\0';
}

// A user of this node that is in no channel of that name here cannot hold privileges in it.
bool strayLocalNick(const char *channel, const char *nick)
{
    const int slot = findUser(nick);
    if (slot < FIRST_CLIENT_SLOT) return false;
    const int roomSlot = checkChannel(channel);
    return roomSlot < 0 || !isMember(roomSlot, slot);
}

// A snapshot's privileged words replace the entry's list.
void takePrivilegedWords(ChannelModes &c, LineCursor &cur)
{
    c.privilegedCount = 0;
    for (const char *word = cur.next(); word && std::strcmp(word, SNAPSHOT_SEPARATOR) != 0; word = cur.next()) {
        const unsigned char p = word[0] == '@' ? PRIV_OP : word[0] == '+' ? PRIV_VOICE : word[0] == '%' ? PRIV_OP | PRIV_VOICE : 0;
        if (p == 0 || !checkNickFormat(word + 1) || strlen(word + 1) > NICK_MAX || strayLocalNick(c.name, word + 1)) continue;
        if (p & PRIV_OP) setPrivilege(c, word + 1, PRIV_OP, true);
        if (p & PRIV_VOICE) setPrivilege(c, word + 1, PRIV_VOICE, true);
    }
}

}  // namespace

void addModeWords(TextBuilder &b, const ChannelModes &c)
{
    char flags[16];
    modeWord(c, flags);
    b.add(flags);
    if (c.key[0] != '\0') {
        b.add(" ");
        b.add(c.key);
    }
    char limit[16];
    std::snprintf(limit, sizeof limit, " %d", c.limit);
    if (c.limit > 0) b.add(limit);
}

void modeWord(const ChannelModes &c, char (&word)[16])
{
    int n = 0;
    word[n++] = '+';
    for (const auto &f : FLAG_LETTERS)
        if (c.flags & f.flag) word[n++] = f.letter;
    if (c.key[0] != '\0') word[n++] = 'k';
    if (c.limit > 0) word[n++] = 'l';
    word[n] = '\0';
}

unsigned flagOfLetter(char letter)
{
    for (const auto &f : FLAG_LETTERS)
        if (f.letter == letter) return f.flag;
    return 0;
}

void sizeChannelModes(int entries)
{
    std::free(modeTable);
    const size_t count = static_cast<size_t>(entries > 0 ? entries : 1);
    modeTable = static_cast<ChannelModes *>(std::calloc(count, sizeof *modeTable));
    if (!modeTable) {
        std::fprintf(stderr, "quorvel: no memory for the modes of %zu channels\n", count);
        std::exit(1);
    }
    modeCapacity = static_cast<int>(count);
    modeSlots = 0;
}

int findModes(const char *channel)
{
    for (int i = 0; i < modeSlots; ++i)
        if (sameName(modeTable[i].name, channel)) return i;
    return -1;
}

int modesFor(const char *channel)
{
    const int known = findModes(channel);
    if (known >= 0) return known;
    int entry = takeFreeEntry();
    if (entry < 0) {
        sweepEmpty();
        entry = takeFreeEntry();
    }
    if (entry >= 0) copyCut(modeTable[entry].name, channel);
    return entry;
}

ChannelModes &modesAt(int entry) { return modeTable[entry]; }

unsigned char privilegeOf(const char *channel, const char *nick)
{
    const int entry = findModes(channel);
    if (entry < 0) return 0;
    const int at = findPrivileged(modeTable[entry], nick);
    return at < 0 ? 0 : modeTable[entry].privileged[at].privilege;
}

int hasModeFlag(const char *channel, unsigned flag)
{
    const int entry = findModes(channel);
    return entry >= 0 && (modeTable[entry].flags & flag) ? 1 : 0;
}

int isChannelOperator(int slot, int roomSlot)
{
    if (roomSlot <= 0 || !isMember(roomSlot, slot)) return 0;
    return (privilegeOf(rooms[roomSlot].name, connections[slot].nick) & PRIV_OP) ? 1 : 0;
}

const char *privilegeMark(const char *channel, const char *nick)
{
    const unsigned char p = privilegeOf(channel, nick);
    return (p & PRIV_OP) ? "@" : (p & PRIV_VOICE) ? "+" : "";
}

const char *shownNick(const char *channel, const char *nick)
{
    static char shown[NICK_MAX + 2];
    std::snprintf(shown, sizeof shown, "%s%s", privilegeMark(channel, nick), nick);
    return shown;
}

const char *shownChannel(const char *channel, const char *nick)
{
    static char shown[CHANNEL_NAME_MAX + 2];
    std::snprintf(shown, sizeof shown, "%s%s", privilegeMark(channel, nick), channel);
    return shown;
}

void foundChannel(int slot, int roomSlot)
{
    const char *name = rooms[roomSlot].name;
    if (channelsHaveModes() && countNetworkMembers(name) == 0) openWithOperator(name, connections[slot].nick, 1, curr_nodeID);
}

void foundElsewhere(const char *channel, const char *nick, uint32_t node) { openWithOperator(channel, nick, 0, node); }

void memberLeaves(const char *channel, const char *nick)
{
    const int entry = findModes(channel);
    if (entry < 0) return;
    ChannelModes &c = modeTable[entry];
    const int at = findPrivileged(c, nick);
    if (at >= 0) dropPrivileged(c, at);
}

void privilegesFollowNick(const char *oldNick, const char *newNick)
{
    for (int i = 0; i < modeSlots; ++i) {
        ChannelModes &c = modeTable[i];
        const int at = findPrivileged(c, oldNick);
        if (at >= 0) copyCut(c.privileged[at].nick, newNick);
        for (int k = 0; k < c.invitedCount; ++k)
            if (sameName(c.invited[k], oldNick)) copyCut(c.invited[k], newNick);
    }
}

bool refusedByModes(int slot, const char *channel, const char *key)
{
    const int entry = findModes(channel);
    if (entry < 0 || !channelExists(channel)) return false;
    ChannelModes &c = modeTable[entry];
    const char *nick = connections[slot].nick;
    const int roomSlot = checkChannel(channel);
    const int members = (roomSlot > 0 ? rooms[roomSlot].userCount : 0) + countNetworkMembers(channel);
    if ((c.flags & MODE_INVITE) && !invited(c, nick)) {
        replyf(slot, FMT_473_INVITE_ONLY, serverName(), nick, channel);
        return true;
    }
    if (c.key[0] != '\0' && (!key || std::strcmp(key, c.key) != 0)) {
        replyf(slot, FMT_475_BAD_KEY, serverName(), nick, channel);
        return true;
    }
    if (c.limit > 0 && members >= c.limit) {
        replyf(slot, FMT_471_CHANNEL_LIMIT, serverName(), nick, channel);
        return true;
    }
    dropInvited(c, nick);  // an invitation lets its user in once
    return false;
}

bool silencedByModes(int slot, const char *channel, const char *command)
{
    // The exact node sets no modes: its channel lines skip the table's walk.
    if (!channelsHaveModes()) return false;
    const int entry = findModes(channel);
    if (entry < 0) return false;
    const ChannelModes &c = modeTable[entry];
    const int roomSlot = checkChannel(channel);
    const bool member = roomSlot > 0 && isMember(roomSlot, slot);
    const bool outside = (c.flags & MODE_NO_OUTSIDE) && !member;
    const bool unvoiced = (c.flags & MODE_MODERATED) && privilegeOf(channel, connections[slot].nick) == 0;
    if (!outside && !unvoiced) return false;
    if (std::strcmp(command, "PRIVMSG") == 0)
        replyf(slot, FMT_404_CANNOT_SEND, serverName(), connections[slot].nick, channel);
    return true;
}

void inviteHere(const char *channel, const char *nick)
{
    const int entry = modesFor(channel);
    if (entry < 0) return;
    ChannelModes &c = modeTable[entry];
    if (invited(c, nick)) return;
    // The oldest invitation makes room for the newest.
    if (c.invitedCount == INVITED_MAX) {
        std::memmove(c.invited, c.invited + 1, static_cast<size_t>(INVITED_MAX - 1) * sizeof *c.invited);
        --c.invitedCount;
    }
    copyCut(c.invited[c.invitedCount++], nick);
}

bool changeMode(ChannelModes &c, char sign, char letter, const char *param)
{
    const bool on = sign == '+';
    if (const unsigned flag = flagOfLetter(letter)) {
        const unsigned before = c.flags;
        c.flags = on ? c.flags | flag : c.flags & ~flag;
        return c.flags != before;
    }
    switch (letter) {
    case 'k':
        if (!on && c.key[0] == '\0') return false;
        if (on) copyCut(c.key, param);
        else c.key[0] = '\0';
        return true;
    case 'l': {
        unsigned long value = 0;
        if (on && (!readNumber(param, value) || value == 0 || value > 1000000)) return false;
        if (!on && c.limit == 0) return false;
        c.limit = on ? static_cast<int>(value) : 0;
        return true;
    }
    case 'o':
    case 'v': {
        const unsigned char bit = letter == 'o' ? PRIV_OP : PRIV_VOICE;
        const int at = findPrivileged(c, param);
        const bool had = at >= 0 && (c.privileged[at].privilege & bit) != 0;
        return had != on && setPrivilege(c, param, bit, on);
    }
    default:
        return false;
    }
}

void stampChange(ChannelModes &c, unsigned serial, uint32_t writer)
{
    if (!laterThan(serial, writer, c)) return;
    c.serial = serial;
    c.writer = writer;
}

void showModeHere(const char *sender, const char *channel, const char *changes)
{
    const int roomSlot = checkChannel(channel);
    if (roomSlot <= 0) return;
    char line[LINE_SIZE];
    formatLine(line, FMT_MODE, sender, rooms[roomSlot].name, changes);
    sendToMembers(roomSlot, line);
}

namespace {

void skipSnapshot(LineCursor &cur)
{
    for (const char *word = cur.next(); word && std::strcmp(word, SNAPSHOT_SEPARATOR) != 0;) word = cur.next();
}

// The members here whose privileges a snapshot changed see it as the server's MODE.
void showPrivilegeChange(const ChannelModes &before, const ChannelModes &after, const char *nick)
{
    const int roomSlot = checkChannel(after.name);
    const int at = findPrivileged(before, nick);
    const unsigned char was = at < 0 ? 0 : before.privileged[at].privilege;
    const unsigned char now = privilegeOf(after.name, nick);
    if (roomSlot < 0 || was == now) return;
    const int user = findUser(nick);
    const int remote = findNetworkMember(nick);
    const bool member = user >= FIRST_CLIENT_SLOT ? isMember(roomSlot, user) != 0 : remote >= 0 && inNetworkChannel(remote, after.name);
    if (!member) return;
    for (const auto &[bit, letter] : {std::pair{PRIV_OP, 'o'}, std::pair{PRIV_VOICE, 'v'}}) {
        if ((was & bit) == (now & bit)) continue;
        const char change[] = {(now & bit) ? '+' : '-', letter, ' ', '\0'};
        char words[LINE_SIZE];
        TextBuilder b(words);
        b.add(change);
        b.add(nick);
        showModeHere(serverName(), after.name, words);
    }
}

void showPrivilegeChanges(const ChannelModes &before, const ChannelModes &after)
{
    for (int i = 0; i < before.privilegedCount; ++i) showPrivilegeChange(before, after, before.privileged[i].nick);
    for (int i = 0; i < after.privilegedCount; ++i)
        if (findPrivileged(before, after.privileged[i].nick) < 0) showPrivilegeChange(before, after, after.privileged[i].nick);
}

// One channel's snapshot, read from the cursor up to the separator or the end.
void takeOneSnapshot(uint32_t src, LineCursor &cur)
{
    const char *name = cur.next();
    unsigned long serial = 0;
    unsigned long writer = 0;
    const char *flags = nullptr;
    const int entry = name && isChannelName(name) && std::strlen(name) <= CHANNEL_NAME_MAX &&
                              readNumber(cur.next(), serial) && readNumber(cur.next(), writer) &&
                              (flags = cur.next()) != nullptr && flags[0] == '+'
                          ? modesFor(name)
                          : -1;
    if (entry < 0) return skipSnapshot(cur);
    ChannelModes &c = modeTable[entry];
    // An entry of a channel that has no members anywhere stands for nothing any longer. The view
    // of the node that made the last change stands, once it has made it.
    const bool stale = !channelExists(name);
    const bool equalFromWriter = serial == c.serial && writer == c.writer && writer == src;
    if (!stale && !laterThan(static_cast<unsigned>(serial), static_cast<uint32_t>(writer), c) && !equalFromWriter)
        return skipSnapshot(cur);
    c.flags = 0;
    c.key[0] = '\0';
    c.limit = 0;
    for (const char *p = flags + 1; *p; ++p) {
        if (*p == 'k' || *p == 'l') {
            const char *param = cur.next();
            if (param) changeMode(c, '+', *p, param);
        } else {
            changeMode(c, '+', *p, nullptr);
        }
    }
    c.serial = static_cast<unsigned>(serial);
    c.writer = static_cast<uint32_t>(writer);
    const ChannelModes before = c;
    takePrivilegedWords(c, cur);
    showPrivilegeChanges(before, c);
}

}  // namespace

void takeSnapshot(uint32_t src, const char *text)
{
    char words[LINE_SIZE];
    copyCut(words, text);
    LineCursor cur{words};
    while (*cur.pos != '\0') takeOneSnapshot(src, cur);
}

void refreshChannelModes()
{
    if (!channelsHaveModes()) return;
    sweepEmpty();
    SnapshotNotice notice;
    for (int n = 1; n <= host.roomCount; ++n) {
        const int entry = findModes(rooms[roomInOrder(n)].name);
        if (entry < 0) continue;
        const ChannelModes &c = modeTable[entry];
        // A channel without modes or privileges is what every node makes of it anyway.
        // A view no change of this node's made, and that holds nothing, is what every node makes of
        // the channel anyway; one this node stamped goes, even empty, so that two views converge.
        if (c.serial == 0 && c.flags == 0 && c.key[0] == '\0' && c.limit == 0 && c.privilegedCount == 0) continue;
        char text[LINE_SIZE];
        formatSnapshot(c, text);
        notice.add(text);
    }
}
