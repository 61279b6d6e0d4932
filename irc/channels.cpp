// The channel table and its operations; every channel's members are users of this node. Members
// are kept as connection slots, and each user's channels as room slots, so a nick lives only in
// its connection record and a rename touches no table.
#include "channels.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../core/connections.h"
#include "../core/server.h"
#include "../core/sizes.h"
#include "../core/text.h"
#include "../routing/daemon_requests.h"
#include "../rtlib/rt_args.h"
#include "channel_modes.h"
#include "member_notices.h"
#include "network_members.h"
#include "profile.h"
#include "replies.h"
#include "topics.h"

ChannelLimits channelLimits;
Room *rooms;

namespace {

struct ChannelOption {
    const char *name;
    int ChannelLimits::*field;
    int ceiling;
};

constexpr ChannelOption CHANNEL_OPTIONS[] = {
    {"--max-channels", &ChannelLimits::channels, LIMITS_CEILING.channels},
    {"--max-members", &ChannelLimits::members, LIMITS_CEILING.members},
    {"--max-joins", &ChannelLimits::joins, LIMITS_CEILING.joins},
};

ChannelLimits optionLimits = PROFILE_LIMITS;
bool optionsGiven;

// Every table below is allocated once, at start-up, with calloc. The member lists of all
// channel slots are one block: the kernel maps its pages only once a channel writes them, so the
// slots never used cost no memory, and a new channel takes the lowest free slot to keep it so.
int *memberBlock;
int *creationOrder;  // room slots, oldest first; host.roomCount of them
int *userJoins;      // per connection slot, channelLimits.joins room slots in order of joining
int *userJoinCount;  // per connection slot
unsigned *toldInRound;  // per connection slot, the MemberRound that last reached it
unsigned lastRound;
// The connection table's sizes (core/sizes.h) and the other nodes the tables were last sized for:
// a change of the first sizes them again.
int slotsSized = MAX_CONNECTIONS;
int clientsSized = MAX_CONNECTIONS - FIRST_CLIENT_SLOT;
int otherNodesSized;

// The channel modes of the largest networks are held to this many channels.
constexpr long long MODES_CEILING = 1 << 18;

template <typename T>
T *allocateOrEnd(size_t count, const char *what)
{
    void *p = std::calloc(count == 0 ? 1 : count, sizeof(T));
    if (!p) {
        std::fprintf(stderr, "quorvel: no memory for %zu %s (see --max-channels, --max-members, --max-joins)\n", count,
                     what);
        std::exit(1);
    }
    return static_cast<T *>(p);
}

int readLimit(const char *progName, const ChannelOption &option, const char *text)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < 1 || value > option.ceiling) {
        std::fprintf(stderr, "%s: invalid %s = %s (a number from 1 to %d)\n", progName, option.name, text, option.ceiling);
        std::exit(rt_error_status);
    }
    return static_cast<int>(value);
}

int *joinsOf(int slot) { return userJoins + static_cast<size_t>(slot) * static_cast<size_t>(channelLimits.joins); }

// Takes one entry out of a list, the later ones moving down so that the order is kept.
void dropFromList(int *list, int &count, int value)
{
    int at = 0;
    while (at < count && list[at] != value) ++at;
    if (at == count) return;
    std::memmove(list + at, list + at + 1, static_cast<size_t>(count - at - 1) * sizeof *list);
    --count;
}

void deleteRoom(int roomSlot)
{
    dropFromList(creationOrder, host.roomCount, roomSlot);
    std::memset(rooms[roomSlot].name, 0, sizeof rooms[roomSlot].name);
    rooms[roomSlot].userCount = 0;
}

// The member leaves the room without a word; a room left empty is deleted, and the daemon told.
void dropMember(int slot, int roomSlot)
{
    Room &room = rooms[roomSlot];
    memberLeaves(room.name, connections[slot].nick);
    dropFromList(room.users, room.userCount, slot);
    dropFromList(joinsOf(slot), userJoinCount[slot], roomSlot);
    if (room.userCount > 0) return;
    withdrawChannel(room.name);
    deleteRoom(roomSlot);
}

void takeJoin(int slot, int roomSlot) { joinsOf(slot)[userJoinCount[slot]++] = roomSlot; }

