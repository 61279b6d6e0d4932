#include "support/ports.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace qtest {

sockaddr_in loopbackAddress(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

int boundSocket(int backlog, uint16_t &port, int socketFlags)
{
    int fd = socket(AF_INET, SOCK_STREAM | socketFlags, 0);
    if (fd < 0) throw std::runtime_error("socket on 127.0.0.1");
    sockaddr_in addr = loopbackAddress(0);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || (backlog >= 0 && listen(fd, backlog) < 0) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) < 0) {
        close(fd);
        throw std::runtime_error("bind or listen on 127.0.0.1");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

uint16_t freePort()
{
    uint16_t port = 0;
    close(boundSocket(-1, port));
    return port;
}

int millisLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return 0;
    return left > 1000000 ? 1000000 : static_cast<int>(left);
}

bool waitForEvents(int fd, short events, std::chrono::steady_clock::time_point deadline)
{
    // Bounded: each pass either returns or waits out what is left of the deadline.
    for (int tries = 0; tries < 1000; ++tries) {
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, millisLeft(deadline));
        if (r > 0) return true;
        if (r == 0 || errno != EINTR) return false;
    }
    return false;
}

pid_t spawnWithOutput(char *const argv[], char *const envp[], const char *outPath, const char *errPath)
{
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // Only async-signal-safe calls between fork and exec: the parent may hold locks on other threads.
    // A test binary that dies (a time-out, say) takes its nodes and daemons with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int in = open("/dev/null", O_RDONLY);
    int out = open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // The test's own sockets (a fake daemon's listener, say) must not live on in the child.
    close_range(3, ~0U, 0);
    execve(argv[0], argv, envp);
    _exit(127);
}

sockaddr_in loopbackAddress(uint8_t host, uint16_t port)
{
    sockaddr_in addr = loopbackAddress(port);
    addr.sin_addr.s_addr = htonl((INADDR_LOOPBACK & 0xffffff00u) | host);
    return addr;
}

bool portFreeOn(uint8_t host, uint16_t port)
{
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        int fd = socket(AF_INET, type, 0);
        if (fd < 0) return false;
        sockaddr_in addr = loopbackAddress(host, port);
        const bool bound = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        close(fd);
        if (!bound) return false;
    }
    return true;
}

int connectLoopback(uint8_t host, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in from = loopbackAddress(0);
    sockaddr_in to = loopbackAddress(host, port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) < 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0) {
        close(fd);
        return -1;
    }
    // A client's lines are short and each waits for an answer; Nagle would hold them back.
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

uint16_t freshPort(std::vector<uint16_t> &taken)
{
    for (int tries = 0; tries < 50; ++tries) {
        const uint16_t p = freePort();
        bool used = false;
        for (uint16_t t : taken) used = used || t == p;
        if (used || !portFreeOn(1, p)) continue;
        taken.push_back(p);
        return p;
    }
    throw std::runtime_error("no free port on 127.0.0.1");
}

}  // namespace qtest
