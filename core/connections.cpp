// The connection table: admission of clients, the reset of a departing peer, and every line sent.
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

#include "../irc/channels.h"
#include "../routing/daemon_lines.h"
#include "../routing/pending_queue.h"
#include "server.h"

Connection connections[MAX_CONNECTIONS];

namespace {

// Sends stay blocking, but a peer that stops reading may hold the node for this long at most.
constexpr timeval SEND_TIMEOUT = {2, 0};

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
    case EAGAIN: case EINTR: case ECONNABORTED: case EPROTO: case EPERM:
    case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
    case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN: case ENONET: case EHOSTUNREACH:
    case EOPNOTSUPP: case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

// Sends stay blocking but bounded in time, and each line leaves at once: a reply of several lines
// is several sends, and Nagle would hold each after the first until the peer's delayed ACK.
void tuneSendSide(int fd)
{
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &SEND_TIMEOUT, sizeof SEND_TIMEOUT);
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

}  // namespace

void prepareConnectionTable(int daemonSock)
{
    std::memset(connections, 0, sizeof connections);
    takeDaemonLink(daemonSock);
}

void takeDaemonLink(int daemonSock)
{
    Connection &c = connections[DAEMON_SLOT];
    clearSlot(c);
    c.sock = daemonSock;
    c.serial = ++lastSerial;
    std::snprintf(c.nick, sizeof c.nick, "%s", DAEMON_NICK);
    tuneSendSide(daemonSock);
}

void reserveSpareDescriptor()
{
    spareDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void addConnection()
{
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    int fd = accept(sock, reinterpret_cast<sockaddr *>(&peer), &peerLen);
    if (fd < 0) {
        int err = errno;
        if (!isTransientAcceptFailure(err)) fail("addConnection failure", 1);
        if (err == EMFILE || err == ENFILE) shedWithSpareDescriptor();
        return;
    }
    keepListenerNonBlocking();
    int slot = freeClientSlot();
    // A descriptor beyond the wait's set could not be watched; it is turned away like a full table.
    if (slot < 0 || fd >= FD_SETSIZE) {
        close(fd);
        return;
    }
    Connection &c = connections[slot];
    clearSlot(c);
    c.sock = fd;
    c.serial = ++lastSerial;
    std::snprintf(c.ip, sizeof c.ip, "%s", inet_ntoa(peer.sin_addr));
    tuneSendSide(fd);
}

void resetConnection(int slot)
{
    assert(slot >= 0 && slot < MAX_CONNECTIONS);
    Connection &c = connections[slot];
    char line[LINE_SIZE];
    formatLine(line, FMT_REMOVEUSER, c.nick);
    if (c.nick[0] != '\0') sendData(DAEMON_SLOT, line);
    // While nick, userName and hostName still hold: the members' departure notice is built from them.
    removeFromChan(c.nick);
    if (c.sock > 0) close(c.sock);
    clearSlot(c);
    if (slot == DAEMON_SLOT) dropWaitingMessages();
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
    const Connection &c = connections[slot];
    if (c.sock <= 0) return 0;
    char line[LINE_SIZE];
    const size_t length = frameLine(line, text);
    // MSG_NOSIGNAL: a peer that has gone away is a failed send, not the end of the process.
    const ssize_t sent = send(c.sock, line, length, MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(length)) return 1;
    // The send timeout ran out: the peer has stopped reading. Its stream now ends in a broken
    // line, and the next line would be glued to it, so no more is sent and the next read ends it.
    if (sent >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) (void)shutdown(c.sock, SHUT_RDWR);
    return 0;
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
