// PRIVMSG, and the delivery of a message to the users and channel members of this node, which
// messages from other nodes share.
#pragma once

#include "../core/text.h"
#include "../routing/pending_queue.h"
#include "../routing/routing_hooks.h"
#include "dispatch.h"

// The nick's connection gets the message, or, when it is not here, the daemon is asked for it.
// True when it was delivered here.
bool sendToNick(int owner, const Message &m);
// Every member here but the owner gets the message; then the daemon is asked for the channel's
// next hops under `routeName`.
void sendToChannel(int owner, const Message &m, const char *routeName);
// What routing tells a sender here about a message it could not carry (routingHooks.tellSender).
void tellSender(int slot, const char *target, SenderTold what);

void handlePrivmsg(int slot, LineCursor &cur);
void handleNotice(int slot, LineCursor &cur);
