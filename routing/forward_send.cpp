// Forwarding. Every next hop has a queue of FORWARD lines, sent in order, one line per
// connection: the node connects from its own address, writes the line, and waits for the
// receiver's answer byte and close, so that the TIME_WAIT stays with the receiver and a line is
// known to have arrived. Nothing of it ever waits in the loop. Only a line that was never written
// whole, or that the receiver declined, goes again: a hop that cannot be reached is tried again;
// a message for a nick is asked of the daemon again, as the network may route around the hop,
// until the daemons must have noticed; only then is it given up, with the 401 to its sender when
// the sender is here. A line written whole but never acknowledged may have been handled all the
// same (a reset connection still hands its buffered line to its reader), so it is never sent
// again, on any hop: the profile's sender hears that its delivery could not be confirmed.
#include "forwarding.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../core/client_profile.h"
#include "../core/clock.h"
#include "../core/connections.h"
#include "../core/log.h"
#include "../core/names.h"
#include "../core/server.h"
#include "../core/text.h"
#include "../rtlib/rt_args.h"
#include "custody.h"
#include "daemon_requests.h"
#include "node_link.h"
#include "route_cache.h"
#include "routing_hooks.h"

namespace {

// Source node, sender, keyword (PRIVMSG unless the client profile carries another), target, text;
// CR LF follows when it is framed.
constexpr char FMT_FORWARD[] = "FORWARD %lu :%s %s %s %s";

constexpr long long CONNECT_LIMIT_MS = 2000;
// A receiver answers once it has handled its line; one that has not by then leaves it unconfirmed,
// and the lines queued behind it are held back as for a hop that cannot be reached.
constexpr long long EXCHANGE_LIMIT_MS = 5000;
constexpr long long RETRY_MS = 250;
// A link down this long is not coming back soon (the neighbour restarts within it): its lines take
// another way, or wait for their patience.
constexpr long long LINK_PATIENCE_MS = 1000;

struct Outgoing {
    int next;  // the next entry of the same list, or -1
    uint32_t srcNode;
    char sender[PREFIX_SIZE];
    char command[KEYWORD_SIZE];
    char target[LINE_SIZE];
    char text[LINE_SIZE];
    int owner;  // a client slot, or NO_SLOT for a message from another node
    unsigned ownerSerial;
    long long giveUpAt;  // 0 until a hop failed it
    long long dueAt;     // when a message waiting to be asked again, or sent again on its hop, goes
    bool handedBack;     // its link's receiver could not hand it on: its acknowledgement does not settle it
    Custody custody;     // held until it leaves the pool, or it waits for another try
};

struct EntryList {
    int head = -1;
    int tail = -1;
    int count = 0;
};

enum class Stage { Idle, Connecting, AwaitingAnswer };

struct HopLink {
    int fd = -1;
    Stage stage = Stage::Idle;
    long long since = 0;    // when the stage began
    long long retryAt = 0;  // a hop that failed is tried again from then on
    bool acknowledged = false;  // the receiver took the line at the head; its close is awaited
    EntryList queue;
    // On a node link the queue's first inFlight entries are written and not yet acknowledged, and
    // `unsent` is the entry behind them (-1 when there is none).
    int inFlight = 0;
    int unsent = -1;
    // A line was handed back: its receiver hands back every line after it until it reads AGAIN, so
    // nothing more is written until every line in flight is answered, and those handed back go
    // again in the order they were written.
    bool holding = false;
    EntryList back;
    long long nextDownCheck = 0;  // while its link stays down, when the hop is looked at again
};

Outgoing pool[FORWARD_POOL + LINK_FLIGHT_MAX];
int poolTouched;  // entries from here on were never used, so their pages need not be resident
EntryList spare;  // a stack, so that the entries in use stay few and their pages warm
HopLink hops[MAX_NEIGHBORS];
// Messages to be asked of the daemon again: nick messages whose hop failed, and other nodes' lines
// whose daemon link went down before they were answered.
EntryList reask;

void push(EntryList &list, int entry)
{
    pool[entry].next = -1;
    if (list.tail >= 0) pool[list.tail].next = entry;
    else list.head = entry;
    list.tail = entry;
    ++list.count;
}

int pop(EntryList &list)
{
    const int entry = list.head;
    if (entry < 0) return -1;
    list.head = pool[entry].next;
    if (list.head < 0) list.tail = -1;
    --list.count;
    return entry;
}

// Puts the list before every line of the hop's queue.
void putFirst(HopLink &h, const EntryList &list)
{
    if (list.count == 0) return;
    pool[list.tail].next = h.queue.head;
    if (h.queue.tail < 0) h.queue.tail = list.tail;
    h.queue.head = list.head;
    h.queue.count += list.count;
}

void queueForHop(HopLink &h, int entry)
{
    push(h.queue, entry);
    if (h.unsent < 0) h.unsent = entry;
}

int popHop(HopLink &h)
{
    const int entry = pop(h.queue);
    if (entry == h.unsent) h.unsent = h.queue.head;
    return entry;
}

void release(int entry)
{
    custodyRelease(pool[entry].custody);
    pool[entry].next = spare.head;
    spare.head = entry;
    if (spare.tail < 0) spare.tail = entry;
    ++spare.count;
}

int takeEntry()
{
    if (spare.count > 0) return pop(spare);
    // Lines in flight on links are bounded apart, so only links draw on the room kept for them.
    const int size = FORWARD_POOL + (nodeLinks ? LINK_FLIGHT_MAX : 0);
    return poolTouched < size ? poolTouched++ : -1;
}

int entryFor(const PendingMessage &m)
{
    const int e = takeEntry();
    if (e < 0) return -1;
    Outgoing &o = pool[e];
    o.srcNode = readNodeId(m.srcNode);
    copyCut(o.sender, m.sender);
    copyCut(o.command, m.command);
    copyCut(o.target, m.target);
    copyCut(o.text, m.text);
    o.owner = m.owner;
    o.ownerSerial = m.ownerSerial;
    o.giveUpAt = m.giveUpAt;
    o.dueAt = 0;
    o.handedBack = false;
    o.custody = m.custody;
    custodyHold(o.custody);
    return e;
}

// The daemons notice a dead node within the neighbour timeout and route around it a cycle later.
long long patienceMs()
{
    return (static_cast<long long>(argList.neighbor_timeout) + argList.advertisement_cycle_time) * 1000;
}

void giveUp(int entry)
{
    const Outgoing &o = pool[entry];
    const CustodyScope scope(o.custody);
    char srcNode[NODE_ID_TEXT_SIZE];
    std::snprintf(srcNode, sizeof srcNode, "%lu", static_cast<unsigned long>(o.srcNode));
    tellUndelivered(o.owner, o.ownerSerial, {srcNode, o.sender, o.target, o.text, o.command});
    release(entry);
}

// A line to be asked of the daemon again lets go of its custody (it may wait long: the link it
// came on must not wait with it) and takes its place among those for the same target by when they
// came here, so that none for a nick overtakes an older one for it.
void askLater(int e, long long dueAt, long long now)
{
    Outgoing &o = pool[e];
    custodyRelease(o.custody);
    if (o.giveUpAt == 0) o.giveUpAt = now + patienceMs();
    o.dueAt = dueAt;
    int before = -1;
    for (int r = reask.head; r >= 0; before = r, r = pool[r].next) {
        if (pool[r].custody.order <= o.custody.order || !sameName(pool[r].target, o.target)) continue;
        o.next = r;
        if (before >= 0) pool[before].next = e;
        else reask.head = e;
        ++reask.count;
        return;
    }
    push(reask, e);
}

// Whether a line for the target that came here before `order` waits to be asked again.
bool olderWaits(const char *target, uint64_t order)
{
    for (int r = reask.head; r >= 0; r = pool[r].next)
        if (pool[r].custody.order < order && sameName(pool[r].target, target)) return true;
    return false;
}

void closeExchange(HopLink &h)
{
    if (h.fd >= 0) close(h.fd);
    h.fd = -1;
    h.stage = Stage::Idle;
    h.acknowledged = false;
}

// Every message queued for the hop waits, none of them taken by the receiver: a channel's for
// the same hop, as asking again would reach the other branches of its tree twice; a nick's to be
// asked of the daemon again. Each is kept until its patience is over, however many there are:
// one from another node was acknowledged there already. The input gate counts them all.
void hopFailed(HopLink &h, long long now)
{
    forgetRoutesVia(neighborNodes[&h - hops]->nodeID);
    closeExchange(h);
    h.retryAt = now + RETRY_MS;
    EntryList kept;
    for (int e = popHop(h); e >= 0; e = popHop(h)) {
        Outgoing &o = pool[e];
        custodyRelease(o.custody);
        if (o.giveUpAt == 0) o.giveUpAt = now + patienceMs();
        if (now >= o.giveUpAt) giveUp(e);
        else if (isChannelName(o.target)) push(kept, e);
        else askLater(e, now + RETRY_MS, now);
    }
    h.queue = kept;
    h.inFlight = 0;
    h.unsent = kept.head;
}

size_t formatWire(const Outgoing &o, char (&wire)[LINE_SIZE])
{
    char line[LINE_SIZE];
    formatLine(line, FMT_FORWARD, static_cast<unsigned long>(o.srcNode), o.sender, o.command, o.target, o.text);
    // Cut inside the text if it must be, so that the line keeps its CR LF and still arrives.
    return frameLine(wire, line);
}

// On a link a numbered message's FORWARD line follows its ID line, so that the line's bytes stay
// those every node reads.
constexpr size_t LINK_WIRE_SIZE = 2 * LINE_SIZE;

size_t formatLinkWire(const Outgoing &o, char (&wire)[LINK_WIRE_SIZE])
{
    const size_t idLength = custodyIdLine(o.custody, wire, LINE_SIZE);
    char line[LINE_SIZE];
    const size_t length = formatWire(o, line);
    std::memcpy(wire + idLength, line, length);
    return idLength + length;
}

void sendHead(HopLink &h, long long now)
{
    char wire[LINE_SIZE];
    const size_t length = formatWire(pool[h.queue.head], wire);
    // A new connection's send buffer always holds one line; anything less is a failed hop.
    if (send(h.fd, wire, length, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(length)) return hopFailed(h, now);
    h.stage = Stage::AwaitingAnswer;
    h.since = now;
}

// The line at the head was written whole and its exchange is over: it leaves the queue, never to
// be sent again. A close without the byte is what a receiver built without it always gives, so
// outside the profile it counts as handled; the sender is told only in the profile, as the
// exact sender is never told what befell its line on the way.
void headDone(HopLink &h, bool confirmed)
{
    closeExchange(h);
    const int e = popHop(h);
    const Outgoing &o = pool[e];
    if (!confirmed) tellUnconfirmed(o.owner, o.ownerSerial, o.target);
    release(e);
}

void connected(HopLink &h, long long now)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(h.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0) return hopFailed(h, now);
    sendHead(h, now);
}

void startExchange(int n, long long now)
{
    HopLink &h = hops[n];
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // Descriptor 0 is never stored anywhere, and the wait cannot watch what lies past its tables.
    if (!canWatch(fd)) {
        if (fd >= 0) close(fd);
        return hopFailed(h, now);
    }
    h.fd = fd;
    h.since = now;
    if (curr_node_config_entry) (void)bindSource(fd, curr_node_config_entry->ipaddr);
    const sockaddr_in addr = socketAddress(neighborNodes[n]->ipaddr, neighborNodes[n]->server_port);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) return sendHead(h, now);
    if (errno != EINPROGRESS) return hopFailed(h, now);
    h.stage = Stage::Connecting;
    // A near neighbour has often answered already: the line need not wait for the next pass.
    pollfd done{fd, POLLOUT, 0};
    if (poll(&done, 1, 0) == 1) connected(h, now);
}

