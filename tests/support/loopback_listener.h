// A listening socket on 127.0.0.1 at a port the system picks, non-blocking as the node's is.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

// The socket, with its address in `at`; -1 when the system refuses one.
inline int loopbackListener(sockaddr_in &at, int backlog)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    at = sockaddr_in{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&at), &length) != 0)
        return -1;
    return fd;
}
