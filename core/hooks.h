// What the layers above the core do at the moments only the core sees; wired once at start-up,
// so that the core never calls upward.
#pragma once

struct CoreHooks {
    void (*handleLine)(char *line, int slot);  // every complete line read from a slot
    // A peer is leaving: its record still holds its names, and its socket may already be closed.
    void (*departs)(int slot);
    void (*daemonLinkLost)();   // slot 0 was reset: nothing that waits on it will be answered
    void (*daemonLineLost)();   // a daemon line too long to read was dropped whole
    // 1 while the layers above can take another read's worth of client lines; a client is left
    // unread meanwhile, so a burst waits in its socket instead of being refused.
    int (*roomForLines)();
    // The first line of a fresh connection, from the IPv4 address peerAddr (host order): 1 when it
    // was another node's line, taken or refused, so that the connection is closed; 0 for a client.
    int (*takeFirstLine)(char *line, unsigned peerAddr);
    int (*isNodeAddress)(unsigned peerAddr);  // 1 when another node may speak from there
    // Start-up's daemon connection: 1 when the layers above take it to authenticate it first (it
    // becomes slot 0 later, or is closed and retried); 0 to make it slot 0 at once.
    int (*holdDaemonLink)(int fd);
};

extern CoreHooks coreHooks;

// Work above the core that owns sockets or timers of its own: before the loop's wait it names
// what to watch (watchRead, watchWrite, wakeWithinMs); after it, it looks at what is ready.
struct Poller {
    void (*beforeWait)();
    void (*afterWait)();
};

inline constexpr int MAX_POLLERS = 4;
void addPoller(Poller poller);
