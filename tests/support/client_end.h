// The test's side of a connection slot: a socketpair whose other end the server owns.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/connections.h"
#include "core/readiness.h"

class ClientEnd {
public:
    ClientEnd(int slot, int mine, int theirs) : slot_(slot), fd_(mine), serverFd_(theirs) {}
    ClientEnd(const ClientEnd &) = delete;
    ClientEnd &operator=(const ClientEnd &) = delete;
    ~ClientEnd()
    {
        closeMine();
        // The server closes its end itself when it resets the slot; only a still-held end is ours to close.
        if (connections[slot_].sock == serverFd_) {
            closeDescriptor(serverFd_);
            connections[slot_].sock = 0;
        }
    }

    // Everything the server has queued so far. The server's queues are written here, on the test's
    // own thread, and a send on a socketpair lands in this end before it returns, so nothing is
    // waited for.
    std::string take()
    {
        flushOutput();
        std::string got;
        for (int round = 0; round < 1024; ++round) {
            char chunk[4096];
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) break;
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }

    void send(const std::string &bytes)
    {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n != static_cast<ssize_t>(bytes.size())) std::perror("ClientEnd::send");
    }

    // Hangs up the test's side, so the server's next read sees end of stream.
    void closeMine()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // True once the server has closed its end and nothing unread is left before the end of stream.
    bool hungUp()
    {
        flushOutput();
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) return false;
        char byte;
        return ::recv(fd_, &byte, 1, MSG_DONTWAIT) == 0;
    }

private:
    int slot_;
    int fd_;
    int serverFd_;
};

inline ClientEnd attachClient(int slot)
{
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::perror("socketpair");
    occupySlot(slot, pair[1]);  // as admission hands a slot out: a serial of its own, read by the loop
    std::snprintf(connections[slot].ip, sizeof connections[slot].ip, "%s", "127.0.0.1");
    return ClientEnd(slot, pair[0], pair[1]);
}
