// Everything the server says to its routing daemon, written in one place: the announcements of
// users and channels, which get no answer, and the route requests, each of which gets exactly one
// answer that the pending queue pairs with the message it queued for it.
#pragma once

#include "../core/limits.h"

void announceUser(const char *nick);        // ADDUSER
void withdrawUser(const char *nick);        // REMOVEUSER
void announceChannel(const char *channel);  // ADDCHAN
void withdrawChannel(const char *channel);  // REMOVECHAN

// The request for a nick's next hop, and for a channel's next hops from the node where the
// message entered the network (its ID in decimal, this node's own or what a FORWARD line brought).
void formatNickRequest(char (&request)[LINE_SIZE], const char *nick);
void formatChannelRequest(char (&request)[LINE_SIZE], const char *srcNode, const char *channel);
// Writes a request made by one of the two above. Only the pending queue calls it, as it queues the
// message the answer will be paired with.
void sendRouteRequest(const char *request);
