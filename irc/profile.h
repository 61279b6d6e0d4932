// The client profile: replies shaped for real IRC clients (welcome numerics, full user prefixes,
// the requester in every numeric, network-wide channels), taken by every node with --compat.
// Without it every reply keeps its exact bytes.
#pragma once

#include "../core/client_profile.h"
#include "../core/limits.h"

// Whether a line keeps the exact replies' bytes: the lines both modes send but shape apart (the
// prefixes, the 471 text, the QUIT and NICK notices) pick their format by it.
inline bool keepsExactBytes() { return replyMode == Replies::Exact; }

// The requester's nick for a numeric's target field: "*" before a nick in the profile.
const char *requesterNick(int slot);
// What follows the code in a numeric that the exact replies send without a target: " nick" (or " *")
// in the profile, nothing otherwise. Valid until the next call.
const char *numericTarget(int slot);
// The prefix of a line from the user in the slot: nick!user@host in the profile, the nick alone
// otherwise.
void userPrefix(int slot, char (&prefix)[PREFIX_SIZE]);
// nick!user@host, each part cut where the prefix runs out.
void formatPrefix(char (&prefix)[PREFIX_SIZE], const char *nick, const char *user, const char *host);
