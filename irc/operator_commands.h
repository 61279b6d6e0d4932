// MODE of a channel, KICK and INVITE in the client profile, and the notices that carry them to
// every other node.
#pragma once

#include <cstdint>

#include "../core/text.h"

struct Message;

// MODE #channel [changes [parameters]]: the modes, or the operator's changes.
void handleChannelMode(int slot, const char *channel, LineCursor &cur);
void handleKick(int slot, LineCursor &cur);
void handleInvite(int slot, LineCursor &cur);
// The user `target` here, when registered, is invited by `sender` (a prefix): recorded where its
// JOIN is checked, and told.
void deliverInvite(const char *sender, const char *target, const char *channel);
// Another node's MODE, MODES, KICK or INVITE notice, taken here (member_notices.cpp hands it on).
void takeChannelModeNotice(uint32_t src, const Message &m);
