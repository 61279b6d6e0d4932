// Re-establishing the daemon link with a non-blocking connect that each pass of the loop looks at;
// with the network's key, the link is taken only once the daemon's challenge is answered.
#include "daemon_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../core/client_profile.h"
#include "../core/clock.h"
#include "../core/connections.h"
#include "../core/hooks.h"
#include "../core/server.h"
#include "../core/sizes.h"
#include "../rtlib/rt_args.h"
#include "../rtlib/rt_key.h"
#include "forwarding.h"
#include "link_status.h"
#include "node_link.h"
#include "pending_queue.h"
#include "routing_hooks.h"

namespace {

constexpr long long RETRY_MS = 1000;
// A connect, or a challenge, still unanswered after RT_GREETING_PATIENCE_MS is abandoned for a fresh attempt.
// The challenge line: its word, a space, its digits, CR LF and a terminator.
constexpr size_t GREETING_SIZE = sizeof RT_CHALLENGE_WORD + 1 + RT_CHALLENGE_HEX + 2;

struct Reconnect {
    int fd = -1;               // a connect in progress, or a connection waiting for its challenge
    bool greeting = false;     // connected, and the daemon's challenge not yet answered
    long long startedAt = 0;
    long long nextAttemptAt = 0;
    char greetingLine[GREETING_SIZE] = {};
    size_t greetingLength = 0;
};

Reconnect reconnect;

void say(const char *text)
{
    if (argList.verbose != 1) return;
    std::printf("%s\n", text);
    std::fflush(stdout);
}

void abandonAttempt()
{
    if (reconnect.greeting) say("Daemon link not taken: no challenge answered (does the daemon have the same key?)");
    close(reconnect.fd);
    reconnect.fd = -1;
    reconnect.greeting = false;
}

void takeLink(int fd)
{
    takeDaemonLink(fd);
    if (argList.verbose == 1) {
        std::printf("Server connected to daemon on local port %d\n", curr_node_config_entry->local_port);
        std::fflush(stdout);
    }
    routingHooks.daemonLinkUp();
}

// Without a key the connection is the link; with one it waits for the daemon's challenge first.
void linkUp(int fd, long long now)
{
    if (!rt_key_loaded()) return takeLink(fd);
    reconnect = Reconnect{};
    reconnect.fd = fd;
    reconnect.greeting = true;
    reconnect.startedAt = now;
    reconnect.nextAttemptAt = now + RETRY_MS;
}

// The proof of the key for the challenge line; false when the line is no challenge.
bool answerChallenge(int fd, char *line)
{
    const char *challenge = rt_key_line_hex(line, RT_CHALLENGE_WORD, RT_CHALLENGE_HEX);
    if (!challenge) return false;
    char proof[2 * RT_MAC_SIZE + 1];
    rt_server_link_proof(curr_nodeID, challenge, proof);
    char answer[LINE_SIZE];
    const int length = std::snprintf(answer, sizeof answer, "%s %s\r\n", RT_AUTH_WORD, proof);
    return send(fd, answer, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT) == length;
}

// Reads what the daemon has sent without waiting; its first line must be the challenge.
void readChallenge(long long now)
{
    Reconnect &r = reconnect;
    const ssize_t n = recv(r.fd, r.greetingLine + r.greetingLength, sizeof r.greetingLine - 1 - r.greetingLength, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        if (now - r.startedAt >= RT_GREETING_PATIENCE_MS) abandonAttempt();
        return;
    }
    if (n <= 0) return abandonAttempt();
    r.greetingLength += static_cast<size_t>(n);
    r.greetingLine[r.greetingLength] = '\0';
    char *end = std::strchr(r.greetingLine, '\n');
    if (!end) {
        if (r.greetingLength == sizeof r.greetingLine - 1) abandonAttempt();
        return;
    }
    *end = '\0';
    if (end > r.greetingLine && end[-1] == '\r') end[-1] = '\0';
    if (!answerChallenge(r.fd, r.greetingLine)) return abandonAttempt();
    const int fd = r.fd;
    r.fd = -1;
    r.greeting = false;
    takeLink(fd);
}

void startAttempt(long long now)
{
    reconnect.nextAttemptAt = now + RETRY_MS;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    // Descriptor 0 marks a free slot, and the wait cannot watch what lies past its tables.
    if (!canWatch(fd)) {
        close(fd);
        return;
    }
    // From the node's own address, the one its daemon takes the link from.
    (void)bindSource(fd, curr_node_config_entry->ipaddr);
    const sockaddr_in addr = socketAddress(curr_node_config_entry->ipaddr, curr_node_config_entry->local_port);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) return linkUp(fd, now);
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
    if (reconnect.greeting) return readChallenge(now);
    pollfd p{reconnect.fd, POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0) {
        if (now - reconnect.startedAt >= RT_GREETING_PATIENCE_MS) abandonAttempt();
        return;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(reconnect.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0) return abandonAttempt();
    const int fd = reconnect.fd;
    reconnect.fd = -1;
    linkUp(fd, now);
}

// The daemon connection made at start-up goes the same way as a reconnect's.
int holdDaemonLink(int fd)
{
    if (!rt_key_loaded()) return 0;
    linkUp(fd, nowMillis());
    return 1;
}

void beforeWait()
{
    if (reconnect.fd >= 0 && reconnect.greeting) watchRead(reconnect.fd);
    else if (reconnect.fd >= 0) watchWrite(reconnect.fd);
    wakeWithinMs(daemonLinkDueInMs());
}

}  // namespace

RoutingHooks routingHooks;

void wireRouting()
{
    emptyQueue();
    coreHooks.daemonLinkLost = dropWaitingMessages;
    coreHooks.daemonLineLost = finishUnreadableAnswer;
    coreHooks.roomForLines = roomForLines;
    coreHooks.takeFirstLine = takeForwardLine;
    coreHooks.isNodeAddress = isNodeAddress;
    coreHooks.holdDaemonLink = holdDaemonLink;
    coreHooks.adoptConnection = adoptLink;
    coreHooks.mayQuery = mayAskLinkStatus;
    coreHooks.answerQuery = answerLinkStatus;
    nodeLinks = replyMode == Replies::Client;
    addTableSizer(sizeRoutingShares);
    addPoller({beforeWait, keepDaemonLinked});
    addPoller(forwardingPoller());
    // After forwarding's, so that what forwarding wrote on a link in this pass leaves in it.
    addPoller(linkPoller());
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
    const long long due = reconnect.fd >= 0 ? reconnect.startedAt + RT_GREETING_PATIENCE_MS : reconnect.nextAttemptAt;
    return due > now ? due - now : 0;
}

const char *takeKeyOption(int &argc, char **argv)
{
    constexpr char OPTION[] = "--key";
    const char *path = nullptr;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], OPTION) == 0) path = i + 1 < argc ? argv[++i] : "";
        else if (std::strncmp(argv[i], OPTION, sizeof OPTION - 1) == 0 && argv[i][sizeof OPTION - 1] == '=')
            path = argv[i] + sizeof OPTION;
        else argv[kept++] = argv[i];
    }
    argv[kept] = nullptr;
    argc = kept;
    return path;
}
