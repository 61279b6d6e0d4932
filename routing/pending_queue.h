// The messages that wait for the routing daemon's answers, and the handling of those answers.
#pragma once

#include "../core/limits.h"
#include "custody.h"

struct LineCursor;

inline constexpr int MSG_QUEUE_SLOTS = 512;

struct PendingMessage {
    int owner;             // the client slot that sent it, or NO_SLOT when another node did
    char target[LINE_SIZE];
    char text[LINE_SIZE];
    char sender[PREFIX_SIZE];          // the nick, or nick!user@host in the client profile
    char srcNode[NODE_ID_TEXT_SIZE];  // decimal ID of the node where the message entered the network
    char command[KEYWORD_SIZE];        // PRIVMSG, or what else the FORWARD line's keyword carries
    int pending;           // 1 while waiting for its answer, 0 once answered
    unsigned ownerSerial;  // which peer of the owner slot sent it, so no later peer is answered
    long long giveUpAt;    // set once a next hop could not be reached: asked again until then
    Custody custody;       // held from queueing until its answer was acted on
};

// Waiting messages are the slots from replySlot up to nextSlot, cyclically, oldest first;
// answered slots keep their contents until they are written again.
struct MsgQueue {
    int nextSlot;
    int replySlot;
    PendingMessage slots[MSG_QUEUE_SLOTS];
};

extern MsgQueue msgQueue;

// One message on its way through this node; every field is a terminated text.
struct Message {
    const char *srcNode;
    const char *sender;
    const char *target;  // a nick, or a channel beginning with '#' or '&'
    const char *text;
    const char *command = "PRIVMSG";  // NOTICE, or a channel notice, in the client profile
    bool repeat = false;  // taken here before under its number: handed on, not delivered again
};

// Only a PRIVMSG may draw an automatic reply (401, 437) to its sender.
bool drawsReplies(const Message &m);
// Only the connection that sent a message is told of it: the slot may have been taken over since,
// and a peer node's FORWARD connection, never registered, is written nothing.
bool ownerStillThere(int owner, unsigned serial);

void emptyQueue();
int messageWaiting();  // 1 when some message waits for an answer
int queueFull();       // 1 when the next slot still holds a waiting message
int waitingMessages();  // how many messages wait for an answer
// Slots of the routing queue that each client can always have, whatever the others hold, and
// that other nodes' lines can always have, whatever the clients hold. A client may borrow what
// neither keeps, so one user's burst is not held to a quarter of the queue while nobody else
// needs it.
// The clients' guarantees together keep at most GUARANTEES_TOGETHER slots, so that however many
// clients a node has, half the queue is always there to borrow: each client's is that share of
// them, up to CLIENT_GUARANTEE (the exact node's four clients have all of it; beyond 128
// clients, none is kept and the clients borrow alone).
inline constexpr int CLIENT_GUARANTEE = 32;
inline constexpr int TRANSIT_RESERVE = 128;
inline constexpr int GUARANTEES_TOGETHER = (MAX_CONNECTIONS - 1) * CLIENT_GUARANTEE;
static_assert(TRANSIT_RESERVE + GUARANTEES_TOGETHER < MSG_QUEUE_SLOTS, "room left to borrow");
int clientGuarantee(int clients);
struct TableSizes;
bool sizeRoutingShares(const TableSizes &sizes);  // what each client slot holds, counted per question
// How many more messages the client in `slot` may bring, waiting for the daemon or for hops, beside
// what the other clients' guarantees and other nodes' lines keep; for NO_SLOT, how many more of
// other nodes' lines fit beside what the clients' guarantees keep.
int roomForLines(int slot);
void queueMessage(int owner, const char *target, const char *text, const char *sender, const char *srcNode);
// Takes one line from the daemon link as the answer to the oldest waiting message.
void handleDaemonLine(const char *firstWord, LineCursor &rest);
void finishFront();
// A daemon line too long to be read: it finishes the front message without acting on it.
void finishUnreadableAnswer();

// Sends the request to the daemon and queues the message under `target`, so that the answer
// finds it. When no answer can come (the link is down) or no slot is free, nothing is sent and
// the sender is told at once; a message that was delivered to someone here draws no 401.
void requestRoute(const char *request, int owner, const Message &m, const char *target, bool deliveredHere);
// The same for a message whose next hop failed: m.target is asked for again on behalf of the
// connection `serial` in `owner`, until giveUpAt.
void askDaemon(const char *request, const Message &m, int owner, unsigned serial, long long giveUpAt);
// Answers for the sender, when it is a client here that is still connected.
void tellNoSuchTarget(int owner, unsigned serial, const char *target);
// The keyword of a FORWARD line that answers a message no node could deliver: it goes, on node
// links only, to the node of the message's sender, which tells its user the 401.
inline constexpr char UNDELIVERED_KEYWORD[] = "401";
// No node hosts the message's target, or no hop took it in time: a sender here hears the 401 at
// once, a sender on another node along the links (the message's own PRIVMSG only, never an
// answer to an answer).
void tellUndelivered(int owner, unsigned serial, const Message &m);
inline Message messageOf(const PendingMessage &m) { return {m.srcNode, m.sender, m.target, m.text, m.command}; }
void tellRoutingBusy(int owner, unsigned serial, const char *target);
// Its line was written to the next hop, which never said it handled it; only the profile tells.
void tellUnconfirmed(int owner, unsigned serial, const char *target);
// The client profile asks the daemon whether another node hosts `nick` before the slot takes it;
// false when it cannot be asked (no link, no free slot), and the nick is then taken as free.
bool askNickElsewhere(int slot, const char *nick);
// The same for the nick the user in the slot holds, asked again once a period: two nodes that
// granted one nick at the same moment both heard that no other node hosts it.
bool askNickStillOurs(int slot);
// The daemon link is gone: no waiting message will be answered, so each one's sender here gets
// the 401; another node's line, acknowledged already, waits to be asked for again.
void dropWaitingMessages();