bool usesLink(int n) { return nodeLinks && linkState(n) != LinkState::OneShot; }

// Writes what the link's window takes, in order; a line handed back waits for its time, and the
// lines behind it with it.
void pumpLink(int n, long long now)
{
    HopLink &h = hops[n];
    if (h.queue.count == 0) return;
    if (linkState(n) != LinkState::Up) return openLink(n);
    if (h.holding) return;
    while (h.unsent >= 0 && pool[h.unsent].dueAt <= now) {
        char wire[LINK_WIRE_SIZE];
        const size_t length = formatLinkWire(pool[h.unsent], wire);
        if (!linkRoom(n, length)) return;
        pool[h.unsent].handedBack = false;  // a hand-back answers one sending only
        linkWrite(n, wire, length);
        ++h.inFlight;
        h.unsent = pool[h.unsent].next;
    }
}

// A neighbour that turned out not to link: the lines in flight on its link may have been handled,
// so they are never sent again, as a one-shot line written but not acknowledged; their senders
// hear that delivery could not be confirmed. A new session keeps the neighbour's count of the old
// one from settling lines it never saw.
void abandonFlight(int n)
{
    HopLink &h = hops[n];
    newLinkSession(n);
    for (; h.inFlight > 0; --h.inFlight) {
        const int e = popHop(h);
        tellUnconfirmed(pool[e].owner, pool[e].ownerSerial, pool[e].target);
        release(e);
    }
}

