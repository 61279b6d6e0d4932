// The pending-message queue: the daemon's answers carry no tag, so each one is paired with the
// oldest waiting message, and every answer finishes exactly one.
#include "pending_queue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "../core/client_profile.h"
#include "../core/clock.h"
#include "../core/connections.h"
#include "../core/names.h"
#include "../core/server.h"
#include "../core/sizes.h"
#include "../core/text.h"
#include "../rtlib/rt_key.h"
#include "daemon_requests.h"
#include "forwarding.h"
#include "node_link.h"
#include "route_cache.h"
#include "routing_hooks.h"

MsgQueue msgQueue;

namespace {

// The keywords of a queued question whether a nick lives on another node, before a client takes
// it and then again while a user holds it; no FORWARD carries them.
constexpr char NICK_CHECK[] = "NICK?";
constexpr char NICK_HELD[] = "NICK=";

bool isNickQuestion(const PendingMessage &m)
{
    return std::strcmp(m.command, NICK_CHECK) == 0 || std::strcmp(m.command, NICK_HELD) == 0;
}

void answerNickQuestion(const PendingMessage &m, bool elsewhere)
{
    if (std::strcmp(m.command, NICK_HELD) == 0) routingHooks.heldNickAnswered(m.owner, m.ownerSerial, m.target, elsewhere);
    else routingHooks.nickCheckAnswered(m.owner, m.ownerSerial, m.target, elsewhere);
}


unsigned serialOf(int owner) { return owner >= 0 ? connections[owner].serial : 0; }


// Per client slot, what it holds of the routing queue, counted afresh for each question; only the
// slots that hold something are touched, so that a node of thousands of clients counts a few.
int exactHeld[MAX_CONNECTIONS];
int exactHolders[MAX_CONNECTIONS];
int *held = exactHeld;
int *holders = exactHolders;
int holderCount;

void charge(int owner, unsigned serial)
{
    const int slot = clientSlotOf(owner, serial);
    if (slot < 0) return;
    if (held[slot]++ == 0) holders[holderCount++] = slot;
}

// Messages are charged to the connection that sent them, by its serial, whether or not it is
// answered: a NOTICE counts as a PRIVMSG does. Answered ones count until their hops are done.
// One walk for every client at once, as the gate asks before each read.
void countHeld()
{
    for (int i = 0; i < holderCount; ++i) held[holders[i]] = 0;
    holderCount = 0;
    chargeHeldForHops(charge);
    const int waiting = waitingMessages();
    for (int i = 0; i < waiting; ++i) {
        const PendingMessage &m = msgQueue.slots[(msgQueue.replySlot + i) % MSG_QUEUE_SLOTS];
        if (m.pending > 0) charge(m.owner, m.ownerSerial);
    }
}

void queueRequest(const char *request, const Message &m, int owner, unsigned serial, long long giveUpAt)
{
    sendRouteRequest(request);
    queueMessage(owner, m.target, m.text, m.sender, m.srcNode);
    PendingMessage &queued = msgQueue.slots[(msgQueue.nextSlot + MSG_QUEUE_SLOTS - 1) % MSG_QUEUE_SLOTS];
    copyCut(queued.command, m.command);
    queued.ownerSerial = serial;
    queued.giveUpAt = giveUpAt;
}

// A daemon that holds the network's key challenges every link before anything else; a node with
// the key answers before the link is taken, so this one has none. The line is no answer to pair,
// and the link is given up (the daemon refuses it anyway), so that what waits is answered now.
void refuseChallenge()
{
    static bool said = false;
    if (!said) std::fprintf(stderr, "The routing daemon asks for the network's key: start the node with --key FILE\n");
    said = true;
    markBroken(DAEMON_SLOT);
}

bool askNick(int slot, const char *nick, const char *keyword)
{
    if (connections[DAEMON_SLOT].sock == 0 || queueFull()) return false;
    char request[LINE_SIZE];
    formatNickRequest(request, nick);
    const Message m{"", nick, nick, "", keyword};
    queueRequest(request, m, slot, connections[slot].serial, 0);
    return true;
}

}  // namespace

bool ownerStillThere(int owner, unsigned serial)
{
    if (owner < FIRST_CLIENT_SLOT || owner >= slotCount()) return false;
    const Connection &c = connections[owner];
    return c.sock != 0 && c.registered && c.serial == serial;
}

bool drawsReplies(const Message &m) { return std::strcmp(m.command, "PRIVMSG") == 0; }

void tellNoSuchTarget(int owner, unsigned serial, const char *target)
{
    if (ownerStillThere(owner, serial)) routingHooks.tellSender(owner, target, SenderTold::NoSuchTarget);
}

