#include "support/fake_peers.h"

#include "support/ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace qtest {

namespace {

using Clock = std::chrono::steady_clock;


bool pollFor(int fd, short events, Millis timeout) { return waitForEvents(fd, events, Clock::now() + timeout); }

// A connect begun without waiting; -1 if it could not even start.
int startConnect(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in addr = loopbackAddress(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

PeerListener::PeerListener() { listener_ = boundSocket(16, port_); }

PeerListener::~PeerListener()
{
    if (listener_ >= 0) close(listener_);
}

std::optional<Delivery> PeerListener::next(Millis timeout)
{
    const auto deadline = Clock::now() + timeout;
    if (!pollFor(listener_, POLLIN, timeout)) return std::nullopt;
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return std::nullopt;
    LineSocket conn(fd);
    // The node writes one line and waits for this end's answer, as a node gives once it has read it.
    Delivery d;
    d.bytes = conn.readLine(std::max(Millis(millisLeft(deadline)), Millis(500)));
    d.ended = !d.bytes.empty();
    if (d.ended) (void)conn.send("+");  // the byte that says the line was taken
    return d;
}

bool PeerListener::quiet(Millis window) { return !pollFor(listener_, POLLIN, window); }

ClosedPort::ClosedPort() { fd_ = boundSocket(-1, port_); }

ClosedPort::~ClosedPort()
{
    if (fd_ >= 0) close(fd_);
}

StalledListener::StalledListener()
{
    listener_ = boundSocket(0, port_);
    // The one place in the accept queue goes to a connection that is never accepted.
    filler_ = startConnect(port_);
    if (filler_ < 0 || !pollFor(filler_, POLLOUT, Millis(2000))) {
        if (filler_ >= 0) close(filler_);
        close(listener_);
        throw std::runtime_error("stalled listener: its own connect did not complete");
    }
}

StalledListener::~StalledListener()
{
    if (filler_ >= 0) close(filler_);
    if (listener_ >= 0) close(listener_);
}

bool StalledListener::hangs(Millis window)
{
    int probe = startConnect(port_);
    if (probe < 0) return false;
    const bool completed = pollFor(probe, POLLOUT, window);
    close(probe);
    return !completed;
}

}  // namespace qtest
