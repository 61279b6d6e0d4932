// What the layers above the core do at the moments only the core sees; wired once at start-up,
// so that the core never calls upward.
#pragma once

#include <cstddef>

// What a fresh connection's first line turned out to be. All but a client's end the connection.
enum class FirstLine {
    Client,    // no node's line: the connection becomes a client
    Taken,     // another node's line, handled here: the sender gets LINE_TAKEN_BYTE
    Refused,   // not a node's line (a stranger's, or one that does not read as one): no word back
    Declined,  // a node's line this node cannot hand on now (no daemon, no room): LINE_DECLINED_BYTE
    Link,      // another node opens a link: the layers above take the connection (adoptConnection)
    Query,     // a request for a report from this machine: answered (answerQuery), then closed
};

// The one byte a receiver writes back before it closes a node's connection. A sender counts a line
// delivered only on LINE_TAKEN_BYTE, as a close alone may also be an eviction or a crash; it sends
// a line declined again, as it was never taken. Neither byte begins any line a server writes (':'
// or a command word), so a port that answers with a line is never read as either; and a node built
// without them writes nothing back at all.
inline constexpr char LINE_TAKEN_BYTE = '+';
inline constexpr char LINE_DECLINED_BYTE = '-';

struct CoreHooks {
    void (*handleLine)(char *line, int slot);  // every complete line read from a slot
    // A peer is leaving: its record still holds its names, and its socket may already be closed.
    void (*departs)(int slot);
    void (*daemonLinkLost)();   // slot 0 was reset: nothing that waits on it will be answered
    void (*daemonLineLost)();   // a daemon line too long to read was dropped whole
    void (*lineTooLong)(int slot);  // a client line too long to read was dropped whole
    // How many more lines that each ask for a routing slot the client in `slot` may bring (for
    // NO_SLOT, other nodes' lines); a client is read no further than that, so a burst waits in
    // its socket instead of being refused.
    int (*roomForLines)(int slot);
    // The first line of a fresh connection, from the IPv4 address peerAddr (host order).
    FirstLine (*takeFirstLine)(char *line, unsigned peerAddr);
    int (*isNodeAddress)(unsigned peerAddr);  // 1 when another node may speak from there
    // A fresh connection whose first line was FirstLine::Link is theirs from now on, with the
    // bytes that followed that line.
    void (*adoptConnection)(int fd, unsigned peerAddr, const char *line, const char *rest, size_t restLength);
    // 1 when a connection from peerAddr may ask for a report (FirstLine::Query): it is then read
    // even while every client slot is taken, as the operator looks most when the node is full.
    int (*mayQuery)(unsigned peerAddr);
    // Writes the answer to a FirstLine::Query on the fresh connection fd; the core closes it after.
    void (*answerQuery)(int fd, const char *line);
    // The line (LINE_SIZE bytes) a client is sent before it is closed for `reason`; 0 when it is
    // closed without a word.
    int (*closingLine)(char *line, const char *reason);
    // Start-up's daemon connection: 1 when the layers above take it to authenticate it first (it
    // becomes slot 0 later, or is closed and retried); 0 to make it slot 0 at once.
    int (*holdDaemonLink)(int fd);
    // SIGHUP: what can be read again while the node serves is read again.
    void (*reload)();
};

extern CoreHooks coreHooks;

// Work above the core that owns sockets or timers of its own: before the loop's wait it names
// what to watch (watchRead, watchWrite, wakeWithinMs); after it, it looks at what is ready.
struct Poller {
    void (*beforeWait)();
    void (*afterWait)();
};

inline constexpr int MAX_POLLERS = 12;
void addPoller(Poller poller);
