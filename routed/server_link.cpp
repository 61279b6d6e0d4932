// The server link: framing of its lines, the request table, and the answers; and the one
// connection that may wait beside a live link, for a status request.
#include "server_link.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "flooding.h"
#include "routes.h"
#include "status.h"
#include "trace.h"

namespace {

constexpr timeval SEND_TIMEOUT = {2, 0};  // a server that stops reading loses its link, not the daemon
constexpr int CLOSE_CHECK_READS = 16;      // what an old link may still hold before its end shows

// One connection on the local port and its incomplete line.
struct LocalPeer {
    int sock = -1;
    char pending[REQUEST_SIZE] = {};
    size_t pendingLength = 0;
    bool skipping = false;  // the line in progress outgrew the buffer
    bool spoke = false;     // a first line has arrived
};

// The link is the server's; a connection that arrives while it is live waits as the probe until
// its first line shows what it is: a status request is answered, anything else is refused.
struct ServerLink {
    int listener = -1;
    uint32_t nodeAddr = 0;  // host order
    LocalPeer link;
    LocalPeer probe;
};

ServerLink serverLink;

struct NameTable {
    char (*names)[NAME_SIZE];
    int &count;
};

NameTable users() { return {lsdb.nodes[lsdb.self].advert.users, lsdb.nodes[lsdb.self].advert.userCount}; }
NameTable chans() { return {lsdb.nodes[lsdb.self].advert.chans, lsdb.nodes[lsdb.self].advert.chanCount}; }

void forgetAnnouncements()
{
    lsdb.nodes[lsdb.self].advert.userCount = 0;
    lsdb.nodes[lsdb.self].advert.chanCount = 0;
    ownAdvertChanged();
}

void closePeer(LocalPeer &peer)
{
    if (peer.sock >= 0) close(peer.sock);
    peer = LocalPeer{};
}

void dropLink(const char *why)
{
    if (serverLink.link.sock < 0) return;
    trace("server link closed: %s\n", why);
    closePeer(serverLink.link);
    forgetAnnouncements();
    // A server that restarted may have connected before its old link's end was read.
    if (serverLink.probe.sock >= 0 && !serverLink.probe.spoke) {
        serverLink.link = serverLink.probe;
        serverLink.probe = LocalPeer{};
        trace("server linked\n");
    }
}

void answer(const char *text)
{
    char line[ANSWER_SIZE];
    const int length = std::snprintf(line, sizeof line, "%s\n", text);
    trace("answer: %s", line);
    if (serverLink.link.sock < 0) return;
    if (send(serverLink.link.sock, line, static_cast<size_t>(length), MSG_NOSIGNAL) != length) dropLink("send failed");
}

void addName(NameTable table, const char *name)
{
    if (!isRoutableName(name)) return;
    for (int i = 0; i < table.count; ++i)
        if (std::strcmp(table.names[i], name) == 0) return;
    if (table.count == MAX_NAMES) {
        trace("no room to announce %s\n", name);
        return;
    }
    std::snprintf(table.names[table.count++], NAME_SIZE, "%s", name);
    ownAdvertChanged();
}

void removeName(NameTable table, const char *name)
{
    for (int i = 0; i < table.count; ++i) {
        if (std::strcmp(table.names[i], name) != 0) continue;
        std::memcpy(table.names[i], table.names[--table.count], NAME_SIZE);
        ownAdvertChanged();
        return;
    }
}

// Runs of spaces separate words, as on the server's side of the link.
char *nextWord(char *&pos)
{
    while (*pos == ' ') ++pos;
    if (*pos == '\0') return nullptr;
    char *word = pos;
    while (*pos != '\0' && *pos != ' ') ++pos;
    if (*pos == ' ') *pos++ = '\0';
    return word;
}

void addUser(char *&args) { if (const char *nick = nextWord(args)) addName(users(), nick); }
void removeUser(char *&args) { if (const char *nick = nextWord(args)) removeName(users(), nick); }
void addChan(char *&args) { if (const char *chan = nextWord(args)) addName(chans(), chan); }
void removeChan(char *&args) { if (const char *chan = nextWord(args)) removeName(chans(), chan); }

// A request without its argument still gets its one answer, so that the pairing holds.
void answerNextHop(char *&args)
{
    const char *nick = nextWord(args);
    const NickRoute route = nick ? routeToNick(lsdb, nick) : NickRoute{-1, 0};
    if (route.nextHop < 0) return answer("NONE");
    char text[ANSWER_SIZE];
    std::snprintf(text, sizeof text, "OK %lu %d", static_cast<unsigned long>(lsdb.nodes[route.nextHop].id),
                  route.hops);
    answer(text);
}

void answerNextHops(char *&args)
{
    const char *src = nextWord(args);
    const char *chan = src ? nextWord(args) : nullptr;
    uint32_t srcId = 0;
    const int srcIndex = src && readNodeNumber(src, srcId) ? nodeIndex(lsdb, srcId) : -1;
    int hops[MAX_NODES];
    const int count = chan ? channelNextHops(lsdb, srcIndex, chan, hops) : -1;
    if (count < 0) return answer("NONE");
    char text[ANSWER_SIZE] = "OK";
    for (int i = 0; i < count; ++i) {
        const size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof text - used, " %lu", static_cast<unsigned long>(lsdb.nodes[hops[i]].id));
    }
    answer(text);
}

using RequestHandler = void (*)(char *&args);