// Every line in flight is answered, and those handed back were not handed on: a nick's is asked
// for again, a channel's goes to the same hop again after a pause, before the lines never written,
// until its patience is over; the receiver on the same link hears that what follows is new. Those
// given up are told last, as telling may route another line to this very hop.
void takeBack(int n, long long now, bool sameLink)
{
    HopLink &h = hops[n];
    h.holding = false;
    EntryList again;
    EntryList lost;
    bool reasked = false;
    for (int e = pop(h.back); e >= 0; e = pop(h.back)) {
        Outgoing &o = pool[e];
        o.handedBack = false;
        custodyRelease(o.custody);
        if (o.giveUpAt == 0) o.giveUpAt = now + patienceMs();
        o.dueAt = now + RETRY_MS;
        if (now >= o.giveUpAt) push(lost, e);
        else if (isChannelName(o.target)) push(again, e);
        else askLater(e, now + RETRY_MS, now), reasked = true;
    }
    putFirst(h, again);
    // A nick's line never written waits behind one for the same nick that is asked for again.
    if (reasked) {
        EntryList kept;
        for (int e = pop(h.queue); e >= 0; e = pop(h.queue)) {
            if (isChannelName(pool[e].target) || !olderWaits(pool[e].target, pool[e].custody.order)) push(kept, e);
            else askLater(e, now + RETRY_MS, now);
        }
        h.queue = kept;
    }
    h.unsent = h.queue.head;
    if (sameLink && usesLink(n) && linkState(n) == LinkState::Up) linkTakesAgain(n);
    for (int e = pop(lost); e >= 0; e = pop(lost)) giveUp(e);
}