// The exact replies tell every leave with the same QUIT notice; the profile tells a QUIT with
// the whole prefix, and the reason the user gave.
void formatQuitNotice(int leaver, char (&notice)[LINE_SIZE], const char *reason = nullptr)
{
    const Connection &c = connections[leaver];
    char prefix[PREFIX_SIZE];
    userPrefix(leaver, prefix);
    if (keepsExactBytes()) formatLine(notice, FMT_QUIT_NOTICE, c.nick, c.userName, c.hostName, c.nick);
    else if (reason) formatLine(notice, FMT_QUIT_REASON, prefix, reason);
    else formatLine(notice, FMT_PROFILE_QUIT_NOTICE, prefix, c.nick);
}

}  // namespace

void takeChannelOptions(int &argc, char **argv)
{
    for (const ChannelOption &option : CHANNEL_OPTIONS) {
        const char *text = rt_take_valued_option(argc, argv, option.name);
        if (!text) continue;
        optionsGiven = true;
        optionLimits.*option.field = readLimit(argv[0], option, text);
    }
}

bool channelOptionsGiven() { return optionsGiven; }

void prepareChannelTables(int otherNodes) { sizeChannelTables(replyMode == Replies::Client ? optionLimits : EXACT_LIMITS, otherNodes); }

void sizeChannelTables(const ChannelLimits &limits, int otherNodes)
{
    std::free(rooms);
    std::free(memberBlock);
    std::free(creationOrder);
    std::free(userJoins);
    std::free(userJoinCount);
    std::free(toldInRound);
    channelLimits = limits;
    const size_t channels = static_cast<size_t>(limits.channels);
    const size_t members = static_cast<size_t>(limits.members);
    rooms = allocateOrEnd<Room>(channels + 1, "channels");
    memberBlock = allocateOrEnd<int>(channels * members, "channel members");
    creationOrder = allocateOrEnd<int>(channels, "channels");
    const auto slots = static_cast<size_t>(slotsSized);
    userJoins = allocateOrEnd<int>(slots * static_cast<size_t>(limits.joins), "joined channels");
    userJoinCount = allocateOrEnd<int>(slots, "users");
    toldInRound = allocateOrEnd<unsigned>(slots, "users");
    for (size_t r = 1; r <= channels; ++r) rooms[r].users = memberBlock + (r - 1) * members;
    host.roomCount = 0;
    lastRound = 0;
    otherNodesSized = otherNodes;
    sizeNetworkMembers(otherNodes * clientsSized, limits.joins);
    sizeTopics(limits.channels * (otherNodes + 1));
    // Every channel of the network may have modes, as many a node as this one has.
    const long long modes = static_cast<long long>(limits.channels) * (otherNodes + 1);
    sizeChannelModes(channelsHaveModes() ? static_cast<int>(modes < MODES_CEILING ? modes : MODES_CEILING) : 1);
}

bool sizeChannelSlots(const TableSizes &sizes)
{
    if (sizes.slots == slotsSized) return true;
    slotsSized = sizes.slots;
    clientsSized = sizes.clients;
    sizeChannelTables(channelLimits, otherNodesSized);
    return true;
}

bool channelExists(const char *name) { return checkChannel(name) > 0 || countNetworkMembers(name) > 0; }

int checkChannel(const char *name)
{
    for (int n = 0; n < host.roomCount; ++n)
        if (sameName(rooms[creationOrder[n]].name, name)) return creationOrder[n];
    return -1;
}

int roomInOrder(int n) { return creationOrder[n - 1]; }

int isMember(int roomSlot, int slot)
{
    const int *joined = joinsOf(slot);
    for (int i = 0; i < userJoinCount[slot]; ++i)
        if (joined[i] == roomSlot) return 1;
    return 0;
}

const int *joinedRooms(int slot) { return joinsOf(slot); }

int joinCount(int slot) { return userJoinCount[slot]; }

