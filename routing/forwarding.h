// Messages between nodes: FORWARD lines to next hops, each over a connection of its own that the
// loop drives without waiting (forward_send.cpp), and the FORWARD lines that other nodes send
// here (forward_receive.cpp).
#pragma once

#include <cstdint>

#include "../core/client_profile.h"
#include "../core/hooks.h"
#include "pending_queue.h"

struct LineCursor;

// The client profile's nodes carry more than the exact replies' PRIVMSG of words: senders as
// nick!user@host, NOTICE, the membership notices on the nodes' channel, and texts as their
// clients typed them.
inline bool carriesClientLines() { return replyMode == Replies::Client; }
// In the client profile a hop answers every line with a byte, and a line no hop confirmed is told
// to its sender; the exact replies count a hop that closed as one that took it.
inline bool hopsConfirmLines() { return replyMode == Replies::Client; }

// Sending (forward_send.cpp).

// The daemon's "OK" for the front message: the words after it name the next hops.
void forwardAnswer(const PendingMessage &m, LineCursor &hops);
// A message another node handed here (or a NOTICE, which draws no reply) whose daemon link went
// down before its answer: it was acknowledged already, so it is asked for again once a link is
// back, until the patience is over, instead of being dropped.
void keepForDaemon(const PendingMessage &m);
// Every line forwarding holds: in flight, waiting for a hop to be tried again, or to be asked for
// again. All of it draws on one fixed pool, so the input gate counts it all.
int heldForHops();
// A message whose next hops are already known, from the connection `serial` in `owner`.
void forwardToHops(const uint32_t *hops, int count, const Message &m, int owner, unsigned serial);
// 1 while some message waits to be asked of the daemon again.
int linesToAskAgain();
// A message for a nick that another message waits to be asked again for goes behind it, so that
// it does not overtake it; false when none waits.
bool waitBehindAskedAgain(const Message &m, int owner, unsigned serial);
// Charges every line held for a hop to the slot and peer it was sent by (NO_SLOT for another node's).
void chargeHeldForHops(void (*charge)(int owner, unsigned serial));
Poller forwardingPoller();
// Lines queued for the neighbour with index n in neighborNodes, or in flight to it.
int linesForHop(int n);

// Receiving (forward_receive.cpp).

// Reads a node ID as the decimal number it must be, digits only (a leading '+' and zeros are
// fine); anything else is 0, which no hop may be.
uint32_t readNodeId(const char *word);
// The first line of a fresh connection from peerAddr: a client's when it is not a FORWARD line;
// refused without a word when it does not come from another node of the configuration or does
// not read as one; declined when it needs what this node lacks now (its daemon, room for it); a
// query when this machine asks for the link status (link_status.h).
FirstLine takeForwardLine(char *line, unsigned peerAddr);
// 1 when some other node of the configuration has that IPv4 address (host order).
int isNodeAddress(unsigned peerAddr);