void kick(int n, long long now)
{
    HopLink &h = hops[n];
    // Taken back only between one-shot exchanges, whose line is the queue's head.
    if (h.holding && h.inFlight == 0 && h.stage == Stage::Idle) takeBack(n, now, true);
    // A one-shot exchange under way ends first: its line is the queue's head.
    if (usesLink(n) && h.stage == Stage::Idle) return pumpLink(n, now);
    if (usesLink(n)) return;
    if (h.inFlight > 0) abandonFlight(n);
    if (h.holding && h.stage == Stage::Idle) takeBack(n, now, false);
    if (h.stage == Stage::Idle && h.queue.count > 0 && now >= h.retryAt) startExchange(n, now);
}

// A link down for a while: lines never written take another way, by the rules of a hop that
// failed. Lines in flight stay bound to the link's session, as the neighbour may have handled
// them, until it comes back and says which; only when their patience is over are they let go, and
// their senders hear that delivery could not be confirmed.
void linkStaysDown(int n, long long now)
{
    HopLink &h = hops[n];
    EntryList flying;
    for (int i = 0; i < h.inFlight; ++i) push(flying, pop(h.queue));
    const int inFlight = h.inFlight;
    h.unsent = h.queue.head;
    hopFailed(h, now);
    if (flying.count == 0) return;
    Outgoing &oldest = pool[flying.head];
    if (oldest.giveUpAt == 0) oldest.giveUpAt = now + patienceMs();
    if (now >= oldest.giveUpAt) {
        newLinkSession(n);
        for (int e = pop(flying); e >= 0; e = pop(flying)) {
            tellUnconfirmed(pool[e].owner, pool[e].ownerSerial, pool[e].target);
            release(e);
        }
        return;
    }
    for (int e = flying.head; e >= 0; e = pool[e].next) custodyRelease(pool[e].custody);
    putFirst(h, flying);
    h.inFlight = inFlight;
}

