// Hellos, link state and the reliable flooding of advertisements.
#include "flooding.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "../core/socket_address.h"
#include "../rtlib/rtgrading.h"
#include "auth.h"
#include "config_digest.h"
#include "own_advert.h"
#include "trace.h"

NeighbourTable neighbours;

namespace {

constexpr int DATAGRAMS_PER_CALL = 64;  // a flood of datagrams cannot starve the server link
constexpr int SEALED_SIZE = DATAGRAM_SIZE + AUTH_TRAILER_SIZE;
// Asked of the kernel for the routing socket: a link that comes up and a change of many names
// arrive as bursts from every neighbour at once. Capped by net.core.rmem_max.
constexpr int RECEIVE_BUFFER = 4 << 20;
// A hello of an unproven session costs us at most one answer per neighbour in this time, so that
// replaying captured hellos at us cannot make us flood; a live neighbour retries every cycle.
constexpr int64_t SESSION_ANSWER_GAP_MS = 100;

struct FloodState {
    int sock = -1;
    RouterTiming timing{};
    int64_t nextHelloAt = 0;
    uint32_t cycle = 0;      // cycles so far, which pick the fragments each refreshes
    uint64_t counter = 0;    // of the last keyed datagram sent; sessions are fresh, so it starts at 0
    int64_t nextStrangerNote = 0;  // refusals of datagrams that no neighbour's address sent
    ConfigDigest digest{};   // of this daemon's configuration, in every hello
    // By node: a hello refused because this file has no link to the sender there, or another
    // address, carried another digest. Then the files disagree on that very link.
    bool strangerDiffers[MAX_NODES] = {};
};

FloodState flood;
FloodStats stats;

NodeState &self() { return lsdb.nodes[lsdb.self]; }
uint32_t selfId() { return self().id; }

bool heardRecently(const Neighbour &n, int64_t now)
{
    return n.lastHeard >= 0 && now - n.lastHeard < flood.timing.neighbourTimeoutMs;
}

Neighbour *neighbourOf(uint32_t id, const sockaddr_in &from)
{
    for (int i = 0; i < neighbours.count; ++i) {
        Neighbour &n = neighbours.entries[i];
        if (lsdb.nodes[n.node].id != id) continue;
        const bool sameAddress = n.addr.sin_addr.s_addr == from.sin_addr.s_addr && n.addr.sin_port == from.sin_port;
        return sameAddress ? &n : nullptr;
    }
    return nullptr;
}

Neighbour *neighbourAt(const sockaddr_in &from)
{
    for (int i = 0; i < neighbours.count; ++i) {
        Neighbour &n = neighbours.entries[i];
        if (n.addr.sin_addr.s_addr == from.sin_addr.s_addr && n.addr.sin_port == from.sin_port) return &n;
    }
    return nullptr;
}

uint32_t idOf(const Neighbour &n) { return lsdb.nodes[n.node].id; }

// The neighbour's nonce as we name it: the bound one, or while unbound the last one it offered.
uint64_t heardNonce(const Neighbour &n) { return n.peerNonce != 0 ? n.peerNonce : n.offeredNonce; }

// Sealed under the nonces given: the bound session's, or those a hello offers.
void sendSealed(const Neighbour &n, const char *data, size_t length, const HelloNonces &nonces)
{
    char sealed[SEALED_SIZE];
    std::memcpy(sealed, data, length);
    const SealContext context{selfId(), idOf(n), nonces.own, nonces.heard};
    length = sealDatagram(sealed, length, sizeof sealed, ++flood.counter, context);
    // A lost datagram is what resends and the next cycle are for; nothing to do on failure.
    if (rt_sendto(flood.sock, sealed, length, 0, reinterpret_cast<const sockaddr *>(&n.addr), sizeof n.addr) >= 0)
        ++stats.sent;
}

HelloNonces sessionNonces(const Neighbour &n) { return {n.ownNonce, heardNonce(n)}; }

void sendTo(const Neighbour &n, const char *data, size_t length) { sendSealed(n, data, length, sessionNonces(n)); }

// Counted always; told without -v too, at most once a minute per neighbour (datagrams from no
// neighbour's address share one allowance), since it may be an attack or a misconfiguration.
void refuse(Neighbour *n, const char *why, int64_t now)
{
    ++stats.refused;
    if (!n) return noteLimited(flood.nextStrangerNote, now, "refused a datagram from no neighbour: %s\n", why);
    ++n->refused;
    noteLimited(n->nextRefusalNote, now, "refused a datagram from node %lu: %s (%llu refused so far)\n",
                static_cast<unsigned long>(idOf(*n)), why, static_cast<unsigned long long>(n->refused));
}

void sendHello(const Neighbour &to, int64_t now, const HelloNonces &nonces)
{
    uint32_t heard[MAX_NODES];
    int count = 0;
    for (int i = 0; i < neighbours.count; ++i)
        if (heardRecently(neighbours.entries[i], now)) heard[count++] = lsdb.nodes[neighbours.entries[i].node].id;
    char out[DATAGRAM_SIZE];
    sendSealed(to, out, encodeHello(out, selfId(), heard, count, &flood.digest, authEnabled() ? &nonces : nullptr),
               nonces);
}

void sendHello(const Neighbour &to, int64_t now) { sendHello(to, now, sessionNonces(to)); }

enum class Admission { Take, Bind, Refuse, Replay, Stale, NewSession };

Admission bindSession(Neighbour &n, uint64_t ownNonce, const Datagram &d, uint64_t counter)
{
    // A new session of a neighbour bound before is a restart: its link may never look down here,
    // yet it holds nothing, not even its own fragments of the earlier run that it must replace.
    if (n.peerNonce != 0) n.owedDatabase = true;
    n.ownNonce = ownNonce;
    n.peerNonce = d.nonce;
    n.candidateNonce = 0;
    n.lastCounter = counter;
    n.nextSessionAnswer = 0;  // only the live neighbour can bind, so it may need an answer at once
    trace("session with node %lu begins\n", static_cast<unsigned long>(d.from));
    return Admission::Bind;
}

// A keyed hello names the session it belongs to, but its MAC proves only that it was once sent:
// any hello ever captured still verifies. So a session is bound only by a hello naming a nonce of
// ours that no one heard before we drew it: while unbound our own, and while bound a candidate
// drawn for the purpose. Until then the bound session stays, and datagrams under it still count.
// A hello with a new nonce of the sender that names no nonce of ours, or our current one, may be
// a restart of the neighbour: it is answered with the candidate, which the restarted neighbour
// names back within a round trip. One naming an older nonce of ours, or the bound nonce of the
// sender with another of ours, is of an ended session (a live neighbour keeps its nonce), and is
// not answered: so our answers to replays, arriving at the live neighbour, start nothing there.
Admission admitHello(Neighbour &n, const Datagram &d, uint64_t counter)
{
    if (n.peerNonce == 0) {
        if (d.peerNonce == n.ownNonce) return bindSession(n, n.ownNonce, d, counter);
        n.offeredNonce = d.nonce;
        return Admission::NewSession;
    }
    if (d.nonce == n.peerNonce && d.peerNonce == n.ownNonce) {
        if (counter <= n.lastCounter) return Admission::Replay;
        n.lastCounter = counter;
        return Admission::Take;
    }
    if (n.candidateNonce != 0 && d.peerNonce == n.candidateNonce) return bindSession(n, n.candidateNonce, d, counter);
    if (d.nonce == n.peerNonce || (d.peerNonce != 0 && d.peerNonce != n.ownNonce)) return Admission::Stale;
    if (n.candidateNonce == 0) n.candidateNonce = drawNonce();
    n.offeredNonce = d.nonce;
    return Admission::NewSession;
}

// Offers our nonce for a new session: the candidate while one is bound, our own until then.
void answerSession(Neighbour &n, int64_t now)
{
    if (now < n.nextSessionAnswer) return;
    n.nextSessionAnswer = now + SESSION_ANSWER_GAP_MS;
    if (n.peerNonce != 0)
        trace("node %lu speaks of another session: offered a new one, ours kept until it binds\n",
              static_cast<unsigned long>(idOf(n)));
    sendHello(n, now, {n.peerNonce != 0 ? n.candidateNonce : n.ownNonce, n.offeredNonce});
}

// Without a key everything is taken as it comes. With one, the MAC must bind the datagram to
// this receiver and a session: a hello to the one it names, anything else to the bound one.
Admission admit(Neighbour &n, const Datagram &d, const char *text, size_t length, const Trailer &trailer)
{
    if (!authEnabled()) return Admission::Take;
    const bool hello = d.kind == DatagramKind::Hello;
    if (hello && !(d.hasNonce && d.hasPeerNonce)) return Admission::Refuse;
    if (!hello && n.peerNonce == 0) return Admission::Refuse;
    const SealContext context = hello ? SealContext{d.from, selfId(), d.nonce, d.peerNonce}
                                      : SealContext{d.from, selfId(), n.peerNonce, n.ownNonce};
    if (!trailerMatches(text, length, trailer, context)) return Admission::Refuse;
    if (hello) return admitHello(n, d, trailer.counter);
    if (trailer.counter <= n.lastCounter) return Admission::Replay;
    n.lastCounter = trailer.counter;
    return Admission::Take;
}

int inFlightSlot(const Neighbour &n, int origin, int fragment)
{
    for (int i = 0; i < SEND_WINDOW; ++i) {
        const InFlight &f = n.inFlight[i];
        if (f.used && f.origin == origin && f.fragment == fragment) return i;
    }
    return -1;
}

int freeSlot(const Neighbour &n)
{
    for (int i = 0; i < SEND_WINDOW; ++i)
        if (!n.inFlight[i].used) return i;
    return -1;
}

void release(Neighbour &n, int slot)
{
    n.inFlight[slot].used = false;
    --n.inFlightCount;
}

// Sends the database's copy of the fragment into the slot, to be acknowledged before resendAt.
void transmit(Neighbour &to, int slot, int origin, int fragment, int64_t now)
{
    Advert advert;
    fragmentAdvert(lsdb.nodes[origin], fragment, advert);
    char out[DATAGRAM_SIZE];
    const size_t length = encodeAdvert(out, selfId(), advert);
    InFlight &f = to.inFlight[slot];
    if (length == 0) {  // the tables never hold what does not encode; nothing to wait for if they did
        if (f.used) release(to, slot);
        return;
    }
    sendTo(to, out, length);
    if (!f.used) ++to.inFlightCount;
    f = {true, static_cast<uint8_t>(origin), static_cast<uint8_t>(fragment), advert.seq, now + flood.timing.resendMs};
    to.nextResendAt = std::min(to.nextResendAt, f.resendAt);
}

// The database's copy of a fragment of origin goes to the neighbour and is resent until
// acknowledged: at once when nothing waits and it is in flight already (the newer copy replaces
// it) or the window has room, else when its turn in the queue comes. Fragments leave in the order
// they changed, so a name that moved between two is never missing in between.
void sendAdvert(Neighbour &to, int origin, int fragment, int64_t now)
{
    if (to.queueLength == 0) {
        int slot = inFlightSlot(to, origin, fragment);
        if (slot < 0) slot = freeSlot(to);
        if (slot >= 0) return transmit(to, slot, origin, fragment, now);
    }
    if (to.queued[origin][fragment]) return;
    to.queued[origin][fragment] = true;
    to.queue[(to.queueHead + to.queueLength++) % (MAX_NODES * MAX_FRAGMENTS)] =
        static_cast<uint16_t>(origin * MAX_FRAGMENTS + fragment);
}

// Fills the window from the queue; a fragment in flight already is replaced by its newer copy,
// one no longer held is passed over.
void sendQueued(Neighbour &n, int64_t now)
{
    while (n.inFlightCount < SEND_WINDOW && n.queueLength > 0) {
        const int entry = n.queue[n.queueHead];
        n.queueHead = (n.queueHead + 1) % (MAX_NODES * MAX_FRAGMENTS);
        --n.queueLength;
        const int origin = entry / MAX_FRAGMENTS, fragment = entry % MAX_FRAGMENTS;
        n.queued[origin][fragment] = false;
        if (!lsdb.nodes[origin].fragments[fragment].held) continue;
        const int slot = inFlightSlot(n, origin, fragment);
        transmit(n, slot >= 0 ? slot : freeSlot(n), origin, fragment, now);
    }
}

void clearSending(Neighbour &n)
{
    std::fill(std::begin(n.inFlight), std::end(n.inFlight), InFlight{});
    n.inFlightCount = 0;
    std::memset(n.queued, 0, sizeof n.queued);
    n.queueHead = n.queueLength = 0;
}

// The origin delivers its fragments to every neighbour it names, and resends until each has
// acknowledged them; a relay passes them only to the others. In a full mesh that leaves nothing
// to relay, where flooding to all would cost every origin a datagram per ordered pair of nodes.
bool originServes(int origin, const Neighbour &n)
{
    const NodeState &node = lsdb.nodes[origin];
    const uint32_t id = lsdb.nodes[n.node].id;
    return origin != lsdb.self && std::find(node.links, node.links + node.linkCount, id) != node.links + node.linkCount;
}

void floodAdvert(int origin, int fragment, const Neighbour *except, int64_t now)
{
    for (int i = 0; i < neighbours.count; ++i) {
        Neighbour &n = neighbours.entries[i];
        if (n.up && &n != except && !originServes(origin, n)) sendAdvert(n, origin, fragment, now);
    }
}

void sendAck(const Neighbour &to, const Advert &advert)
{
    char out[DATAGRAM_SIZE];
    sendTo(to, out, encodeAck(out, selfId(), advert.origin, advert.seq, advert.fragment));
}

void settleAck(Neighbour &n, int origin, int fragment, uint32_t seq, int64_t now)
{
    const int slot = inFlightSlot(n, origin, fragment);
    if (slot < 0 || seqDistance(n.inFlight[slot].seq, seq) < 0) return;
    release(n, slot);
    sendQueued(n, now);
}

// A fragment of ours from before a restart is believed only within a plausible step, so that one
// datagram cannot carry our number around the space. One that this run does not use is an
// earlier run's, with names long gone: it goes out again, empty and newer, to replace that copy.
void takeOwnEcho(const Advert &advert)
{
    FragmentState &own = self().fragments[advert.fragment];
    const int32_t ahead = seqDistance(own.seq, advert.seq);
    if (ahead > 0 && !plausibleStep(ahead)) {
        trace("ignored fragment %d of this node's advertisement with sequence %lu, implausibly far ahead\n",
              advert.fragment, static_cast<unsigned long>(advert.seq));
        return;
    }
    if (ahead <= 0 && own.held) return;  // an echo of this copy or an older one: nothing to answer
    if (ahead > 0) own.seq = advert.seq;
    touchOwnFragment(advert.fragment);
}

// Once per change, so that a log read later shows when the files came to differ and agree again.
// A hello without a digest, from a daemon that sends none, changes nothing.
void noteConfiguration(bool &differs, uint32_t id, const Datagram &d)
{
    if (!d.hasDigest || differs == !(d.digest == flood.digest)) return;
    differs = !differs;
    if (differs) note("node %lu has a different configuration\n", static_cast<unsigned long>(id));
    else note("node %lu has the same configuration again\n", static_cast<unsigned long>(id));
}

// The drift is reported and nothing else: the link comes up or not exactly as without a digest,
// since files that differ elsewhere in the network can still agree on this link.
void handleHello(Neighbour &n, const Datagram &d, bool wasHeard, int64_t now)
{
    noteConfiguration(n.configDiffers, d.from, d);
    n.namesUs = std::find(d.heard, d.heard + d.heardCount, selfId()) != d.heard + d.heardCount;
    // It lost this node, most likely in a restart; it may name us again before updateLinks looks,
    // so the link would not be seen to go down and the neighbour would go without the database.
    if (n.up && !n.namesUs) n.owedDatabase = true;
    // An answer at once, rather than at the next cycle, brings a new link up within one round trip.
    if (!wasHeard || !n.namesUs) sendHello(n, now);
}

// A fragment beyond the node's limits is refused like a forged datagram, and not acknowledged:
// the node keeps what it announced before.
void handleAdvert(Neighbour &n, const Advert &advert, int64_t now)
{
    const int origin = nodeIndex(lsdb, advert.origin);
    // Of a node this file does not list: nothing to take, but unacknowledged it would be sent
    // again for as long as the link lasts, holding a place in the sender's window all that time.
    if (origin < 0) return sendAck(n, advert);
    const int fragment = advert.fragment;
    if (origin == lsdb.self) {
        sendAck(n, advert);
        takeOwnEcho(advert);
        settleAck(n, origin, fragment, advert.seq, now);
        return;
    }
    const Install result = installAdvert(lsdb, origin, advert, now, now + flood.timing.lifetimeMs);
    if (result == Install::OverLimit) return refuse(&n, "an advertisement beyond the limits of names", now);
    sendAck(n, advert);
    switch (result) {
    case Install::Newer:
        trace("advertisement of node %lu, fragment %d, sequence %lu\n", static_cast<unsigned long>(advert.origin),
              fragment, static_cast<unsigned long>(advert.seq));
        settleAck(n, origin, fragment, advert.seq, now);
        floodAdvert(origin, fragment, &n, now);
        break;
    case Install::Same: settleAck(n, origin, fragment, advert.seq, now); break;
    case Install::Older: sendAdvert(n, origin, fragment, now); break;  // it missed the newer one
    case Install::Implausible:
        trace("ignored fragment %d of node %lu: sequence %lu is implausibly far from %lu\n", fragment,
              static_cast<unsigned long>(advert.origin), static_cast<unsigned long>(advert.seq),
              static_cast<unsigned long>(lsdb.nodes[origin].fragments[fragment].seq));
        break;
    case Install::OverLimit: break;
    }
}

void handleDatagram(const char *data, size_t length, const sockaddr_in &from, int64_t now)
{
    Trailer trailer;
    if (!readTrailer(data, length, trailer)) return refuse(neighbourAt(from), "no MAC", now);
    Datagram d;
    if (!decodeDatagram(std::string_view(data, length), d)) return refuse(neighbourAt(from), "malformed", now);
    Neighbour *n = neighbourOf(d.from, from);
    if (!n) {
        const int node = nodeIndex(lsdb, d.from);
        if (d.kind == DatagramKind::Hello && node >= 0 && node != lsdb.self)
            noteConfiguration(flood.strangerDiffers[node], d.from, d);
        return refuse(neighbourAt(from), "its sender is no neighbour at that address", now);
    }
    const Admission admission = admit(*n, d, data, length, trailer);
    switch (admission) {
    case Admission::Take: case Admission::Bind: break;
    case Admission::Refuse: return refuse(n, "wrong MAC, or not for this node or session", now);
    case Admission::Replay: return refuse(n, "replayed", now);
    case Admission::Stale: return refuse(n, "a hello of an ended session", now);
    case Admission::NewSession: return answerSession(*n, now);
    }
    const bool wasHeard = heardRecently(*n, now);
    n->lastHeard = now;
    switch (d.kind) {
    // A session just bound is confirmed to the neighbour at once, so that it binds too.
    case DatagramKind::Hello: handleHello(*n, d, wasHeard && admission != Admission::Bind, now); break;
    case DatagramKind::Advert: handleAdvert(*n, d.advert, now); break;
    case DatagramKind::Ack: {
        const int origin = nodeIndex(lsdb, d.advert.origin);
        if (origin >= 0) settleAck(*n, origin, d.advert.fragment, d.advert.seq, now);
        break;
    }
    }
}

// Brings every neighbour's state up to date; a link that comes up is owed the whole database.
void updateLinks(int64_t now)
{
    bool changed = false;
    for (int i = 0; i < neighbours.count; ++i) {
        Neighbour &n = neighbours.entries[i];
        const bool up = heardRecently(n, now) && n.namesUs;
        if (up == n.up) continue;
        n.up = up;
        changed = true;
        touchOwnFragment(0);  // its links change
        note("link to node %lu %s\n", static_cast<unsigned long>(lsdb.nodes[n.node].id), up ? "up" : "down");
        clearSending(n);
        n.owedDatabase = up;
        if (!up) n.namesUs = false;
    }
    if (!changed) return;
    NodeState &own = self();
    own.linkCount = 0;
    for (int i = 0; i < neighbours.count; ++i)
        if (neighbours.entries[i].up) own.links[own.linkCount++] = lsdb.nodes[neighbours.entries[i].node].id;
}

// The number follows the clock's seconds where it can, so that a daemon restarted within an
// advertisement's lifetime starts a plausible step ahead of the copies it left behind.
uint32_t nextOwnSeq(uint32_t seq)
{
    const uint32_t clock = static_cast<uint32_t>(std::time(nullptr));
    const int32_t behind = seqDistance(seq + 1, clock);
    return behind > 0 && plausibleStep(behind) ? clock : seq + 1;
}

// Only a new neighbour lacks the database; the others hold it already, and sending it to all of
// them on every link change is what a large mesh cannot carry. Every fragment 0 goes first, so
// that the topology is whole there before the names; what is in flight to it already (this
// node's changes of this tick) is not sent twice.
void sendDatabase(Neighbour &n, int64_t now)
{
    for (bool first : {true, false})
        for (int origin = 0; origin < lsdb.count; ++origin)
            for (int fragment = first ? 0 : 1; fragment < (first ? 1 : MAX_FRAGMENTS); ++fragment)
                if (lsdb.nodes[origin].fragments[fragment].held && inFlightSlot(n, origin, fragment) < 0)
                    sendAdvert(n, origin, fragment, now);
}

// A fragment whose node was forgotten meanwhile has nothing left to resend, and gives its place up.
void resendUnacknowledged(Neighbour &n, int64_t now)
{
    if (now < n.nextResendAt) return;
    n.nextResendAt = INT64_MAX;
    for (int slot = 0; slot < SEND_WINDOW; ++slot) {
        InFlight &f = n.inFlight[slot];
        if (!f.used) continue;
        if (!lsdb.nodes[f.origin].fragments[f.fragment].held) release(n, slot);
        else if (now >= f.resendAt) transmit(n, slot, f.origin, f.fragment, now);
        else n.nextResendAt = std::min(n.nextResendAt, f.resendAt);
    }
    sendQueued(n, now);
}

// Fragment 0 every cycle, and the others in turn, each every REFRESH_CYCLES cycles.
void refreshOwnAdvert()
{
    touchOwnFragment(0);
    for (int fragment = 1; fragment < MAX_FRAGMENTS; ++fragment)
        if (self().fragments[fragment].held && static_cast<uint32_t>(fragment) % REFRESH_CYCLES == flood.cycle % REFRESH_CYCLES)
            touchOwnFragment(fragment);
    ++flood.cycle;
}

void floodOwnChanges(int64_t now)
{
    int fragments[MAX_FRAGMENTS];
    const int count = takeOwnChanges(fragments);
    for (int i = 0; i < count; ++i) {
        const int fragment = fragments[i];
        holdFragment(self(), fragment, nextOwnSeq(self().fragments[fragment].seq));
        floodAdvert(lsdb.self, fragment, nullptr, now);
    }
}

}  // namespace

