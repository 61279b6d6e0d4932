// Admission: connections are taken off the listening socket into the fresh table, read until
// their first line says what they are, and closed when they stay silent too long.
#include "admission.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "connections.h"
#include "framing.h"
#include "hooks.h"
#include "log.h"
#include "readiness.h"
#include "server.h"
#include "sizes.h"
#include "slot_list.h"
#include "socket_address.h"
#include "tls.h"

namespace {

FreshConnection exactFresh[FRESH_SLOTS];
int exactGathered[MAX_CONNECTIONS];

}  // namespace

FreshConnection *freshConnections = exactFresh;

namespace {

// Why a client is closed, for the line the client profile sends it first.
constexpr char SERVER_FULL[] = "server full";
constexpr char TOO_MANY_FROM_ADDRESS[] = "too many unregistered connections from your address";
constexpr char REGISTRATION_TIMED_OUT[] = "registration timed out";

// Held open so that, out of descriptors, a waiting connection can still be taken off the backlog
// and closed instead of keeping the listening socket readable for ever.
int spareDescriptor = -1;

// Entries from here on were never used: the fresh table's scans stop here, so that its pages are
// resident only as far as bursts of connections have reached.
int freshUsed;
// Room for every client slot, for slotBeyondAddressLimit.
int *gathered = exactGathered;

// Failures that concern one waiting connection, not the listening socket: the next accept is tried
// at once.
bool concernsOneConnection(int err) { return err == EINTR || err == ECONNABORTED; }

// A momentary shortage, or a fault of one connection's own, rather than of the listening socket.
bool isTransientAcceptFailure(int err)
{
    switch (err) {
    case EINTR: case ECONNABORTED: case EPROTO: case EPERM:
    case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
    case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN: case ENONET: case EHOSTUNREACH:
    case EOPNOTSUPP: case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

void shedWithSpareDescriptor()
{
    if (spareDescriptor < 0) return;
    close(spareDescriptor);
    int fd = accept(sock, nullptr, nullptr);
    if (fd >= 0) close(fd);
    spareDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool isNode(unsigned peerAddr) { return coreHooks.isNodeAddress && coreHooks.isNodeAddress(peerAddr); }
// Nodes speak plain text on the IRC port: a TLS connection is a client's, whatever its address.
bool isNodeConnection(const FreshConnection &f) { return !isTlsSocket(f.sock) && isNode(f.peerAddr); }
bool mayQuery(unsigned peerAddr) { return coreHooks.mayQuery && coreHooks.mayQuery(peerAddr); }

// What the peer sent is read first: a close with unread bytes resets the connection, and the
// client would lose the line that says why.
void drainInput(int fd)
{
    char scrap[LINE_SIZE];
    for (int reads = 0; reads < READ_BUDGET / LINE_SIZE; ++reads)
        if (recv(fd, scrap, sizeof scrap, MSG_DONTWAIT) <= 0) return;
}

// The client profile tells a client why it is closed; the exact replies close without a word.
size_t closingWords(char (&wire)[LINE_SIZE], const char *reason)
{
    char line[LINE_SIZE] = {};
    if (!coreHooks.closingLine || !coreHooks.closingLine(line, reason)) return 0;
    return frameLine(wire, line);
}

// A client that never took a slot: its socket is new, so its send buffer takes the one line.
void refuseClient(int fd, const char *reason)
{
    static LogLimit turnedAway;
    logInfoLimited(turnedAway, "turned a connection away: %s", reason);
    drainInput(fd);
    char wire[LINE_SIZE];
    const size_t length = closingWords(wire, reason);
    const iovec part{wire, length};
    if (length > 0) (void)writeSocket(fd, &part, 1);
    closeDescriptor(fd);
}

void forgetFresh(FreshConnection &f)
{
    f.sock = 0;
    f.length = 0;
}

void closeFresh(FreshConnection &f)
{
    closeDescriptor(f.sock);
    forgetFresh(f);
}

// Another node's line: its sender hears what became of it, then the connection ends here, closed
// by this end first, so that the sender keeps no TIME_WAIT socket for it. A new connection's send
// buffer always holds the one byte.
void endNodeConnection(FreshConnection &f, FirstLine kind)
{
    static LogLimit refused;
    if (kind == FirstLine::Refused) logInfoLimited(refused, "refused a connection from %s: not another node's line", f.ip);
    const char answer = kind == FirstLine::Taken ? LINE_TAKEN_BYTE : LINE_DECLINED_BYTE;
    if (kind != FirstLine::Refused) (void)send(f.sock, &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    closeFresh(f);
}

// A report fits a new connection's send buffer. The request is read to its end first, so that the
// close is a FIN after the answer, not a reset that could discard it.
void answerFresh(FreshConnection &f, const char *line)
{
    drainInput(f.sock);
    if (coreHooks.answerQuery) coreHooks.answerQuery(f.sock, line);
    closeFresh(f);
}

// Another node's link is the routing layer's from here on: its socket stays open.
void adoptFresh(FreshConnection &f, const char *line, size_t end)
{
    if (!coreHooks.adoptConnection) return closeFresh(f);
    releaseDescriptor(f.sock);
    coreHooks.adoptConnection(f.sock, f.peerAddr, line, f.bytes + end, f.length - end);
    forgetFresh(f);
}

// Another node's connection waits for its line's answer, not for words: its line was not taken, so
// it is declined, and the sender tries it again instead of taking the close for an answer.
void closeFreshWithReason(FreshConnection &f, const char *reason)
{
    if (isNodeConnection(f)) return endNodeConnection(f, FirstLine::Declined);
    refuseClient(f.sock, reason);
    forgetFresh(f);
}

}  // namespace

void closeSlotWithReason(int slot, const char *reason)
{
    Connection &c = connections[slot];
    drainInput(c.sock);
    char line[LINE_SIZE] = {};
    if (coreHooks.closingLine && coreHooks.closingLine(line, reason)) sendData(slot, line);
    resetConnection(slot);  // what the slot's queue holds, this line last, goes out before the close
}

namespace {

// A free entry, else the oldest stranger's: silent sockets give way to a newcomer, but only
// another node's connection makes way for one of a node, whose line would be lost with it; a
// stranger that finds only those gets none (-1).
int freshEntry(bool fromNode)
{
    int oldestStranger = -1;
    int oldestNode = -1;
    for (int i = 0; i < freshUsed; ++i) {
        const FreshConnection &f = freshConnections[i];
        if (f.sock == 0) return i;
        int &oldest = isNodeConnection(f) ? oldestNode : oldestStranger;
        if (oldest < 0 || f.admittedAt < freshConnections[oldest].admittedAt) oldest = i;
    }
    if (freshUsed < tableSizes.fresh) return freshUsed++;
    const int evicted = oldestStranger >= 0 ? oldestStranger : fromNode ? oldestNode : -1;
    if (evicted >= 0) closeFreshWithReason(freshConnections[evicted], SERVER_FULL);
    return evicted;
}

// By the address's text, as every IPv6 peer has the IPv4 address 0.
int freshFrom(const char *ip)
{
    int count = 0;
    for (int i = 0; i < freshUsed; ++i)
        if (freshConnections[i].sock != 0 && std::strcmp(freshConnections[i].ip, ip) == 0) ++count;
    return count;
}

// The peer's address as text, and as an IPv4 address in host order (0 for IPv6: nodes speak IPv4).
// An IPv6 address that begins with ':' gets a leading 0, as a word that begins with ':' would
// read as the last parameter of the lines it appears in (352, 311).
unsigned peerAddress(const sockaddr_storage &peer, char (&ip)[IP_TEXT_SIZE])
{
    std::memset(ip, 0, sizeof ip);
    if (peer.ss_family == AF_INET6) {
        const auto &six = reinterpret_cast<const sockaddr_in6 &>(peer);
        char text[INET6_ADDRSTRLEN] = {};
        (void)inet_ntop(AF_INET6, &six.sin6_addr, text, sizeof text);
        std::snprintf(ip, sizeof ip, "%s%s", text[0] == ':' ? "0" : "", text);
        return 0;
    }
    const auto &four = reinterpret_cast<const sockaddr_in &>(peer);
    (void)inet_ntop(AF_INET, &four.sin_addr, ip, sizeof ip);
    return ntohl(four.sin_addr.s_addr);
}

bool sameAddress(int slot, int other) { return std::strcmp(connections[slot].ip, connections[other].ip) == 0; }

// Later admitted, or of the higher slot: the one an address gives up first.
bool newer(int slot, int other)
{
    const long long at = connections[slot].admittedAt;
    const long long otherAt = connections[other].admittedAt;
    return at != otherAt ? at > otherAt : slot > other;
}

// When a client from `ip` finds every slot taken, an address that holds more than one
// unregistered slot gives up its newest: one address keeps one such slot while others wait, yet
// a user who starts several clients at once is served as long as nobody else wants in. -1: none.
// The unregistered slots of other addresses are sorted by address, so that a table of thousands
// is looked at once, not once for every slot.
int slotBeyondAddressLimit(const char *ip)
{
    int count = 0;
    for (int slot = FIRST_CLIENT_SLOT; slot < slotReach(); ++slot) {
        const Connection &c = connections[slot];
        if (c.sock != 0 && !c.registered && std::strcmp(c.ip, ip) != 0) gathered[count++] = slot;
    }
    if (count < 2) return -1;
    std::sort(gathered, gathered + count, [](int a, int b) {
        const int byAddress = std::strcmp(connections[a].ip, connections[b].ip);
        return byAddress != 0 ? byAddress < 0 : newer(b, a);
    });
    int newest = -1;
    for (int i = 0; i < count; ++i) {
        const int slot = gathered[i];
        const bool shared = (i > 0 && sameAddress(gathered[i - 1], slot)) || (i + 1 < count && sameAddress(gathered[i + 1], slot));
        if (shared && (newest < 0 || newer(slot, newest))) newest = slot;
    }
    return newest;
}

// One connection off the backlog, read at once (or turned away): 0. Otherwise the accept's errno,
// EAGAIN once none waits.
int acceptOne(int listener, bool tls)
{
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    const int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &peerLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        const int err = errno == EWOULDBLOCK ? EAGAIN : errno;
        if (err == EMFILE || err == ENFILE) shedWithSpareDescriptor();
        return err;
    }
    keepListenerNonBlocking(listener);
    // A descriptor beyond the wait's tables could not be watched; it is turned away like a full
    // table, and so is a TLS connection no session could be made for.
    if (!canWatch(fd) || (tls && !beginTlsSession(fd))) {
        closeDescriptor(fd);
        return 0;
    }
    // A stranger can only be a client: with all slots taken, only another node's connection, or
    // one that may ask for a report, is worth reading.
    char ip[IP_TEXT_SIZE];
    const unsigned peerAddr = peerAddress(peer, ip);
    const bool fromNode = !tls && isNode(peerAddr);
    if (!fromNode && (tls || !mayQuery(peerAddr)) && freeClientSlot() < 0 && slotBeyondAddressLimit(ip) < 0) {
        refuseClient(fd, SERVER_FULL);
        return 0;
    }
    if (!fromNode && freshFrom(ip) >= tableSizes.freshPerStranger) {
        refuseClient(fd, TOO_MANY_FROM_ADDRESS);
        return 0;
    }
    const int entry = freshEntry(fromNode);
    if (entry < 0) {
        refuseClient(fd, SERVER_FULL);
        return 0;
    }
    FreshConnection &f = freshConnections[entry];
    f.sock = fd;
    f.peerAddr = peerAddr;
    std::memcpy(f.ip, ip, sizeof f.ip);
    f.length = 0;
    f.admittedAt = nowMillis();
    tagDescriptor(fd, freshTag(entry));
    watchOwn(fd, true, false);
    tuneSocket(fd);
    // Its line is often there already.
    readFresh(entry);
    return 0;
}

// The fresh connection becomes a client with what it has sent so far, or, with no slot free, is
// closed. Its time to register runs from here.
void admitClient(FreshConnection &f)
{
    if (freeClientSlot() < 0) {
        const int beyond = slotBeyondAddressLimit(f.ip);
        if (beyond < 0) return closeFreshWithReason(f, SERVER_FULL);
        closeSlotWithReason(beyond, TOO_MANY_FROM_ADDRESS);
    }
    const int slot = freeClientSlot();
    occupySlot(slot, f.sock);
    Connection &c = connections[slot];
    std::memcpy(c.ip, f.ip, sizeof c.ip);
    logInfo("a client from %s in slot %d", c.ip, slot);
    const size_t length = f.length;
    forgetFresh(f);
    absorbBytes(slot, f.bytes, length);
}

// The first line that is not empty, cut as framing cuts lines; false until one is complete.
// `end` is where the bytes after it begin.
bool firstLine(const FreshConnection &f, char (&line)[LINE_SIZE], size_t &end)
{
    size_t start = 0;
    for (size_t i = 0; i < f.length; ++i) {
        if (f.bytes[i] != '\n') continue;
        size_t length = i - start;
        if (length > LINE_MAX_CHARS) length = LINE_MAX_CHARS;
        std::memset(line, 0, sizeof line);
        std::memcpy(line, f.bytes + start, length);
        length = strnlen(line, LINE_SIZE);
        if (std::strchr(line, '\r')) line[--length] = '\0';
        start = i + 1;
        end = start;
        if (length > 0) return true;
    }
    return false;
}

// A TLS connection is read once its handshake is done; one that fails (plain text on the TLS
// port) is closed without a word, as it would not read one. One that stalls stays fresh, and
// leaves at the fresh table's limit.
bool handshakeDone(FreshConnection &f)
{
    if (!isTlsSocket(f.sock)) return true;
    const Handshake step = continueHandshake(f.sock);
    if (step == Handshake::Failed) {
        static LogLimit failed;
        logInfoLimited(failed, "a TLS handshake from %s failed", f.ip);
        closeFresh(f);
    }
    return step == Handshake::Done;
}

}  // namespace

void readFresh(int entry)
{
    FreshConnection &f = freshConnections[entry];
    if (!handshakeDone(f)) return;
    const ssize_t got = readSocket(f.sock, f.bytes + f.length, sizeof f.bytes - f.length);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (got <= 0) {
        closeFresh(f);
        return;
    }
    f.length += static_cast<size_t>(got);
    char line[LINE_SIZE];
    size_t end = 0;
    if (firstLine(f, line, end)) {
        const FirstLine kind = coreHooks.takeFirstLine && !isTlsSocket(f.sock) ? coreHooks.takeFirstLine(line, f.peerAddr) : FirstLine::Client;
        if (kind == FirstLine::Client) admitClient(f);
        else if (kind == FirstLine::Link) adoptFresh(f, line, end);
        else if (kind == FirstLine::Query) answerFresh(f, line);
        else endNodeConnection(f, kind);
        // Standard output is flushed after each chunk handled, a node's line as a client's.
        std::fflush(stdout);
        return;
    }
    // A first line too long for the buffer is no node's: framing drops it as a client's.
    if (f.length == sizeof f.bytes) admitClient(f);
}

void reserveSpareDescriptor()
{
    spareDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// A failed accept ends this pass's accepting, not the node: the connections waiting are taken in a
// later pass, and a listening socket that fails for good is reported, once a second at most. A pass
// takes at most a backlog's worth from each listener, so that a flood that refills the backlog as
// fast as it is taken (every newcomer turned away at once when the node is full) cannot keep the
// loop from its clients.
void addConnection() { addConnectionFrom(sock, false); }

void addConnectionFrom(int listener, bool tls)
{
    for (int taken = 0; taken < tableSizes.backlog; ++taken) {
        const int err = acceptOne(listener, tls);
        if (err == 0 || concernsOneConnection(err)) continue;
        if (err == EAGAIN) return;
        static LogLimit shortage;
        static LogLimit failure;
        if (isTransientAcceptFailure(err)) logInfoLimited(shortage, "could not accept a connection: %s", std::strerror(err));
        else logErrorLimited(failure, "the listening socket failed: %s", std::strerror(err));
        return;
    }
}

// A slot's short limit does not run while the server itself makes the registration wait (the
// host lookup, the daemon's answer on a nick); the long one always does.
void closeSilentConnections(long long now)
{
    for (int i = 0; i < freshUsed; ++i) {
        FreshConnection &f = freshConnections[i];
        if (f.sock != 0 && now - f.admittedAt >= UNREGISTERED_LIMIT_MS) closeFreshWithReason(f, REGISTRATION_TIMED_OUT);
    }
    unregisteredSlots().walk([now](int slot) {
        const Connection &c = connections[slot];
        if (c.sock == 0 || c.registered) return false;
        const long long held = now - c.admittedAt;
        if ((held >= REGISTRATION_LIMIT_MS && !c.holdInput) || held >= UNREGISTERED_LIMIT_MS) {
            closeSlotWithReason(slot, REGISTRATION_TIMED_OUT);
            return false;
        }
        return true;
    });
}

bool sizeFreshTable(const TableSizes &sizes)
{
    const auto oldFresh = static_cast<size_t>(tableSizes.fresh);
    const auto oldSlots = static_cast<size_t>(tableSizes.slots);
    if (!resizeTable(freshConnections, exactFresh, oldFresh, static_cast<size_t>(sizes.fresh))) return false;
    if (!resizeTable(gathered, exactGathered, oldSlots, static_cast<size_t>(sizes.slots))) return false;
    freshUsed = 0;
    return true;
}

void clearFreshTable()
{
    std::memset(freshConnections, 0, static_cast<size_t>(tableSizes.fresh) * sizeof *freshConnections);
    freshUsed = 0;
}

int freshReach() { return freshUsed; }

int freshWantsInput(int entry)
{
    // Always read: another node's line that cannot be handed on now is declined, so that its
    // sender tries again, and one for a user here needs no room at all.
    return freshConnections[entry].sock != 0 ? 1 : 0;
}