// The oldest `count` lines in flight leave the hop before any of them is acted on: telling a
// sender may route another message, to this very hop.
EntryList landed(HopLink &h, int count)
{
    EntryList done;
    for (int i = 0; i < count && h.inFlight > 0; ++i) {
        push(done, popHop(h));
        --h.inFlight;
    }
    return done;
}

void settle(HopLink &h, EntryList done)
{
    for (int e = pop(done); e >= 0; e = pop(done)) {
        if (pool[e].handedBack) push(h.back, e);
        else release(e);
    }
}


// The receiver's byte says whether it handled the line or declined it, which is as if the line
// had never been written. Anything else (a close alone, a reset, another byte) leaves it
// unconfirmed. The receiver's close that follows its byte is waited for, so that the TIME_WAIT
// stays with the receiver.
void answered(int n, long long now)
{
    HopLink &h = hops[n];
    char answer = 0;
    ssize_t got = recv(h.fd, &answer, 1, MSG_DONTWAIT);
    if (got == 1 && answer == LINE_TAKEN_BYTE && !h.acknowledged) {
        h.acknowledged = true;
        got = recv(h.fd, &answer, 1, MSG_DONTWAIT);
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got == 1 && answer == LINE_DECLINED_BYTE && !h.acknowledged) return hopFailed(h, now);
    headDone(h, h.acknowledged || (got == 0 && !hopsConfirmLines()));
    kick(n, now);
}

// Unless the receiver took the line and only its close is late, the head stays unconfirmed; the
// lines behind it were never written, so they wait as for a hop that cannot be reached.
void exchangeTimedOut(HopLink &h, long long now)
{
    const bool acknowledged = h.acknowledged;
    headDone(h, acknowledged);
    if (!acknowledged) hopFailed(h, now);
}

void enqueue(int n, int entry)
{
    queueForHop(hops[n], entry);
    kick(n, nowMillis());
}

// A message for a hop that no line of the configuration names cannot travel; its sender is told.
void forwardTo(uint32_t hop, const PendingMessage &m)
{
    const int n = findNeighbor(hop);
    if (n < 0) {
        if (!isChannelName(m.target)) tellUndelivered(m.owner, m.ownerSerial, messageOf(m));
        return;
    }
    // Only a node that links knows an answer for what it is; to any other it would read as a message.
    if (std::strcmp(m.command, UNDELIVERED_KEYWORD) == 0 && !usesLink(n)) return;
    const int entry = entryFor(m);
    if (entry < 0) return tellRoutingBusy(m.owner, m.ownerSerial, m.target);
    enqueue(n, entry);
}

// A message for a nick that an older one for it waits to be asked again for goes behind it.
void waitBehind(const PendingMessage &m)
{
    const int e = entryFor(m);
    if (e < 0) return tellRoutingBusy(m.owner, m.ownerSerial, m.target);
    const long long now = nowMillis();
    askLater(e, now, now);
}

// The targets whose older line stays in the list this pass: their later lines stay with it.
class HeldTargets {
public:
    bool has(const char *target) const
    {
        if (full_) return true;
        for (int i = 0; i < count_; ++i)
            if (sameName(targets_[i], target)) return true;
        return false;
    }
    void add(const char *target)
    {
        if (has(target)) return;
        if (count_ == MAX) full_ = true;  // every later line stays: slower, never out of order
        else targets_[count_++] = target;
    }

private:
    static constexpr int MAX = 64;
    const char *targets_[MAX];
    int count_ = 0;
    bool full_ = false;
};

