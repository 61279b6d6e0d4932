// The daemon's local port for the fuzz targets of the server link: one listener on loopback and
// connections to it that leave nothing behind.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "tests/fuzz/fuzz_check.h"

namespace routedfuzz {

inline constexpr uint32_t LOOPBACK = 0x7f000001;

inline int openListener()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(s, 4) != 0)
        invariantBroken("cannot listen on loopback");
    return s;
}

// A fresh listening port now and then: links the daemon ends first leave TIME_WAIT on this same
// stack, and a long run would otherwise use up every loopback port towards one listener.
inline int listener(bool nextInput = false)
{
    static int fd = -1;
    static long inputs = 0;
    if (fd < 0 || (nextInput && ++inputs % 10000 == 0)) {
        if (fd >= 0) ::close(fd);
        fd = openListener();
    }
    return fd;
}

inline int connectLink()
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    (void)::getsockname(listener(), reinterpret_cast<sockaddr *>(&addr), &len);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // libFuzzer's timer may interrupt the connect, which then goes on by itself: wait for it.
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        pollfd done{fd, POLLOUT, 0};
        int err = errno;
        socklen_t errLen = sizeof err;
        if (err == EINTR && ::poll(&done, 1, 5000) == 1) (void)::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen);
        if (err != 0) invariantBroken("cannot connect: %s", std::strerror(err));
    }
    // Ended with a reset, so that a long run leaves no TIME_WAIT behind on loopback.
    const linger abrupt{1, 0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    // Each read goes out at once, as the node's link does, so the daemon sees it before the next.
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

}  // namespace routedfuzz