void tellUndelivered(int owner, unsigned serial, const Message &m)
{
    if (owner != NO_SLOT) return tellNoSuchTarget(owner, serial, m.target);
    if (readNodeId(m.srcNode) == curr_nodeID && queryKeyword(m.command) && routingHooks.questionUndelivered)
        return routingHooks.questionUndelivered(m);
    // A message taken here before under its number was answered then, if it had to be.
    if (!nodeLinks || !drawsReplies(m) || readNodeId(m.srcNode) == curr_nodeID || custodyNow().repeat) return;
    // The answer is a message of this node's own, numbered afresh, held for the line it answers.
    Custody answer = custodyNow();
    answer.session = answer.number = 0;
    const CustodyScope scope(answer);
    char nick[NICK_MAX + 1] = {};
    std::memcpy(nick, m.sender, std::min(std::strcspn(m.sender, "!"), sizeof nick - 1));
    if (!checkNickFormat(nick)) return;
    char self[NODE_ID_TEXT_SIZE];
    std::snprintf(self, sizeof self, "%lu", static_cast<unsigned long>(curr_nodeID));
    char request[LINE_SIZE];
    formatNickRequest(request, nick);
    requestRoute(request, NO_SLOT, Message{self, m.sender, nick, m.target, UNDELIVERED_KEYWORD}, nick, false);
}

void tellUnconfirmed(int owner, unsigned serial, const char *target)
{
    if (hopsConfirmLines() && ownerStillThere(owner, serial)) routingHooks.tellSender(owner, target, SenderTold::Unconfirmed);
}

void tellRoutingBusy(int owner, unsigned serial, const char *target)
{
    if (ownerStillThere(owner, serial)) routingHooks.tellSender(owner, target, SenderTold::RoutingBusy);
}

void emptyQueue()
{
    msgQueue.nextSlot = 0;
    msgQueue.replySlot = 0;
}

int messageWaiting() { return msgQueue.slots[msgQueue.replySlot].pending > 0 ? 1 : 0; }

int queueFull() { return msgQueue.slots[msgQueue.nextSlot].pending > 0 ? 1 : 0; }

// A full queue has its indexes meet as an empty one does.
int waitingMessages()
{
    if (queueFull()) return MSG_QUEUE_SLOTS;
    return (msgQueue.nextSlot - msgQueue.replySlot + MSG_QUEUE_SLOTS) % MSG_QUEUE_SLOTS;
}

bool sizeRoutingShares(const TableSizes &sizes)
{
    const auto oldSlots = static_cast<size_t>(slotCount());
    const auto slots = static_cast<size_t>(sizes.slots);
    if (!resizeTable(held, exactHeld, oldSlots, slots) || !resizeTable(holders, exactHolders, oldSlots, slots)) return false;
    holderCount = 0;
    return true;
}

int clientGuarantee(int clients) { return std::min(CLIENT_GUARANTEE, GUARANTEES_TOGETHER / std::max(1, clients)); }

int roomForLines(int slot)
{
    if (queueFull()) return 0;
    // Answered messages go on waiting in forwarding: they count until they have left.
    const int heldAll = waitingMessages() + heldForHops();
    int room = MSG_QUEUE_SLOTS - heldAll;
    // What every other client, and other nodes' lines, have not taken of what is kept for them
    // stays theirs; the rest may be borrowed. Each client slot, taken or free, is kept its
    // guarantee but for what it holds.
    const int guarantee = clientGuarantee(clientSlotCount());
    const bool isClient = slot >= FIRST_CLIENT_SLOT && slot < slotCount();
    int keptForOthers = guarantee * (clientSlotCount() - (isClient ? 1 : 0));
    int clientsHeld = 0;
    if (heldAll > 0) countHeld();
    for (int i = 0; heldAll > 0 && i < holderCount; ++i) {
        const int client = holders[i];
        clientsHeld += held[client];
        if (client != slot) keptForOthers -= std::min(guarantee, held[client]);
    }
    room -= keptForOthers;
    if (slot != NO_SLOT) room -= std::max(0, TRANSIT_RESERVE - (heldAll - clientsHeld));
    return std::max(0, room);
}

void queueMessage(int owner, const char *target, const char *text, const char *sender, const char *srcNode)
{
    PendingMessage &m = msgQueue.slots[msgQueue.nextSlot];
    m.owner = owner;
    m.ownerSerial = serialOf(owner);
    m.giveUpAt = 0;
    m.pending = 1;
    copyCut(m.target, target);
    copyCut(m.text, text);
    copyCut(m.sender, sender);
    copyCut(m.srcNode, srcNode);
    copyCut(m.command, "PRIVMSG");
    m.custody = custodyTaken(readNodeId(srcNode));
    msgQueue.nextSlot = (msgQueue.nextSlot + 1) % MSG_QUEUE_SLOTS;
}

