// An IPv4 socket address from the configuration's host-order values.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

inline sockaddr_in socketAddress(uint32_t ipaddr, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(ipaddr);
    addr.sin_port = htons(port);
    return addr;
}