void removeFromChan(int slot, Leave how, const char *reason)
{
    if (userJoinCount[slot] == 0) return;
    // Every other node hears of it first, while the channels still have their names.
    MemberNotice told(slot, how == Leave::Part ? "PART" : "QUIT", reason);
    for (int i = 0; i < userJoinCount[slot]; ++i) told.add(rooms[joinsOf(slot)[i]].name);
    told.flush();
    if (how == Leave::Part) {
        while (userJoinCount[slot] > 0) partChannel(slot, joinsOf(slot)[0], nullptr);
        return;
    }
    char notice[LINE_SIZE];
    formatQuitNotice(slot, notice, reason);
    sendToChannelsOnce(slot, notice);
    while (userJoinCount[slot] > 0) dropMember(slot, joinsOf(slot)[0]);
}

void partChannel(int slot, int roomSlot, const char *reason)
{
    char notice[LINE_SIZE];
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    if (!joinKeepsOtherChannels()) formatQuitNotice(slot, notice);
    else if (reason) formatLine(notice, FMT_PART_REASON, prefix, rooms[roomSlot].name, reason);
    else formatLine(notice, FMT_PART, prefix, rooms[roomSlot].name);
    leaveChannel(slot, roomSlot, notice);
}

void leaveChannel(int slot, int roomSlot, const char *line)
{
    sendToMembers(roomSlot, line);
    dropMember(slot, roomSlot);
}

int createChannel(int slot, const char *name)
{
    if (channelTableFull() || joinsFull(slot)) return -1;
    int roomSlot = 1;
    while (rooms[roomSlot].userCount > 0) ++roomSlot;
    Room &room = rooms[roomSlot];
    copyCut(room.name, name);
    room.users[0] = slot;
    room.userCount = 1;
    creationOrder[host.roomCount++] = roomSlot;
    takeJoin(slot, roomSlot);
    return roomSlot;
}

int addMember(int roomSlot, int slot)
{
    Room &room = rooms[roomSlot];
    if (channelIsFull(roomSlot) || joinsFull(slot)) return 0;
    room.users[room.userCount++] = slot;
    takeJoin(slot, roomSlot);
    return 1;
}

int channelIsFull(int roomSlot) { return rooms[roomSlot].userCount >= channelLimits.members ? 1 : 0; }

int channelTableFull() { return host.roomCount >= channelLimits.channels ? 1 : 0; }

int joinsFull(int slot) { return userJoinCount[slot] >= channelLimits.joins ? 1 : 0; }

int sendToMembers(int roomSlot, const char *line, int exceptSlot)
{
    const Room &room = rooms[roomSlot];
    int sent = 0;
    for (int i = 0; i < room.userCount; ++i) {
        const int member = room.users[i];
        if (member == exceptSlot || connections[member].sock == 0) continue;
        sendData(member, line);
        ++sent;
    }
    return sent;
}

MemberRound::MemberRound() : round_(++lastRound)
{
    // After four billion rounds the marks start again from nothing, so no old mark can match.
    if (round_ != 0) return;
    std::memset(toldInRound, 0, static_cast<size_t>(slotsSized) * sizeof *toldInRound);
    round_ = lastRound = 1;
}

void MemberRound::send(int roomSlot, const char *line)
{
    const Room &room = rooms[roomSlot];
    for (int i = 0; i < room.userCount; ++i) {
        const int member = room.users[i];
        if (toldInRound[member] == round_ || connections[member].sock == 0) continue;
        toldInRound[member] = round_;
        sendData(member, line);
    }
}

void sendToChannelsOnce(int slot, const char *line)
{
    MemberRound round;
    for (int i = 0; i < userJoinCount[slot]; ++i) round.send(joinsOf(slot)[i], line);
}

void announceEverything()
{
    for (int slot = FIRST_CLIENT_SLOT; slot < slotReach(); ++slot) {
        const Connection &c = connections[slot];
        if (c.sock != 0 && c.registered) announceUser(c.nick);
    }
    for (int n = 1; n <= host.roomCount; ++n) announceChannel(rooms[roomInOrder(n)].name);
    announceNodesChannel();
}

bool refuseUnknownChannel(int slot, const char *channel)
{
    if (channelExists(channel)) return false;
    replyf(slot, FMT_403_NO_SUCH_CHANNEL, serverName(), connections[slot].nick, channel);
    return true;
}

bool refuseNonMember(int slot, int roomSlot, const char *channel)
{
    if (roomSlot >= 0 && isMember(roomSlot, slot)) return false;
    replyf(slot, FMT_442_NOT_ON_CHANNEL, serverName(), connections[slot].nick, channel);
    return true;
}
