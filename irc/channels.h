// The channel table: which channels exist on this node, which of its own users are in each, and
// the channels each user is in. Its sizes are fixed at start-up.
#pragma once

#include "../core/limits.h"
#include "../core/names.h"

struct ChannelLimits {
    int channels;  // channels on this node at once
    int members;   // members of one channel on this node
    int joins;     // channels one user may be in at once
};
// The exact replies keep four channels of ten members, and one channel a user.
inline constexpr ChannelLimits EXACT_LIMITS{MAX_ROOMS, MAX_MEMBERS, 1};
// The client profile's, unless --max-channels, --max-members and --max-joins say otherwise.
inline constexpr ChannelLimits PROFILE_LIMITS{1024, 1024, 20};
// The most an option may ask for: the member list of every channel slot is allocated whole, and
// a user's channels always fit the one notice that tells other nodes of a QUIT, a JOIN 0 or a JOIN
// list (33 names of 9 characters), so that such a line asks routing for one slot, as the input
// gate counts.
inline constexpr ChannelLimits LIMITS_CEILING{65536, 65536, 33};

extern ChannelLimits channelLimits;

struct Room {
    char name[CHANNEL_NAME_MAX + 1];
    int userCount;  // 0 marks a free slot
    int *users;     // connection slots in order of joining; channelLimits.members of them
};

// A JOIN in the exact replies leaves the user's one channel first, so that leaving a channel is
// leaving the server's channels, shown as the user's QUIT line; the client profile keeps every
// channel joined, up to channelLimits.joins.
inline bool joinKeepsOtherChannels() { return replyMode == Replies::Client; }

// Slots 1 to channelLimits.channels; slot 0 is never used. A channel keeps its slot for its life,
// and host.roomCount counts the channels.
extern Room *rooms;

// Takes --max-channels, --max-members and --max-joins out of argv wherever they stand; a value
// that is no number from 1 to its ceiling ends the process with status 255.
void takeChannelOptions(int &argc, char **argv);
bool channelOptionsGiven();
// Start-up: the tables for the options' sizes in the client profile (the exact replies' own
// otherwise), with room for the members of `otherNodes` nodes. Ends the process when the memory
// cannot be had; allocated once, so nothing is allocated while the node serves.
void prepareChannelTables(int otherNodes);
// The same for given sizes; frees the tables of an earlier call, and leaves every table empty.
void sizeChannelTables(const ChannelLimits &limits, int otherNodes);
// The tables indexed by slot follow the connection table's sizes, and the other nodes' members
// its client count (each node is taken to have as many clients as this one).
struct TableSizes;
bool sizeChannelSlots(const TableSizes &sizes);

// Sends "ADDUSER" for every registered user and "ADDCHAN" for every channel of this node, and
// the nodes' channel: the daemon link came (back) up.
void announceEverything();
int checkChannel(const char *name);  // slot of the channel of that name (sameName), or -1
// A channel with members here or on another node; it ends when its last member anywhere leaves.
bool channelExists(const char *name);
// The slot of the channel created n-th of those that exist, 1 the oldest, host.roomCount the newest.
int roomInOrder(int n);
int isMember(int roomSlot, int slot);
// The refusals that the commands on one channel share, sent to the user in `slot`: 403 when no
// node knows the channel, 442 when the user is not in it here. True when one was sent.
bool refuseUnknownChannel(int slot, const char *channel);
bool refuseNonMember(int slot, int roomSlot, const char *channel);
// The channels the user in `slot` is in, as room slots in order of joining; joinCount() of them.
const int *joinedRooms(int slot);
int joinCount(int slot);

enum class Leave { Quit, Part };  // a PART is told as such in the client profile
// The user in `slot` leaves every channel it is in: one notice to every member (itself included)
// however many channels they share, and "REMOVECHAN" for each channel left empty and deleted.
// In no channel, no effect. Other nodes hear of it in as few notices as the names fit in.
// A QUIT's reason, as the user typed it, replaces the standard text in the client profile.
void removeFromChan(int slot, Leave how = Leave::Quit, const char *reason = nullptr);
// The user in `slot` parts the one channel in `roomSlot`: its members see the PART (with the
// reason when there is one); other nodes are the caller's to tell.
void partChannel(int slot, int roomSlot, const char *reason);
// The user in `slot` leaves the channel in `roomSlot` as its members, itself included, see `line`
// (a PART or a KICK); other nodes are the caller's to tell.
void leaveChannel(int slot, int roomSlot, const char *line);
// The connection in `slot` opens a channel; the new slot, or -1 when the table is full.
int createChannel(int slot, const char *name);
// The connection in `slot` becomes the last member; 0 when the member list is full.
int addMember(int roomSlot, int slot);
int channelIsFull(int roomSlot);
int channelTableFull();
int joinsFull(int slot);  // 1 when the user is in as many channels as it may be
// In list order, to every member but the one in `exceptSlot`; how many got it.
int sendToMembers(int roomSlot, const char *line, int exceptSlot = -1);

// Sends to the members of several channels, each member once however many of them it is in: a
// QUIT or NICK line reaches everyone who shares a channel with the user exactly once.
class MemberRound {
public:
    MemberRound();
    void send(int roomSlot, const char *line);

private:
    unsigned round_;
};
// The user's line to every member of every channel it is in, itself included, once each.
void sendToChannelsOnce(int slot, const char *line);
