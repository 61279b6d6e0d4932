// Forwarding: sending a waiting message on to its next hops, and taking in what other nodes
// forward here as if a local client had sent it, but without registration.
#include "forwarding.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "../core/clock.h"
#include "../core/connections.h"
#include "../core/server.h"
#include "../core/text.h"
#include "../irc/channels.h"
#include "../irc/dispatch.h"
#include "../irc/messages.h"

namespace {

constexpr char FMT_FORWARD[] = "FORWARD %lu :%s PRIVMSG %s %s";  // CR LF follows when it is framed

// The whole node waits while a next hop is reached, so a dead neighbour may cost this much at most.
constexpr int CONNECT_TIMEOUT_MS = 2000;
constexpr timeval FORWARD_SEND_TIMEOUT = {2, 0};
// A neighbour that let a connect run out of time is not tried again for this long: an answer may
// name it many times, and many waiting messages may go its way, each costing the full timeout.
constexpr long long UNREACHABLE_PAUSE_MS = 5000;

long long unreachableUntil[MAX_NEIGHBORS];  // per index of neighborNodes; 0 while it answers

enum class Reach { Connected, Failed, TimedOut };

Reach finishConnect(int fd)
{
    const long long deadline = nowMillis() + CONNECT_TIMEOUT_MS;
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
        const long long left = deadline - nowMillis();
        ready = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return Reach::TimedOut;
    int err = 0;
    socklen_t len = sizeof err;
    const bool ok = ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    return ok ? Reach::Connected : Reach::Failed;
}

bool makeBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// A blocking socket connected to the neighbour's IRC port, or -1.
int connectToNeighbor(int n)
{
    if (unreachableUntil[n] > nowMillis()) return -1;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in addr = socketAddress(neighborNodes[n]->ipaddr, neighborNodes[n]->server_port);
    Reach reach = Reach::Connected;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0)
        reach = errno == EINPROGRESS ? finishConnect(fd) : Reach::Failed;
    unreachableUntil[n] = reach == Reach::TimedOut ? nowMillis() + UNREACHABLE_PAUSE_MS : 0;
    if (reach != Reach::Connected || !makeBlocking(fd)) {
        close(fd);
        return -1;
    }
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &FORWARD_SEND_TIMEOUT, sizeof FORWARD_SEND_TIMEOUT);
    return fd;
}

}  // namespace

uint32_t readNodeId(const char *word)
{
    const char *p = word;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '+') ++p;
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) return 0;
    }
    return static_cast<uint32_t>(value);
}

int forwardMessage(uint32_t hop, uint32_t srcNode, const char *sender, const char *target, const char *text)
{
    const int n = findNeighbor(hop);
    if (n < 0) return 0;  // no such neighbour: there is nowhere to connect
    const int fd = connectToNeighbor(n);
    if (fd < 0) return 0;
    char line[LINE_SIZE];
    formatLine(line, FMT_FORWARD, static_cast<unsigned long>(srcNode), sender, target, text);
    // Cut inside the text if it must be, so that the line keeps its CR LF and still arrives.
    char wire[LINE_SIZE];
    const size_t length = frameLine(wire, line);
    const ssize_t sent = send(fd, wire, length, MSG_NOSIGNAL);
    close(fd);
    return sent == static_cast<ssize_t>(length) ? 1 : 0;
}

// A hop that cannot be reached does not keep the message from the others.
void forwardAnswer(const PendingMessage &m, LineCursor &hops)
{
    const uint32_t srcNode = readNodeId(m.srcNode);
    if (isChannelName(m.target)) {
        while (const char *hop = hops.next()) forwardMessage(readNodeId(hop), srcNode, m.sender, m.target, m.text);
        return;
    }
    const char *hop = hops.next();
    const uint32_t next = hop ? readNodeId(hop) : 0;
    if (next == 0) return;
    // The word after the hop is the daemon's own business; a hop without it is still used.
    forwardMessage(next, srcNode, m.sender, m.target, m.text);
}

void handleForward(int slot, LineCursor &cur)
{
    const char *srcNode = cur.next();
    const char *senderWord = cur.next();
    const char *keyword = cur.next();  // PRIVMSG, though any word is taken
    const char *targetWord = cur.next();
    const char *firstWord = cur.next();
    if (!srcNode || !senderWord || !keyword || !targetWord || !firstWord) return;  // nothing to deliver

    char sender[NICK_MAX + 1];
    copyCut(sender, senderWord + 1);  // the colon, whatever stands there
    char target[NICK_MAX + 1];
    copyCut(target, targetWord);
    char text[LINE_SIZE];
    TextBuilder builder(text);
    builder.add(firstWord);
    appendWords(builder, cur);

    // The source node passes on as received, so every node on the way asks about the same tree.
    const Message m{srcNode, sender, target, text};
    if (isChannelName(target)) sendToChannel(slot, m, target);
    else sendToNick(slot, m);
}