void askAgain(long long now)
{
    HeldTargets held;
    for (int checked = reask.count; checked > 0; --checked) {
        const int e = pop(reask);
        Outgoing &o = pool[e];
        if (now < o.dueAt || held.has(o.target)) {
            held.add(o.target);
            push(reask, e);
            continue;
        }
        if (now >= o.giveUpAt) {
            giveUp(e);
            continue;
        }
        // A client here is told at once that its link is gone; another node's line was taken
        // here already, so it waits for the link to come back.
        const bool awaitLink = connections[DAEMON_SLOT].sock == 0 && o.owner == NO_SLOT;
        if (queueFull() || awaitLink) {
            o.dueAt = now + RETRY_MS;
            held.add(o.target);
            push(reask, e);
            continue;
        }
        char srcNode[NODE_ID_TEXT_SIZE];
        std::snprintf(srcNode, sizeof srcNode, "%lu", static_cast<unsigned long>(o.srcNode));
        char request[LINE_SIZE];
        if (isChannelName(o.target)) formatChannelRequest(request, srcNode, o.target);
        else formatNickRequest(request, o.target);
        const CustodyScope scope(o.custody);
        askDaemon(request, {srcNode, o.sender, o.target, o.text, o.command}, o.owner, o.ownerSerial, o.giveUpAt);
        release(e);
    }
}

void beforeWait()
{
    const long long now = nowMillis();
    for (int n = 0; n < neighbors; ++n) {
        const HopLink &h = hops[n];
        if (h.stage == Stage::Connecting) {
            watchWrite(h.fd);
            wakeWithinMs(h.since + CONNECT_LIMIT_MS - now);
        } else if (h.stage == Stage::AwaitingAnswer) {
            watchRead(h.fd);
            wakeWithinMs(h.since + EXCHANGE_LIMIT_MS - now);
        } else if (h.queue.count > 0 && usesLink(n)) {
            // Past the patience the hop is looked at every RETRY_MS; room in the window comes back
            // with an acknowledgement or a write, which the link watches.
            if (linkState(n) != LinkState::Up) wakeWithinMs(std::max(LINK_PATIENCE_MS - linkDownForMs(n, now), h.nextDownCheck - now));
            else if (h.unsent >= 0 && pool[h.unsent].dueAt > now) wakeWithinMs(pool[h.unsent].dueAt - now);
        } else if (h.queue.count > 0) {
            wakeWithinMs(h.retryAt - now);
        }
    }
    for (int e = reask.head; e >= 0; e = pool[e].next) wakeWithinMs(pool[e].dueAt - now);
}

void afterWait()
{
    const long long now = nowMillis();
    for (int n = 0; n < neighbors; ++n) {
        HopLink &h = hops[n];
        if (h.stage == Stage::Connecting && isWritable(h.fd)) connected(h, now);
        else if (h.stage == Stage::AwaitingAnswer && isReadable(h.fd)) answered(n, now);
        else if (h.stage == Stage::Connecting && now - h.since >= CONNECT_LIMIT_MS) hopFailed(h, now);
        else if (h.stage == Stage::AwaitingAnswer && now - h.since >= EXCHANGE_LIMIT_MS) exchangeTimedOut(h, now);
        if (h.queue.count > 0 && h.stage == Stage::Idle && usesLink(n) && linkDownForMs(n, now) >= LINK_PATIENCE_MS &&
            now >= h.nextDownCheck) {
            h.nextDownCheck = now + RETRY_MS;
            linkStaysDown(n, now);
        }
        kick(n, now);
    }
    askAgain(now);
}

}  // namespace

