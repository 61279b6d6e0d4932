// Re-establishing the daemon link with a non-blocking connect that each pass of the loop looks at.
#include "daemon_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "../core/clock.h"
#include "../core/connections.h"
#include "../core/hooks.h"
#include "../core/server.h"
#include "../irc/channels.h"
#include "../irc/member_notices.h"
#include "../rtlib/rt_args.h"
#include "daemon_lines.h"
#include "forwarding.h"
#include "pending_queue.h"

namespace {

constexpr long long RETRY_MS = 1000;
// A connect still unanswered after this long is abandoned for a fresh one (a lost SYN, say).
constexpr long long CONNECT_PATIENCE_MS = 3000;

struct Reconnect {
    int fd = -1;               // a connect in progress
    long long startedAt = 0;
    long long nextAttemptAt = 0;
};

Reconnect reconnect;

void abandonAttempt()
{
    close(reconnect.fd);
    reconnect.fd = -1;
}

void linkUp(int fd)
{
    takeDaemonLink(fd);
    if (argList.verbose == 1) {
        std::printf("Server connected to daemon on local port %d\n", curr_node_config_entry->local_port);
        std::fflush(stdout);
    }
    announceEverything();
}

void startAttempt(long long now)
{
    reconnect.nextAttemptAt = now + RETRY_MS;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    // Descriptor 0 marks a free slot, and the wait's set cannot hold what lies past FD_SETSIZE.
    if (fd == 0 || fd >= FD_SETSIZE) {
        close(fd);
        return;
    }
    // From the node's own address, the one its daemon takes the link from.
    (void)bindSource(fd, curr_node_config_entry->ipaddr);
    const sockaddr_in addr = socketAddress(curr_node_config_entry->ipaddr, curr_node_config_entry->local_port);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) return linkUp(fd);
    if (errno != EINPROGRESS) {
        close(fd);
        return;
    }
    reconnect.fd = fd;
    reconnect.startedAt = now;
}

// Looks at the connect in progress without waiting for it.
void checkAttempt(long long now)
{
    pollfd p{reconnect.fd, POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0) {
        if (now - reconnect.startedAt >= CONNECT_PATIENCE_MS) abandonAttempt();
        return;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(reconnect.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0) return abandonAttempt();
    const int fd = reconnect.fd;
    reconnect.fd = -1;
    linkUp(fd);
}

void beforeWait()
{
    if (reconnect.fd >= 0) watchWrite(reconnect.fd);
    wakeWithinMs(daemonLinkDueInMs());
}

}  // namespace

void wireRouting()
{
    emptyQueue();
    coreHooks.daemonLinkLost = dropWaitingMessages;
    coreHooks.daemonLineLost = finishUnreadableAnswer;
    coreHooks.roomForLines = roomForLines;
    coreHooks.takeFirstLine = takeForwardLine;
    coreHooks.isNodeAddress = isNodeAddress;
    addPoller({beforeWait, keepDaemonLinked});
    addPoller(forwardingPoller());
}

void keepDaemonLinked()
{
    if (connections[DAEMON_SLOT].sock != 0) return;
    const long long now = nowMillis();
    if (reconnect.fd >= 0) checkAttempt(now);
    else if (now >= reconnect.nextAttemptAt) startAttempt(now);
}

int daemonConnectingSock() { return reconnect.fd; }

long long daemonLinkDueInMs()
{
    constexpr long long LINK_UP = 60 * 1000;
    if (connections[DAEMON_SLOT].sock != 0) return LINK_UP;
    const long long now = nowMillis();
    const long long due = reconnect.fd >= 0 ? reconnect.startedAt + CONNECT_PATIENCE_MS : reconnect.nextAttemptAt;
    return due > now ? due - now : 0;
}

void announceEverything()
{
    for (int slot = FIRST_CLIENT_SLOT; slot < MAX_CONNECTIONS; ++slot) {
        const Connection &c = connections[slot];
        if (c.sock != 0 && c.registered) replyf(DAEMON_SLOT, FMT_ADDUSER, c.nick);
    }
    for (int room = 1; room <= host.roomCount; ++room) replyf(DAEMON_SLOT, FMT_ADDCHAN, rooms[room].name);
    announceNodesChannel();
}