void startFlooding(int udpSock, const rt_config_file_t &config, const Topology &topology, RouterTiming timing,
                   int64_t now)
{
    flood = FloodState{};
    stats = FloodStats{};
    flood.sock = udpSock;
    flood.timing = timing;
    flood.nextHelloAt = now;
    flood.digest = configDigest(config, topology);
    (void)setsockopt(udpSock, SOL_SOCKET, SO_RCVBUF, &RECEIVE_BUFFER, sizeof RECEIVE_BUFFER);
    std::memset(&neighbours, 0, sizeof neighbours);
    for (int i = 0; i < config.count; ++i) {
        if (!topology.linked[lsdb.self][i]) continue;
        Neighbour &n = neighbours.entries[neighbours.count++];
        n.node = i;
        n.addr = socketAddress(config.entries[i].ipaddr, config.entries[i].routing_port);
        n.lastHeard = -1;
        n.nextResendAt = INT64_MAX;
        if (authEnabled()) n.ownNonce = drawNonce();
    }
    // Starting from the clock keeps a restarted daemon's fragments newer than its old ones.
    resetOwnAdvert();
    const uint32_t start = static_cast<uint32_t>(std::time(nullptr));
    for (FragmentState &f : self().fragments) f.seq = start;
    holdFragment(self(), 0, start);
    touchOwnFragment(0);
}