void handleDaemonLine(const char *firstWord, LineCursor &rest)
{
    if (std::strcmp(firstWord, RT_CHALLENGE_WORD) == 0) return refuseChallenge();
    // A line nobody asked for has no message to pair with; acting on an old one would repeat it.
    if (!messageWaiting()) return;
    const PendingMessage &front = msgQueue.slots[msgQueue.replySlot];
    const CustodyScope scope(front.custody);
    if (isNickQuestion(front)) {
        // Only a hop other than 0 names another node that hosts the nick.
        const char *hop = std::strcmp(firstWord, "OK") == 0 ? rest.next() : nullptr;
        answerNickQuestion(front, hop && readNodeId(hop) != 0);
    } else if (std::strcmp(firstWord, "NONE") == 0) {
        if (!isChannelName(front.target)) routeAnswered(front.target, 0, 0);
        tellUndelivered(front.owner, front.ownerSerial, messageOf(front));
    }
    else if (std::strcmp(firstWord, "OK") == 0 && front.target[0] != '\0') {
        if (nodeLinks && isChannelName(front.target))
            channelHopsAnswered(front.srcNode, front.target, rest.pos, nowMillis());
        forwardAnswer(front, rest);
    }
    // Whatever forwarding met with, the answer is used up, so the next one pairs with the next message.
    finishFront();
}

void finishFront()
{
    const int f = msgQueue.replySlot;
    if (--msgQueue.slots[f].pending > 0) return;
    custodyRelease(msgQueue.slots[f].custody);
    msgQueue.replySlot = (f + 1) % MSG_QUEUE_SLOTS;
}

void finishUnreadableAnswer()
{
    if (!messageWaiting()) return;
    // A client whose input waits for a nick question must not wait for ever: as without an answer.
    const PendingMessage &front = msgQueue.slots[msgQueue.replySlot];
    if (isNickQuestion(front)) answerNickQuestion(front, false);
    finishFront();
}

void requestRoute(const char *request, int sender, const Message &m, const char *target, bool deliveredHere)
{
    // Nothing goes back to the sender of a NOTICE or a channel notice: it is queued as no client's.
    const int owner = drawsReplies(m) ? sender : NO_SLOT;
    // A message delivered to someone here draws no 401 when no answer can come.
    if (connections[DAEMON_SLOT].sock == 0 && deliveredHere) return;
    // On links a message for a nick never overtakes one for it that waits to be asked again; a
    // fresh route serves again, unless an earlier message still waits for an answer or to be
    // asked again: this one would overtake it.
    const Message routed{m.srcNode, m.sender, target, m.text, m.command};
    if (nodeLinks && !isChannelName(target) && waitBehindAskedAgain(routed, owner, serialOf(sender))) return;
    const bool reuse = nodeLinks && !messageWaiting() && !linesToAskAgain();
    uint32_t hops[CHANNEL_HOPS_MAX];
    const int count = reuse && isChannelName(target) ? cachedChannelHops(m.srcNode, target, nowMillis(), hops) : -1;
    if (count >= 0) return forwardToHops(hops, count, routed, owner, serialOf(sender));
    const uint32_t hop = reuse && !isChannelName(target) ? cachedHop(target, nowMillis()) : 0;
    if (hop != 0) return forwardToHops(&hop, 1, routed, owner, serialOf(sender));
    // The sender's serial even where no reply goes back: it is what its share is counted by.
    askDaemon(request, routed, owner, serialOf(sender), 0);
}

void askDaemon(const char *request, const Message &m, int owner, unsigned serial, long long giveUpAt)
{
    if (connections[DAEMON_SLOT].sock == 0) return tellNoSuchTarget(owner, serial, m.target);
    // Writing over a waiting message would pair every later answer with the wrong message.
    if (queueFull()) return tellRoutingBusy(owner, serial, m.target);
    queueRequest(request, m, owner, serial, giveUpAt);
}

void dropWaitingMessages()
{
    while (messageWaiting()) {
        const PendingMessage &front = msgQueue.slots[msgQueue.replySlot];
        if (isNickQuestion(front)) answerNickQuestion(front, false);
        else if (front.owner == NO_SLOT) keepForDaemon(front);
        else tellNoSuchTarget(front.owner, front.ownerSerial, front.target);
        finishFront();
    }
}

bool askNickElsewhere(int slot, const char *nick) { return askNick(slot, nick, NICK_CHECK); }

bool askNickStillOurs(int slot) { return askNick(slot, connections[slot].nick, NICK_HELD); }
