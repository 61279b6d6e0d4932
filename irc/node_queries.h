// WHOIS and INVITE of a user that this node knows nothing of (another node's user in no channel):
// the question goes to the nick's node the way a private message does, that node answers the same
// way, and the asker hears the numerics when the answer comes, or 401 when no node hosts the nick
// or the answer is overdue.
#pragma once

#include "../core/hooks.h"

struct Message;

// Whether other nodes can be asked about `nick` now: a word that reads as a nick, in the profile,
// with neighbours and a daemon to route by.
bool canAskAbout(const char *nick);
// Whether the question about `nick` went to the other nodes for the user in `slot`; when it could
// not go for want of room, the user is told to try again (263, and 318 for a WHOIS) and it counts
// as asked. False when no other node can be asked: the caller answers as for nobody.
bool askWhoisElsewhere(int slot, const char *nick);
// INVITE of `nick` to `channel` (its name as the invitee will see it), 341 once its node answered.
bool askInviteElsewhere(int slot, const char *nick, const char *channel);
// A question or answer for the user `to` here; false when `m` is neither, and is a message.
bool takeNodeQuery(int to, const Message &m);
// No node hosts the nick of this node's question `m` (routingHooks.questionUndelivered).
void questionUndelivered(const Message &m);
// Every question whose answer is overdue at `now` ends: its asker hears 401 (and 318 for a WHOIS).
void expireNodeQueries(long long now);
void clearNodeQueries();
Poller nodeQueryPoller();
