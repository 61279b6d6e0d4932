// Loopback sockets on ports the kernel hands out, so that parallel tests never collide, and the
// start of a child process with its output in files. The benchmark uses them too.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace qtest {

sockaddr_in loopbackAddress(uint16_t port);  // 127.0.0.1
// A TCP socket bound to a port of the kernel's choice on 127.0.0.1, which it keeps, so no other
// process can take the port meanwhile; listening when backlog >= 0. Throws on failure.
int boundSocket(int backlog, uint16_t &port, int socketFlags = 0);
// A port that was free a moment ago on 127.0.0.1: bound to port 0, read back, and released.
uint16_t freePort();

// What is left until the deadline, for poll: 0 once it has passed.
int millisLeft(std::chrono::steady_clock::time_point deadline);

// Waits for the events on fd, a signal's interruption included; false on timeout or error.
bool waitForEvents(int fd, short events, std::chrono::steady_clock::time_point deadline);

// Forks and executes argv[0] with envp, its input /dev/null and its output in the two files;
// the child's PID, or -1 when fork failed.
pid_t spawnWithOutput(char *const argv[], char *const envp[], const char *outPath, const char *errPath);

// 127.0.0.host: several nodes on one machine each take an address of their own in 127.0.0.0/8.
sockaddr_in loopbackAddress(uint8_t host, uint16_t port);
// Whether both a TCP and a UDP socket could bind 127.0.0.host:port; each is released at once.
bool portFreeOn(uint8_t host, uint16_t port);
// A port free for TCP and UDP on 127.0.0.1 and not yet in taken, to which it is added. Throws when
// none is found.
uint16_t freshPort(std::vector<uint16_t> &taken);
// One connect to 127.0.0.host:port from 127.0.0.1, so that the server's reverse lookup of the
// client is answered from /etc/hosts whatever the address; the socket, or -1 when refused.
int connectLoopback(uint8_t host, uint16_t port);

}  // namespace qtest
