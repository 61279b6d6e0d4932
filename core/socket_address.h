// An IPv4 socket address from the configuration's host-order values.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdint>

inline sockaddr_in socketAddress(uint32_t ipaddr, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(ipaddr);
    addr.sin_port = htons(port);
    return addr;
}

// Makes a socket's connections come from the node's own configured address, so that the peer
// sees which node speaks; the port is still chosen at connect, from the whole ephemeral range.
inline bool bindSource(int fd, uint32_t ipaddr)
{
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    const sockaddr_in from = socketAddress(ipaddr, 0);
    return bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) == 0;
}

// Each line leaves as soon as the loop writes it: Nagle would hold a short reply until the
// peer's delayed ACK.
inline void tuneSocket(int fd)
{
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A host-order address as a dotted quad, for messages.
struct DottedQuad {
    char text[INET_ADDRSTRLEN];
};
inline DottedQuad dottedQuad(uint32_t ipaddr)
{
    DottedQuad q{};
    const in_addr addr{htonl(ipaddr)};
    (void)inet_ntop(AF_INET, &addr, q.text, sizeof q.text);
    return q;
}
