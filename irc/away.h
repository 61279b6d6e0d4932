// AWAY in the client profile: the away text of each user here, by slot, the 301 that answers a
// message or a WHOIS for an away user, and the notices that tell the other nodes. The away text of
// another node's member lives in its entry of the network member table.
#pragma once

#include <cstdint>

#include "../core/client_profile.h"
#include "dispatch.h"

struct Message;
struct TableSizes;

// Characters of an away text: an AWAY notice holds it whole beside the user's prefix.
inline constexpr int AWAY_MAX = 300;

bool sizeAwayTable(const TableSizes &sizes);
void clearAwayTable();
void handleAway(int slot, LineCursor &cur);
// The away text of `nick`, here or on another node; nullptr when it is not away.
const char *awayTextFor(const char *nick);
// The away text of the user in `slot` here, or nullptr when it is not away.
const char *awayTextOf(int slot);
// Only the client profile takes AWAY: without it nobody is ever away, and a message to a nick costs
// no second lookup.
inline bool anyoneMayBeAway() { return replyMode == Replies::Client; }
// 301 to the user in `slot` when `nick` is away, here or on another node.
void replyIfAway(int slot, const char *nick);
// An AWAY notice that node `src` sent for one of its members: ":text" away, "-" back. False when
// its text does not read as one.
bool takeAwayNotice(uint32_t src, const Message &m);
// ":text" or "-": the text of an AWAY notice.
bool readsAsAwayNotice(const char *text);
// The user in `slot` was just announced in channels (a JOIN, or the refresh that repeats them):
// when it is away, the other nodes hear that too, as they may have learned of the user only now.
void announceAwayAfterJoin(int slot);
