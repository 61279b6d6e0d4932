// Hooks through which the routing daemons send and receive their datagrams, so that a harness
// can watch or disturb the traffic without touching the daemon.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

void rt_init();
ssize_t rt_recvfrom(int sock, void *buf, size_t len, int flags, sockaddr *from, socklen_t *fromLen);
ssize_t rt_sendto(int sock, const void *buf, size_t len, int flags, const sockaddr *to, socklen_t toLen);
