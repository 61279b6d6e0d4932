// The connection table: admission of clients, the departure of a peer, and every line sent.
#include "connections.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "framing.h"
#include "hooks.h"
#include "log.h"
#include "server.h"

Connection connections[MAX_CONNECTIONS];
FreshConnection freshConnections[FRESH_SLOTS];
CoreHooks coreHooks;

namespace {

// Why a client is closed, for the line the client profile sends it first.
constexpr char SERVER_FULL[] = "server full";
constexpr char TOO_MANY_FROM_ADDRESS[] = "too many unregistered connections from your address";
constexpr char REGISTRATION_TIMED_OUT[] = "registration timed out";

// Held open so that, out of descriptors, a waiting connection can still be taken off the backlog
// and closed instead of keeping the listening socket readable for ever.
int spareDescriptor = -1;

unsigned lastSerial;

void clearSlot(Connection &c)
{
    c.sock = 0;
    std::memset(c.buffer, 0, sizeof c.buffer);
    std::memset(c.nick, 0, sizeof c.nick);
    std::memset(c.userName, 0, sizeof c.userName);
    std::memset(c.realName, 0, sizeof c.realName);
    std::memset(c.hostName, 0, sizeof c.hostName);
    std::memset(c.serverName, 0, sizeof c.serverName);
    c.registered = 0;
    c.skippingLine = 0;
    c.holdInput = 0;
    c.lookupPending = 0;
    c.reportWhenNamed = 0;
    c.broken = 0;
    outClear(c.out);
}

void occupySlot(Connection &c, int fd)
{
    clearSlot(c);
    c.sock = fd;
    c.serial = ++lastSerial;
    c.admittedAt = nowMillis();
}

// Slot 0 is never offered: it belongs to the daemon link even while that link is down.
int freeClientSlot()
{
    for (int slot = FIRST_CLIENT_SLOT; slot < MAX_CONNECTIONS; ++slot)
        if (connections[slot].sock == 0) return slot;
    return -1;
}

// Failures that concern one waiting connection, or a momentary shortage, not the listening socket.
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

// Each line leaves as soon as the loop writes it: Nagle would hold a short reply until the
// peer's delayed ACK.
void tuneSocket(int fd)
{
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
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
bool mayQuery(unsigned peerAddr) { return coreHooks.mayQuery && coreHooks.mayQuery(peerAddr); }

// What the peer sent is read first: a close with unread bytes resets the connection, and the
// client would lose the line that says why.
void drainInput(int fd)
{
    char scrap[LINE_SIZE];
    for (int reads = 0; reads < READ_BUDGET / LINE_SIZE; ++reads)
        if (recv(fd, scrap, sizeof scrap, MSG_DONTWAIT) <= 0) return;
}

// The client profile tells a client why it is closed; the design's replies close without a word.
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
    if (length > 0) (void)send(fd, wire, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    close(fd);
}

void forgetFresh(FreshConnection &f)
{
    f.sock = 0;
    f.length = 0;
}

void closeFresh(FreshConnection &f)
{
    close(f.sock);
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
    coreHooks.adoptConnection(f.sock, f.peerAddr, line, f.bytes + end, f.length - end);
    forgetFresh(f);
}

// Another node's connection waits for its line's answer, not for words: its line was not taken, so
// it is declined, and the sender tries it again instead of taking the close for an answer.
void closeFreshWithReason(FreshConnection &f, const char *reason)
{
    if (isNode(f.peerAddr)) return endNodeConnection(f, FirstLine::Declined);
    refuseClient(f.sock, reason);
    forgetFresh(f);
}

void closeSlotWithReason(int slot, const char *reason)
{
    Connection &c = connections[slot];
    drainInput(c.sock);
    char line[LINE_SIZE] = {};
    if (coreHooks.closingLine && coreHooks.closingLine(line, reason)) sendData(slot, line);
    resetConnection(slot);  // what the slot's queue holds, this line last, goes out before the close
}

// A free entry, else the oldest stranger's: silent sockets give way to a newcomer, but only
// another node's connection makes way for one of a node, whose line would be lost with it; a
// stranger that finds only those gets none (-1).
int freshEntry(bool fromNode)
{
    int oldestStranger = -1;
    int oldestNode = -1;
    for (int i = 0; i < FRESH_SLOTS; ++i) {
        const FreshConnection &f = freshConnections[i];
        if (f.sock == 0) return i;
        int &oldest = isNode(f.peerAddr) ? oldestNode : oldestStranger;
        if (oldest < 0 || f.admittedAt < freshConnections[oldest].admittedAt) oldest = i;
    }
    const int evicted = oldestStranger >= 0 ? oldestStranger : fromNode ? oldestNode : -1;
    if (evicted >= 0) closeFreshWithReason(freshConnections[evicted], SERVER_FULL);
    return evicted;
}

int freshFrom(unsigned peerAddr)
{
    int count = 0;
    for (const FreshConnection &f : freshConnections)
        if (f.sock != 0 && f.peerAddr == peerAddr) ++count;
    return count;
}

int unregisteredFrom(const char *ip)
{
    int count = 0;
    for (int slot = FIRST_CLIENT_SLOT; slot < MAX_CONNECTIONS; ++slot) {
        const Connection &c = connections[slot];
        if (c.sock != 0 && !c.registered && std::strcmp(c.ip, ip) == 0) ++count;
    }
    return count;
}

// When a client from `ip` finds every slot taken, an address that holds more than one
// unregistered slot gives up its newest: one address keeps one such slot while others wait, yet
// a user who starts several clients at once is served as long as nobody else wants in. -1: none.
int slotBeyondAddressLimit(const char *ip)
{
    int newest = -1;
    for (int slot = FIRST_CLIENT_SLOT; slot < MAX_CONNECTIONS; ++slot) {
        const Connection &c = connections[slot];
        if (c.sock == 0 || c.registered || std::strcmp(c.ip, ip) == 0 || unregisteredFrom(c.ip) < 2) continue;
        if (newest < 0 || c.admittedAt >= connections[newest].admittedAt) newest = slot;
    }
    return newest;
}

// One connection off the backlog, read at once; false once none waits.
bool acceptOne()
{
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    const int fd = accept4(sock, reinterpret_cast<sockaddr *>(&peer), &peerLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) return false;
        if (!isTransientAcceptFailure(err)) fail("addConnection failure", 1);
        if (err == EMFILE || err == ENFILE) shedWithSpareDescriptor();
        return err == EINTR || err == ECONNABORTED;
    }
    keepListenerNonBlocking();
    // A descriptor beyond the wait's set could not be watched; it is turned away like a full table.
    if (fd >= FD_SETSIZE) {
        close(fd);
        return true;
    }
    // A stranger can only be a client: with all slots taken, only another node's connection, or
    // one that may ask for a report, is worth reading.
    const unsigned peerAddr = ntohl(peer.sin_addr.s_addr);
    const bool fromNode = isNode(peerAddr);
    char ip[IP_TEXT_SIZE];
    std::snprintf(ip, sizeof ip, "%s", inet_ntoa(peer.sin_addr));
    if (!fromNode && !mayQuery(peerAddr) && freeClientSlot() < 0 && slotBeyondAddressLimit(ip) < 0) {
        refuseClient(fd, SERVER_FULL);
        return true;
    }
    if (!fromNode && freshFrom(peerAddr) >= FRESH_PER_STRANGER) {
        refuseClient(fd, TOO_MANY_FROM_ADDRESS);
        return true;
    }
    const int entry = freshEntry(fromNode);
    if (entry < 0) {
        refuseClient(fd, SERVER_FULL);
        return true;
    }
    FreshConnection &f = freshConnections[entry];
    f.sock = fd;
    f.peerAddr = peerAddr;
    std::memcpy(f.ip, ip, sizeof f.ip);
    f.length = 0;
    f.admittedAt = nowMillis();
    tuneSocket(fd);
    // Its line is often there already.
    readFresh(entry);
    return true;
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
    Connection &c = connections[slot];
    occupySlot(c, f.sock);
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

}  // namespace

void readFresh(int entry)
{
    FreshConnection &f = freshConnections[entry];
    ssize_t got;
    do {
        got = recv(f.sock, f.bytes + f.length, sizeof f.bytes - f.length, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (got <= 0) {
        closeFresh(f);
        return;
    }
    f.length += static_cast<size_t>(got);
    char line[LINE_SIZE];
    size_t end = 0;
    if (firstLine(f, line, end)) {
        const FirstLine kind = coreHooks.takeFirstLine ? coreHooks.takeFirstLine(line, f.peerAddr) : FirstLine::Client;
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

void prepareConnectionTable(int daemonSock)
{
    // Field by field: zeroing the output queues' bytes too would make all of them resident.
    for (Connection &c : connections) {
        clearSlot(c);
        std::memset(c.ip, 0, sizeof c.ip);
        c.serial = 0;
        c.admittedAt = 0;
    }
    if (daemonSock != 0) takeDaemonLink(daemonSock);
}

void takeDaemonLink(int daemonSock)
{
    Connection &c = connections[DAEMON_SLOT];
    occupySlot(c, daemonSock);
    std::snprintf(c.nick, sizeof c.nick, "%s", DAEMON_NICK);
    tuneSocket(daemonSock);
}

void reserveSpareDescriptor()
{
    spareDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void addConnection()
{
    while (acceptOne()) {
    }
}

void resetConnection(int slot)
{
    assert(slot >= 0 && slot < MAX_CONNECTIONS);
    Connection &c = connections[slot];
    if (slot != DAEMON_SLOT && c.sock > 0) logInfo("slot %d closed (%s)", slot, c.ip);
    if (coreHooks.departs) coreHooks.departs(slot);
    // What the peer was still owed (a quitter's own departure notice) goes if its socket takes it.
    if (c.sock > 0 && !c.broken) (void)outFlush(c.out, c.sock);
    if (c.sock > 0) close(c.sock);
    clearSlot(c);
    if (slot == DAEMON_SLOT && coreHooks.daemonLinkLost) coreHooks.daemonLinkLost();
}

int clientSlotOf(unsigned serial)
{
    for (int slot = FIRST_CLIENT_SLOT; slot < MAX_CONNECTIONS; ++slot)
        if (connections[slot].sock != 0 && connections[slot].serial == serial) return slot;
    return -1;
}

int findUser(const char *nick)
{
    for (int slot = 0; slot < MAX_CONNECTIONS; ++slot)
        if (std::strcmp(connections[slot].nick, nick) == 0) return slot;
    return -1;
}

void dropConnection(int slot)
{
    Connection &c = connections[slot];
    if (c.sock > 0) close(c.sock);
    c.sock = 0;
    resetConnection(slot);
}

size_t frameLine(char (&line)[LINE_SIZE], const char *text)
{
    std::memset(line, 0, sizeof line);
    // A CR or LF inside would end the line early at the peer, and what follows would read as a
    // line of its own: replies echo a client's words, and framing keeps a CR that is not last.
    const size_t length = std::min(strnlen(text, SEND_TEXT_MAX), std::strcspn(text, "\r\n"));
    std::memcpy(line, text, length);
    line[length] = '\r';
    line[length + 1] = '\n';
    return length + 2;
}

int sendData(int slot, const char *text)
{
    assert(slot >= 0 && slot < MAX_CONNECTIONS);
    Connection &c = connections[slot];
    if (c.sock <= 0 || c.broken) return 0;
    char line[LINE_SIZE];
    const size_t length = frameLine(line, text);
    if (outAppend(c.out, line, length)) return 1;
    // Cutting the stream short would break a line or, on the daemon link, the pairing of answers.
    c.broken = 1;
    return 0;
}

void flushOutput()
{
    for (Connection &c : connections)
        if (c.sock > 0 && !c.broken && !outEmpty(c.out) && outFlush(c.out, c.sock) == Flush::Failed) c.broken = 1;
}

// A reset can mark another peer (a notice to a member that stopped reading), so it runs until
// none is left.
void dropBrokenPeers()
{
    for (bool dropped = true; dropped;) {
        dropped = false;
        for (int slot = 0; slot < MAX_CONNECTIONS; ++slot) {
            if (connections[slot].sock == 0 || !connections[slot].broken) continue;
            dropConnection(slot);
            dropped = true;
        }
    }
}

// A slot's short limit does not run while the server itself makes the registration wait (the
// host lookup, the daemon's answer on a nick); the long one always does.
void closeSilentConnections(long long now)
{
    for (FreshConnection &f : freshConnections)
        if (f.sock != 0 && now - f.admittedAt >= UNREGISTERED_LIMIT_MS)
            closeFreshWithReason(f, REGISTRATION_TIMED_OUT);
    for (int slot = FIRST_CLIENT_SLOT; slot < MAX_CONNECTIONS; ++slot) {
        const Connection &c = connections[slot];
        if (c.sock == 0 || c.registered) continue;
        const long long held = now - c.admittedAt;
        if ((held >= REGISTRATION_LIMIT_MS && !c.holdInput) || held >= UNREGISTERED_LIMIT_MS)
            closeSlotWithReason(slot, REGISTRATION_TIMED_OUT);
    }
}

int freshWantsInput(int entry)
{
    // Always read: another node's line that cannot be handed on now is declined, so that its
    // sender tries again, and one for a user here needs no room at all.
    return freshConnections[entry].sock != 0 ? 1 : 0;
}

int wantsInput(int slot)
{
    const Connection &c = connections[slot];
    if (c.sock == 0 || c.broken || c.holdInput) return 0;
    if (slot == DAEMON_SLOT) return 1;
    // A client that does not read its replies is not read either: it only stalls itself.
    if (c.out.tail - c.out.head > sizeof c.out.bytes / 2) return 0;
    // Nor is one that holds its share of the routing queue: the others go on.
    return !coreHooks.roomForLines || coreHooks.roomForLines(slot) > 0 ? 1 : 0;
}

namespace {

void formatLineV(char (&line)[LINE_SIZE], const char *fmt, va_list ap)
{
    std::memset(line, 0, sizeof line);
    // The result is only the length it wanted; a cut line is what a full buffer means here.
    (void)std::vsnprintf(line, sizeof line, fmt, ap);
}

}  // namespace

void formatLine(char (&line)[LINE_SIZE], const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    formatLineV(line, fmt, ap);
    va_end(ap);
}

void replyf(int slot, const char *fmt, ...)
{
    char line[LINE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    formatLineV(line, fmt, ap);
    va_end(ap);
    sendData(slot, line);
}
