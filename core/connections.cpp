// The connection table: admission of clients, the departure of a peer, and every line sent.
#include "connections.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "hooks.h"
#include "server.h"

Connection connections[MAX_CONNECTIONS];
CoreHooks coreHooks;

namespace {

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
    std::memset(c.channel, 0, sizeof c.channel);
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

// One connection off the backlog; false once none waits.
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
    const int slot = freeClientSlot();
    // A descriptor beyond the wait's set could not be watched; it is turned away like a full table.
    if (slot < 0 || fd >= FD_SETSIZE) {
        close(fd);
        return true;
    }
    Connection &c = connections[slot];
    occupySlot(c, fd);
    std::snprintf(c.ip, sizeof c.ip, "%s", inet_ntoa(peer.sin_addr));
    tuneSocket(fd);
    return true;
}

}  // namespace

void prepareConnectionTable(int daemonSock)
{
    std::memset(connections, 0, sizeof connections);
    takeDaemonLink(daemonSock);
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
    if (coreHooks.departs) coreHooks.departs(slot);
    // What the peer was still owed (a quitter's own departure notice) goes if its socket takes it.
    if (c.sock > 0 && !c.broken) (void)outFlush(c.out, c.sock);
    if (c.sock > 0) close(c.sock);
    clearSlot(c);
    if (slot == DAEMON_SLOT && coreHooks.daemonLinkLost) coreHooks.daemonLinkLost();
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
    const size_t length = strnlen(text, SEND_TEXT_MAX);
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

void closeSilentConnections(long long now)
{
    for (int slot = FIRST_CLIENT_SLOT; slot < MAX_CONNECTIONS; ++slot) {
        const Connection &c = connections[slot];
        if (c.sock != 0 && !c.registered && now - c.admittedAt >= UNREGISTERED_LIMIT_MS) dropConnection(slot);
    }
}

int wantsInput(int slot)
{
    const Connection &c = connections[slot];
    if (c.sock == 0 || c.broken || c.holdInput) return 0;
    if (slot == DAEMON_SLOT) return 1;
    // A client that does not read its replies is not read either: it only stalls itself.
    if (c.out.tail - c.out.head > sizeof c.out.bytes / 2) return 0;
    return !coreHooks.roomForLines || coreHooks.roomForLines() ? 1 : 0;
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