// A hop that cannot be reached does not keep the message from the others.
void forwardAnswer(const PendingMessage &m, LineCursor &hopWords)
{
    if (isChannelName(m.target)) {
        while (const char *hop = hopWords.next()) forwardTo(readNodeId(hop), m);
        return;
    }
    // The word after the hop is the daemon's own business; a hop without it is still used.
    const char *hop = hopWords.next();
    const uint32_t next = hop ? readNodeId(hop) : 0;
    if (nodeLinks) routeAnswered(m.target, next, nowMillis());
    if (next == 0) return tellUndelivered(m.owner, m.ownerSerial, messageOf(m));
    if (reask.count > 0 && olderWaits(m.target, m.custody.order)) return waitBehind(m);
    forwardTo(next, m);
}

void keepForDaemon(const PendingMessage &m)
{
    const int e = entryFor(m);
    if (e < 0) return;  // the input gate keeps the pool from running out
    const long long now = nowMillis();
    askLater(e, now, now);
}

namespace {

// A message that takes no place in the routing queue, as if it had: its custody is let go once
// the entries made from it hold their own.
PendingMessage pendingFor(const Message &m, int owner, unsigned serial)
{
    PendingMessage p{};
    p.owner = owner;
    p.ownerSerial = serial;
    copyCut(p.target, m.target);
    copyCut(p.text, m.text);
    copyCut(p.sender, m.sender);
    copyCut(p.srcNode, m.srcNode);
    copyCut(p.command, m.command);
    p.custody = custodyTaken(readNodeId(m.srcNode));
    return p;
}

}  // namespace

// Lines in flight on a link are bounded by its window, not by the routing queue. One message to
// several hops travels under one number.
void forwardToHops(const uint32_t *hops, int count, const Message &m, int owner, unsigned serial)
{
    PendingMessage p = pendingFor(m, owner, serial);
    for (int i = 0; i < count; ++i) forwardTo(hops[i], p);
    custodyRelease(p.custody);
}

bool waitBehindAskedAgain(const Message &m, int owner, unsigned serial)
{
    if (reask.count == 0) return false;
    PendingMessage p = pendingFor(m, owner, serial);
    const bool waits = olderWaits(p.target, p.custody.order);
    if (waits) waitBehind(p);
    custodyRelease(p.custody);
    return waits;
}

int linesToAskAgain() { return reask.count > 0 ? 1 : 0; }

int heldForHops() { return poolTouched - spare.count - linesInFlight(); }

void chargeHeldForHops(void (*charge)(int owner, unsigned serial))
{
    const auto count = [charge](int from) {
        for (int e = from; e >= 0; e = pool[e].next) charge(pool[e].owner, pool[e].ownerSerial);
    };
    for (int n = 0; n < neighbors; ++n) {
        count(hops[n].inFlight > 0 ? hops[n].unsent : hops[n].queue.head);
        count(hops[n].back.head);
    }
    count(reask.head);
}

Poller forwardingPoller() { return {beforeWait, afterWait}; }

int linesForHop(int n) { return hops[n].queue.count; }

void linkCameUp(int n, int handled)
{
    const long long now = nowMillis();
    HopLink &h = hops[n];
    const EntryList done = landed(h, handled);
    h.inFlight = 0;
    h.unsent = h.queue.head;
    settle(h, done);
    // A new link's receiver hands back nothing it has not read.
    if (h.holding) takeBack(n, now, false);
    kick(n, now);
}

void linkAcknowledged(int n, int count)
{
    const long long now = nowMillis();
    HopLink &h = hops[n];
    settle(h, landed(h, count));
    kick(n, now);
}

void linkHandedBack(int n, int index)
{
    HopLink &h = hops[n];
    int e = h.queue.head;
    for (int i = 0; i < index && e >= 0; ++i) e = pool[e].next;
    if (e < 0) return;
    pool[e].handedBack = true;
    h.holding = true;
}

void linkNeighbourLost(int n)
{
    logInfo("node %lu is split off: every link with it is down", static_cast<unsigned long>(neighborNodes[n]->nodeID));
    forgetRoutesVia(neighborNodes[n]->nodeID);
    if (routingHooks.nodeSplit) routingHooks.nodeSplit(neighborNodes[n]->nodeID);
}

