// Other nodes as the node under test meets them on their IRC ports: one that takes in its FORWARD
// connections, one whose port refuses, and one whose connects never complete.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/fake_daemon.h"

namespace qtest {

// What one forwarding connection carried, from its accept to its end.
struct Delivery {
    std::string bytes;
    bool ended = false;  // its line was complete; this end then acknowledged and closed it, as a node does
};

// Listens on 127.0.0.1 before the node starts. Connections the node opens complete in the
// backlog, so the test takes them in whenever it looks, one at a time, in arrival order.
class PeerListener {
public:
    PeerListener();
    ~PeerListener();
    PeerListener(const PeerListener &) = delete;
    PeerListener &operator=(const PeerListener &) = delete;

    uint16_t port() const { return port_; }
    // The next connection's line; nullopt when none arrives in time.
    std::optional<Delivery> next(Millis timeout = Millis(3000));
    // True when no connection arrives within the window.
    bool quiet(Millis window = Millis(50));

private:
    int listener_ = -1;
    uint16_t port_ = 0;
};

// A port held by a socket that is bound and never listens: a connect to it is refused at once,
// and no other program can take the port meanwhile.
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort &) = delete;
    ClosedPort &operator=(const ClosedPort &) = delete;
    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A neighbour that has stopped taking connections: it listens with a backlog of one and one
// connection of its own fills it, so every further SYN is dropped and a connect hangs.
class StalledListener {
public:
    StalledListener();
    ~StalledListener();
    StalledListener(const StalledListener &) = delete;
    StalledListener &operator=(const StalledListener &) = delete;
    uint16_t port() const { return port_; }
    // A connect of the test's own is still pending after the window: the backlog holds nobody more.
    bool hangs(Millis window = Millis(100));

private:
    int listener_ = -1;
    int filler_ = -1;
    uint16_t port_ = 0;
};

}  // namespace qtest
