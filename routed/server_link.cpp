// The server link: framing of its lines, the request table, and the answers; and the connections
// that wait until their first line shows whether they are the server, a status request or neither.
#include "server_link.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sodium.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "../core/clock.h"
#include "../rtlib/rt_key.h"
#include "own_advert.h"
#include "routes.h"
#include "status.h"
#include "trace.h"

namespace {

constexpr timeval SEND_TIMEOUT = {2, 0};  // a server that stops reading loses its link, not the daemon
constexpr int CLOSE_CHECK_READS = 16;      // what an old link may still hold before its end shows

// The server connects from its node's own address. A status request may also come from another
// loopback address when the node has one: only this machine reaches it, and a shell's connection
// to 127.0.0.2 comes from 127.0.0.1.
enum class Caller { Node, Viewer, Stranger };

// One connection on the local port and its incomplete line.
struct LocalPeer {
    int sock = -1;
    char pending[REQUEST_SIZE] = {};
    size_t pendingLength = 0;
    bool skipping = false;  // the line in progress outgrew the buffer
    bool spoke = false;     // a first line has arrived
    Caller caller = Caller::Stranger;
    long long acceptedAt = 0;
    char challenge[RT_CHALLENGE_HEX + 1] = {};  // sent to it, with a key
};

struct ServerLink {
    int listener = -1;
    uint32_t nodeAddr = 0;  // host order
    LocalPeer link;
    LocalPeer waiting[WAITING_PEERS];
    int64_t nextRefusalNote = 0;
    int64_t nextFullNote = 0;  // announcements refused for the limits of names
};

ServerLink serverLink;

// The answers to the requests of one read leave in one write: a server pipelines its requests,
// and a send for each answer would cost the daemon more than the routing itself.
constexpr size_t SERVER_READ_SIZE = 16 * 1024;
struct AnswerBatch {
    bool open;
    size_t length;
    char bytes[SERVER_READ_SIZE];
};
AnswerBatch answers;

// A read that a signal cut short, or that found nothing after all, is tried again on the next pass.
bool interrupted() { return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK; }

void closePeer(LocalPeer &peer)
{
    if (peer.sock >= 0) close(peer.sock);
    peer = LocalPeer{};
}

// A waiting connection is never promoted here: whoever waits may be any local process, and the
// server that restarted connects again by itself.
void dropLink(const char *why)
{
    if (serverLink.link.sock < 0) return;
    note("server link closed: %s\n", why);
    closePeer(serverLink.link);
    withdrawAllNames();
}

void sendAnswers(const char *bytes, size_t length)
{
    if (serverLink.link.sock < 0 || length == 0) return;
    if (send(serverLink.link.sock, bytes, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) dropLink("send failed");
}

void flushAnswers()
{
    sendAnswers(answers.bytes, answers.length);
    answers.length = 0;
}

void answer(const char *text)
{
    char line[ANSWER_SIZE];
    const int length = std::snprintf(line, sizeof line, "%s\n", text);
    trace("answer: %s", line);
    if (!answers.open) return sendAnswers(line, static_cast<size_t>(length));
    if (answers.length + static_cast<size_t>(length) > sizeof answers.bytes) flushAnswers();
    std::memcpy(answers.bytes + answers.length, line, static_cast<size_t>(length));
    answers.length += static_cast<size_t>(length);
}

// An announcement gets no answer whatever happens (a line would break the pairing of answers with
// requests): one beyond the limits is refused by leaving it out, and the operator is told.
void addName(NameKind kind, const char *name)
{
    if (!isRoutableName(name) || announceName(kind, name)) return;
    noteLimited(serverLink.nextFullNote, nowMillis(), "no room to announce %s: this node holds %d %s already\n", name,
                kind == NameKind::User ? MAX_USERS : MAX_CHANNELS, kind == NameKind::User ? "users" : "channels");
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

void addUser(char *&args) { if (const char *nick = nextWord(args)) addName(NameKind::User, nick); }
void removeUser(char *&args) { if (const char *nick = nextWord(args)) withdrawName(NameKind::User, nick); }
void addChan(char *&args) { if (const char *chan = nextWord(args)) addName(NameKind::Channel, chan); }
void removeChan(char *&args) { if (const char *chan = nextWord(args)) withdrawName(NameKind::Channel, chan); }

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

void takeLinkLine(LocalPeer &link, char *line)
{
    const bool first = !link.spoke;
    link.spoke = true;
    if (!first || !isStatusRequest(line)) return handleRequest(line);
    // A status request that found no server linked: answered like any other, and no link after all.
    writeStatus(link.sock);
    closePeer(link);
}

void refuseWaiting(LocalPeer &peer, const char *why)
{
    noteLimited(serverLink.nextRefusalNote, nowMillis(), "refused a local connection: %s\n", why);
    closePeer(peer);
}

bool provesTheKey(const LocalPeer &peer, const char *line)
{
    const char *proof = rt_key_line_hex(line, RT_AUTH_WORD, 2 * RT_MAC_SIZE);
    if (!proof) return false;
    char expected[2 * RT_MAC_SIZE + 1];
    rt_server_link_proof(lsdb.nodes[lsdb.self].id, peer.challenge, expected);
    return sodium_memcmp(expected, proof, 2 * RT_MAC_SIZE) == 0;
}

// The proven server takes the link, the old one going with what it announced.
void promote(LocalPeer &peer)
{
    dropLink("replaced by a newly authenticated server");
    serverLink.link = peer;
    serverLink.link.spoke = true;
    serverLink.link.pendingLength = 0;  // the proof's line, taken
    peer = LocalPeer{};
    note("server linked\n");
}

void takeWaitingLine(LocalPeer &peer, char *line)
{
    peer.spoke = true;
    if (isStatusRequest(line)) {
        writeStatus(peer.sock);
        return closePeer(peer);
    }
    if (!rt_key_loaded()) return refuseWaiting(peer, "it may not link now, and it asked for no status");
    if (peer.caller != Caller::Node) return refuseWaiting(peer, "only the node's own address may link");
    if (!provesTheKey(peer, line)) return refuseWaiting(peer, "no valid AUTH line (a server without the key?)");
    promote(peer);
}

using LineTaker = void (*)(LocalPeer &peer, char *line);

// Whether the peer is still in its place after its line was taken: taking it may close the peer
// (an answer that cannot be sent) or move it to the link, and then the place is no longer its.
bool takeLine(LocalPeer &peer, LineTaker take)
{
    const int sock = peer.sock;
    peer.pending[peer.pendingLength] = '\0';
    if (peer.pendingLength > 0 && peer.pending[peer.pendingLength - 1] == '\r') peer.pending[peer.pendingLength - 1] = '\0';
    take(peer, peer.pending);
    if (peer.sock != sock) return false;
    peer.pendingLength = 0;
    return true;
}

// Cuts what has arrived into lines; the count of bytes used, short of length when the peer left
// its place (closed, or became the link). A line too long for the buffer is handled as far as it
// fits and the rest dropped up to its LF: were it a request, it still gets its one answer.
size_t frameLines(LocalPeer &peer, LineTaker take, const char *data, size_t length)
{
    size_t i = 0;
    while (i < length) {
        const char c = data[i++];
        if (c == '\n') {
            const bool whole = !peer.skipping;
            peer.skipping = false;
            if (whole && !takeLine(peer, take)) break;
        } else if (!peer.skipping) {
            peer.pending[peer.pendingLength++] = c;
            if (peer.pendingLength < REQUEST_SIZE - 1) continue;
            if (!takeLine(peer, take)) break;
            peer.skipping = true;
        }
    }
    return i;
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

Caller callerOf(const sockaddr_in &peer)
{
    const uint32_t addr = ntohl(peer.sin_addr.s_addr);
    if (addr == serverLink.nodeAddr) return Caller::Node;
    return isLoopback(addr) && isLoopback(serverLink.nodeAddr) ? Caller::Viewer : Caller::Stranger;
}

// A free place, or the oldest waiting connection's: a squatter that fills every place loses the
// oldest to each newcomer, so the real server, which answers its challenge within a round trip,
// cannot be kept out.
LocalPeer &placeToWait()
{
    LocalPeer *oldest = &serverLink.waiting[0];
    for (LocalPeer &w : serverLink.waiting) {
        if (w.sock < 0) return w;
        if (w.acceptedAt < oldest->acceptedAt) oldest = &w;
    }
    refuseWaiting(*oldest, "a newer one needed its place");
    return *oldest;
}

void challenge(LocalPeer &peer)
{
    unsigned char random[RT_CHALLENGE_HEX / 2];
    randombytes_buf(random, sizeof random);
    sodium_bin2hex(peer.challenge, sizeof peer.challenge, random, sizeof random);
    char line[sizeof RT_CHALLENGE_WORD + RT_CHALLENGE_HEX + 2];
    const int length = std::snprintf(line, sizeof line, "%s %s\n", RT_CHALLENGE_WORD, peer.challenge);
    // A fresh connection's buffer takes one short line; one that cannot is no server's.
    if (send(peer.sock, line, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT) != length) closePeer(peer);
}

void wait(int fd, Caller caller)
{
    LocalPeer &peer = placeToWait();
    peer = LocalPeer{};
    peer.sock = fd;
    peer.caller = caller;
    peer.acceptedAt = nowMillis();
    if (rt_key_loaded()) challenge(peer);
}

void readWaiting(LocalPeer &peer)
{
    char data[REQUEST_SIZE];
    const ssize_t n = recv(peer.sock, data, sizeof data, 0);
    if (n < 0 && interrupted()) return;
    if (n <= 0) return closePeer(peer);
    const int sock = peer.sock;
    const size_t used = frameLines(peer, takeWaitingLine, data, static_cast<size_t>(n));
    // What the proven server sent behind its proof is already the link's.
    if (serverLink.link.sock == sock) frameLines(serverLink.link, takeLinkLine, data + used, static_cast<size_t>(n) - used);
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

int serverWaitingCount()
{
    int count = 0;
    for (const LocalPeer &w : serverLink.waiting) count += w.sock >= 0;
    return count;
}

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
    // Without a key the node's address is the proof; a viewer can only ask for the status.
    if (!rt_key_loaded() && caller == Caller::Node && serverLink.link.sock < 0) {
        serverLink.link = LocalPeer{};  // nothing of an earlier link's framing carries over
        serverLink.link.sock = fd;
        note("server linked\n");
        return;
    }
    wait(fd, caller);
}

void readServer()
{
    char data[SERVER_READ_SIZE];
    const ssize_t n = recv(serverLink.link.sock, data, sizeof data, 0);
    if (n < 0 && interrupted()) return;
    if (n <= 0) return dropLink(n == 0 ? "the server closed it" : "read failed");
    answers.open = true;
    frameLines(serverLink.link, takeLinkLine, data, static_cast<size_t>(n));
    answers.open = false;
    flushAnswers();
}

void watchServerLink(fd_set &read, int &high)
{
    const auto watch = [&](int fd) {
        if (fd < 0) return;
        FD_SET(fd, &read);
        if (fd > high) high = fd;
    };
    watch(serverLink.listener);
    watch(serverLink.link.sock);
    for (const LocalPeer &w : serverLink.waiting) watch(w.sock);
}

// Each read may close or promote a connection: only one still in its place is read.
void serveServerLink(const fd_set &ready, long long now)
{
    const int linkSock = serverLink.link.sock;
    if (linkSock >= 0 && FD_ISSET(linkSock, &ready)) readServer();
    for (LocalPeer &w : serverLink.waiting) {
        const int fd = w.sock;
        if (fd >= 0 && fd != linkSock && FD_ISSET(fd, &ready)) readWaiting(w);
        if (w.sock >= 0 && w.sock == fd && now - w.acceptedAt >= RT_AUTH_PATIENCE_MS)
            refuseWaiting(w, rt_key_loaded() ? "it did not authenticate in time" : "it stayed silent");
    }
    if (FD_ISSET(serverLink.listener, &ready)) acceptServer();
}

long long nextServerLinkDeadline(long long now)
{
    long long next = now + RT_AUTH_PATIENCE_MS;
    for (const LocalPeer &w : serverLink.waiting)
        if (w.sock >= 0 && w.acceptedAt + RT_AUTH_PATIENCE_MS < next) next = w.acceptedAt + RT_AUTH_PATIENCE_MS;
    return next;
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
