// Sockets of the daemon's tests, on loopback addresses and ports of the kernel's choice.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace routedtest {

// 127.0.0.host at the port (0: none yet).
inline sockaddr_in loopbackAt(uint8_t host, uint16_t port = 0)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + host);
    addr.sin_port = htons(port);
    return addr;
}

// A socket of the type bound to 127.0.0.host on a free port; where it is bound goes into addr.
inline int boundLoopback(int type, sockaddr_in &addr, uint8_t host = 1)
{
    const int fd = socket(AF_INET, type, 0);
    EXPECT_GE(fd, 0);
    addr = loopbackAt(host);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    socklen_t length = sizeof addr;
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length), 0);
    return fd;
}

}  // namespace routedtest