struct RequestRow {
    const char *word;
    RequestHandler handler;
};

constexpr RequestRow REQUESTS[] = {
    {"ADDUSER",    addUser},
    {"REMOVEUSER", removeUser},
    {"ADDCHAN",    addChan},
    {"REMOVECHAN", removeChan},
    {"NEXTHOP",    answerNextHop},
    {"NEXTHOPS",   answerNextHops},
};

bool isStatusRequest(const char *line) { return std::strcmp(line, STATUS_REQUEST) == 0; }

void takeLinkLine(char *line)
{
    const bool first = !serverLink.link.spoke;
    serverLink.link.spoke = true;
    if (!first || !isStatusRequest(line)) return handleRequest(line);
    // A status request that found no server linked: answered like any other, and no link after all.
    writeStatus(serverLink.link.sock);
    closePeer(serverLink.link);
}

void takeProbeLine(char *line)
{
    if (isStatusRequest(line)) writeStatus(serverLink.probe.sock);
    else trace("refused a second server link: the first is still open\n");
    closePeer(serverLink.probe);
}

void takeLine(LocalPeer &peer, void (*take)(char *line))
{
    peer.pending[peer.pendingLength] = '\0';
    if (peer.pendingLength > 0 && peer.pending[peer.pendingLength - 1] == '\r') peer.pending[peer.pendingLength - 1] = '\0';
    take(peer.pending);
}

// Cuts what has arrived into lines. A line too long for the buffer is handled as far as it fits
// and the rest dropped up to its LF: were it a request, it still gets its one answer.
void frameLines(LocalPeer &peer, void (*take)(char *line), const char *data, size_t length)
{
    for (size_t i = 0; i < length && peer.sock >= 0; ++i) {
        const char c = data[i];
        if (c == '\n') {
            if (!peer.skipping) takeLine(peer, take);
            peer.pendingLength = 0;
            peer.skipping = false;
        } else if (!peer.skipping) {
            peer.pending[peer.pendingLength++] = c;
            if (peer.pendingLength == REQUEST_SIZE - 1) {
                takeLine(peer, take);
                peer.pendingLength = 0;
                peer.skipping = true;
            }
        }
    }
}

// Reads what the link holds without waiting; a server that has ended shows its end here.
void readLinkIfReady()
{
    for (int reads = 0; reads < CLOSE_CHECK_READS && serverLink.link.sock >= 0; ++reads) {
        pollfd p{serverLink.link.sock, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return;
        readServer();
    }
}

bool isLoopback(uint32_t addr) { return (addr >> 24) == 127; }

// The server connects from its node's own address. A status request may also come from another
// loopback address when the node has one: only this machine reaches it, and a shell's connection
// to 127.0.0.2 comes from 127.0.0.1.
enum class Caller { Node, Viewer, Stranger };

Caller callerOf(const sockaddr_in &peer)
{
    const uint32_t addr = ntohl(peer.sin_addr.s_addr);
    if (addr == serverLink.nodeAddr) return Caller::Node;
    return isLoopback(addr) && isLoopback(serverLink.nodeAddr) ? Caller::Viewer : Caller::Stranger;
}

}  // namespace

void startServerLink(int listenSock, uint32_t nodeAddr)
{
    serverLink = ServerLink{};
    serverLink.listener = listenSock;
    serverLink.nodeAddr = nodeAddr;
}

int serverListener() { return serverLink.listener; }
int serverLinkSock() { return serverLink.link.sock; }
int serverProbeSock() { return serverLink.probe.sock; }

void acceptServer()
{
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const int fd = accept(serverLink.listener, reinterpret_cast<sockaddr *>(&peer), &peerLength);
    if (fd < 0) return;  // the connection went away before it was taken
    const Caller caller = peerLength == sizeof peer ? callerOf(peer) : Caller::Stranger;
    if (fd >= FD_SETSIZE || caller == Caller::Stranger) {
        if (fd < FD_SETSIZE) trace("refused a local connection from outside this node's address\n");
        close(fd);
        return;
    }
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &SEND_TIMEOUT, sizeof SEND_TIMEOUT);
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    readLinkIfReady();
    // A viewer can only ask for the status, so it never becomes the link.
    if (serverLink.link.sock >= 0 || caller == Caller::Viewer) {
        closePeer(serverLink.probe);  // the newest waits; an idle one cannot hold the place
        serverLink.probe.sock = fd;
        return;
    }
    serverLink.link.sock = fd;
    trace("server linked\n");
}

void readServer()
{
    char data[REQUEST_SIZE];
    const ssize_t n = recv(serverLink.link.sock, data, sizeof data, 0);
    if (n <= 0) return dropLink(n == 0 ? "the server closed it" : "read failed");
    frameLines(serverLink.link, takeLinkLine, data, static_cast<size_t>(n));
}

void readProbe()
{
    char data[REQUEST_SIZE];
    const ssize_t n = recv(serverLink.probe.sock, data, sizeof data, 0);
    if (n <= 0) return closePeer(serverLink.probe);
    serverLink.probe.spoke = true;
    frameLines(serverLink.probe, takeProbeLine, data, static_cast<size_t>(n));
}

void handleRequest(char *line)
{
    trace("request: %s\n", line);
    char *pos = line;
    const char *word = nextWord(pos);
    if (!word) return;
    for (const RequestRow &row : REQUESTS)
        if (std::strcmp(row.word, word) == 0) return row.handler(pos);
    trace("ignored an unknown request\n");
}
