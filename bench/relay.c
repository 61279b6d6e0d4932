// The least any server can do with a line: a relay that passes every byte it reads on at once,
// TCP_NODELAY, one select and one recv and one send per read. bench/link-bench runs one at each
// machine of a workload's path, where the servers run, so that the latency of the same path with
// nothing but relays says what the machine itself costs per hop (waking a process, the delays).
// usage: relay ADDRESS PORT [NEXT_ADDRESS NEXT_PORT ...]
// A connection whose first bytes are "SINK\r\n" receives what reaches a relay with no next hop;
// any other connection's bytes go to every next hop (or to the sinks). bench/link-bench builds it.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#define MAX_FDS 32

static int socketTo(const char *address, int port, int listening)
{
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((unsigned short)port)};
    if (inet_pton(AF_INET, address, &a.sin_addr) != 1) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), on = 1;
    if (fd < 0) return -1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int ok = listening ? bind(fd, (struct sockaddr *)&a, sizeof a) == 0 && listen(fd, 8) == 0
                       : connect(fd, (struct sockaddr *)&a, sizeof a) == 0;
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

int main(int argc, char **argv)
{
    if (argc < 3 || argc % 2 == 0 || argc - 3 > 2 * 8) {
        fprintf(stderr, "usage: %s ADDRESS PORT [NEXT_ADDRESS NEXT_PORT ...]\n", argv[0]);
        return 2;
    }
    int listener = socketTo(argv[1], atoi(argv[2]), 1);
    if (listener < 0) {
        perror("relay: listen");
        return 1;
    }
    fprintf(stdout, "relay: listening\n");
    fflush(stdout);
    int next[8], nexts = 0;  // connected when the first bytes come, when every relay listens
    int ins[MAX_FDS], inCount = 0, sinks[MAX_FDS], sinkCount = 0;
    char buf[65536];
    for (;;) {
        fd_set r;
        FD_ZERO(&r);
        FD_SET(listener, &r);
        int top = listener;
        for (int i = 0; i < inCount; ++i) {
            FD_SET(ins[i], &r);
            if (ins[i] > top) top = ins[i];
        }
        if (select(top + 1, &r, NULL, NULL, NULL) < 0) return 1;
        if (FD_ISSET(listener, &r) && inCount < MAX_FDS) {
            int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC), on = 1;
            if (fd >= 0) {
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                ins[inCount++] = fd;
            }
        }
        for (int i = 0; i < inCount; ++i) {
            if (!FD_ISSET(ins[i], &r)) continue;
            ssize_t got = recv(ins[i], buf, sizeof buf, MSG_DONTWAIT);
            if (got <= 0) {
                close(ins[i]);
                ins[i--] = ins[--inCount];
                continue;
            }
            if (got == 6 && memcmp(buf, "SINK\r\n", 6) == 0 && sinkCount < MAX_FDS) {
                sinks[sinkCount++] = ins[i];
                ins[i--] = ins[--inCount];
                continue;
            }
            for (; nexts < (argc - 3) / 2; ++nexts)
                if ((next[nexts] = socketTo(argv[3 + 2 * nexts], atoi(argv[4 + 2 * nexts]), 0)) < 0) {
                    perror("relay: connect");
                    return 1;
                }
            int *to = nexts ? next : sinks, count = nexts ? nexts : sinkCount;
            for (int k = 0; k < count; ++k) send(to[k], buf, (size_t)got, MSG_NOSIGNAL);
        }
    }
}
