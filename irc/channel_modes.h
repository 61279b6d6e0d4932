// Channel modes in the client profile: the flags, key and limit of every channel this node knows
// of, its operators and voiced members, and the invitations waiting for users here. Every node
// keeps the whole network's channels, so a user who joins a channel that lives only elsewhere meets
// its modes; without the profile the table stays empty and nobody is an operator.
#pragma once

#include <cstdint>

#include "../core/client_profile.h"
#include "../core/limits.h"

// Only the client profile's channels have modes, operators and invitations.
inline bool channelsHaveModes() { return replyMode == Replies::Client; }

inline constexpr int CHANNEL_KEY_MAX = 23;  // characters of a +k key
inline constexpr int PRIVILEGED_MAX = 24;   // operators and voiced members of one channel
inline constexpr int INVITED_MAX = 8;       // users of this node invited to one channel

enum ModeFlag : unsigned { MODE_INVITE = 1, MODE_MODERATED = 2, MODE_NO_OUTSIDE = 4, MODE_TOPIC = 8 };
enum Privilege : unsigned char { PRIV_OP = 1, PRIV_VOICE = 2 };

struct PrivilegedMember {
    char nick[NICK_MAX + 1];
    unsigned char privilege;  // PRIV_OP and PRIV_VOICE bits; 0 never stays in the list
};

struct ChannelModes {
    char name[CHANNEL_NAME_MAX + 1];  // empty marks a free entry
    unsigned flags;
    char key[CHANNEL_KEY_MAX + 1];  // empty: no +k
    int limit;                      // 0: no +l
    // The last change this node took: its count and the node that made it. Nodes compare the pair
    // to settle which of two views of a channel stands (the higher), so that they converge.
    unsigned serial;
    uint32_t writer;
    int privilegedCount;
    PrivilegedMember privileged[PRIVILEGED_MAX];
    int invitedCount;
    char invited[INVITED_MAX][NICK_MAX + 1];
};

// Sized with the channel tables: room for `entries` channels network-wide.
void sizeChannelModes(int entries);
// The entry of the channel, or -1.
int findModes(const char *channel);
// The entry of the channel, taken when absent; -1 when the table is full.
int modesFor(const char *channel);
ChannelModes &modesAt(int entry);

// 1 when the user in `slot` is an operator of the channel in `roomSlot` (and a member of it).
int isChannelOperator(int slot, int roomSlot);
unsigned char privilegeOf(const char *channel, const char *nick);
// 1 when the channel has the flag (MODE_TOPIC, ...) set; 0 for a channel with no modes known.
int hasModeFlag(const char *channel, unsigned flag);
// The nick as NAMES shows it: "@nick", "+nick" or "nick". Valid until the next call.
const char *shownNick(const char *channel, const char *nick);
// "@", "+" or "": the nick's mark in the channel, as NAMES and WHOIS show it.
const char *privilegeMark(const char *channel, const char *nick);
// The channel's name behind the nick's mark in it, as 319 shows it (in a buffer the next call reuses).
const char *shownChannel(const char *channel, const char *nick);

// A user of this node opened the channel: when no other node has members in it, the user is its
// first operator. Every other node makes the same of the JOIN notice that tells of it
// (foundElsewhere), under a weaker stamp: a node that came late and heard first of another member
// takes the real first member's op from the next snapshot. When two nodes open a channel at once,
// the snapshots of the next refresh settle it for the higher node's.
void foundChannel(int slot, int roomSlot);
void foundElsewhere(const char *channel, const char *nick, uint32_t node);
// A member of the channel left it (PART, QUIT, KICK), here or on another node: its privileges go.
void memberLeaves(const char *channel, const char *nick);
// Privileges and invitations follow a user that changes its nick.
void privilegesFollowNick(const char *oldNick, const char *newNick);

// JOIN's checks for +i, +k and +l: the refusal's numeric sent, or false when the user may join.
bool refusedByModes(int slot, const char *channel, const char *key);
// PRIVMSG's checks for +n and +m: true when the user in `slot` may not speak in the channel (and
// a PRIVMSG is answered with 404).
bool silencedByModes(int slot, const char *channel, const char *command);
// An invitation of the user of this node into the channel, kept until it joins.
void inviteHere(const char *channel, const char *nick);

// The MODE line to the members here, under the name the channel has here (another node may spell
// it in another case).
void showModeHere(const char *sender, const char *channel, const char *changes);

unsigned flagOfLetter(char letter);  // MODE_INVITE for 'i', ...; 0 for a letter of no flag
// "+imnt", then k and l when a key or limit is set.
void modeWord(const ChannelModes &c, char (&word)[16]);
// The mode word, then the key and the limit when they are set, as 324 shows them.
class TextBuilder;
void addModeWords(TextBuilder &b, const ChannelModes &c);
// One change of a mode letter, `param` checked by the caller (a nick for o and v, the key, the
// limit); false when it changed nothing or could not be made (the privileged list is full).
bool changeMode(ChannelModes &c, char sign, char letter, const char *param);
// The change counted as the later of what the entry holds and (serial, writer).
void stampChange(ChannelModes &c, unsigned serial, uint32_t writer);
// A snapshot of another node, "#chan serial writer +flags [key] [limit] @op +voiced %both...":
// taken when it is later than what this node holds.
void takeSnapshot(uint32_t src, const char *text);
// Every channel that has members here goes to every other node with its modes and privileges.
void refreshChannelModes();