void receiveDatagrams(int64_t now)
{
    for (int i = 0; i < DATAGRAMS_PER_CALL; ++i) {
        char data[SEALED_SIZE];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        // MSG_TRUNC tells the whole length: a longer datagram cut to the buffer could still parse.
        const ssize_t n = rt_recvfrom(flood.sock, data, sizeof data, MSG_DONTWAIT | MSG_TRUNC,
                                      reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // A refused earlier send reports here; the datagram it concerns is gone, nothing more.
        if (n < 0) continue;
        if (fromLen != sizeof from || from.sin_family != AF_INET) continue;
        ++stats.received;
        if (n >= static_cast<ssize_t>(sizeof data)) {
            refuse(neighbourAt(from), "longer than any datagram", now);
            continue;
        }
        handleDatagram(data, static_cast<size_t>(n), from, now);
    }
}

void floodingTick(int64_t now)
{
    if (now >= flood.nextHelloAt) {
        for (int i = 0; i < neighbours.count; ++i) sendHello(neighbours.entries[i], now);
        flood.nextHelloAt = now + flood.timing.cycleMs;
        refreshOwnAdvert();  // which keeps the advertisement from expiring elsewhere
    }
    updateLinks(now);
    if (expireAdverts(lsdb, now)) trace("an advertisement expired\n");
    // This node's changes first: a new neighbour learns its links ahead of the whole database.
    floodOwnChanges(now);
    for (int i = 0; i < neighbours.count; ++i) {
        Neighbour &n = neighbours.entries[i];
        if (!n.up) continue;
        if (n.owedDatabase) sendDatabase(n, now);
        n.owedDatabase = false;
        resendUnacknowledged(n, now);
    }
}

int64_t nextFloodingDeadline(int64_t now)
{
    int64_t next = flood.nextHelloAt;
    for (int i = 0; i < neighbours.count; ++i) {
        const Neighbour &n = neighbours.entries[i];
        if (heardRecently(n, now)) next = std::min(next, n.lastHeard + flood.timing.neighbourTimeoutMs);
        if (n.up && n.inFlightCount > 0) next = std::min(next, n.nextResendAt);
    }
    for (int i = 0; i < lsdb.count; ++i)
        if (i != lsdb.self && holdsAnyFragment(lsdb.nodes[i])) next = std::min(next, lsdb.nodes[i].expiresAt);
    return next;
}

const FloodStats &floodStats() { return stats; }

bool strangerConfigDiffers(int node) { return flood.strangerDiffers[node]; }
