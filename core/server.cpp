// Start-up of the node and its single-threaded loop; every exit of the process is decided here.
#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../routing/daemon_link.h"
#include "../routing/pending_queue.h"
#include "../rtlib/rt_args.h"
#include "connections.h"
#include "framing.h"

uint32_t curr_nodeID;
rt_config_file_t curr_node_config_file;
rt_config_entry_t *curr_node_config_entry;
rt_config_entry_t *neighborNodes[MAX_NEIGHBORS];
int neighbors;
int sock;
fd_set socks;
fd_set dSocks;
int highSock;
Host host;

namespace {

constexpr long long LOOP_WAIT_MS = 1000;

[[noreturn]] void failPlain(const char *text, int status)
{
    std::printf("%s\n", text);
    std::exit(status);
}

int connectDaemon(const rt_config_entry_t &self)
{
    int dSock = socket(AF_INET, SOCK_STREAM, 0);
    if (dSock < 0) fail("daemon socket error", 1);
    sockaddr_in addr = socketAddress(self.ipaddr, self.local_port);
    if (connect(dSock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        int err = errno;
        close(dSock);
        errno = err;
        fail("daemon socket connecting error", 1);
    }
    return dSock;
}

void openListener(const rt_config_entry_t &self)
{
    sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) fail("socket error", 1);
    int on = 1;
    (void)setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int flags = fcntl(sock, F_GETFL);
    if (flags < 0) fail("fcntl error", 1);
    if (fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) std::perror("another fcntl error");
    sockaddr_in addr = socketAddress(self.ipaddr, self.server_port);
    if (bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) fail("bad binding of socket", 1);
    (void)listen(sock, LISTEN_BACKLOG);
}

void watch(int fd)
{
    FD_SET(fd, &socks);
    if (fd > highSock) highSock = fd;
}

// Only polls: the first wait already covered the daemon link, so its answers are not held back.
void pollDaemon()
{
    int daemonSock = connections[DAEMON_SLOT].sock;
    if (daemonSock == 0) return;
    timeval none = {0, 0};
    // A failed poll (a signal, say) leaves the set unreliable, so slot 0 is not read on it.
    if (select(daemonSock + 1, &dSocks, nullptr, nullptr, &none) > 0) readDaemon();
}

}  // namespace

void fail(const char *what, int status)
{
    std::perror(what);
    std::exit(status);
}

// Descriptor 0 marks a free slot, so no socket may ever be given it.
void makeStandardDescriptorsValid()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) (void)open("/dev/null", O_RDWR);
}

rt_config_entry_t *init_node(int argc, char **argv)
{
    if (argc < 3) {
        std::printf("%s <nodeID> <config file>\n", argv[0]);
        std::exit(0);
    }
    curr_nodeID = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
    rt_parse_config_file(argv[0], &curr_node_config_file, argv[2]);
    for (int i = 0; i < curr_node_config_file.count; ++i) {
        rt_config_entry_t *entry = &curr_node_config_file.entries[i];
        if (entry->nodeID == curr_nodeID) curr_node_config_entry = entry;
        else neighborNodes[neighbors++] = entry;
    }
    if (!curr_node_config_entry) failPlain("Invalid NodeID", 1);
    return curr_node_config_entry;
}

void beginServer()
{
    const rt_config_entry_t &self = *curr_node_config_entry;
    if (gethostname(host.name, sizeof host.name) < 0) failPlain("Error getting local hostname", -1);
    host.name[sizeof host.name - 1] = '\0';
    std::printf("Local host name: %s\n", host.name);
    emptyQueue();

    int dSock = connectDaemon(self);
    if (argList.verbose == 1) std::printf("Server connected to daemon on local port %d\n", self.local_port);
    std::fflush(stdout);

    openListener(self);
    reserveSpareDescriptor();
    highSock = sock;
    host.roomCount = 0;
    prepareConnectionTable(dSock);

    for (;;) {
        buildConnectionList();
        // While the daemon link is down, the wait also ends when its connect completes or the next
        // attempt is due, so that it comes back within about a second.
        fd_set linking;
        FD_ZERO(&linking);
        const int connecting = daemonConnectingSock();
        if (connecting >= 0) FD_SET(connecting, &linking);
        const long long dueMs = std::min(daemonLinkDueInMs(), LOOP_WAIT_MS);
        timeval wait = {static_cast<time_t>(dueMs / 1000), static_cast<suseconds_t>(dueMs % 1000 * 1000)};
        int ready = select(std::max(highSock, connecting) + 1, &socks, &linking, nullptr, &wait);
        if (ready < 0 && errno != EINTR) fail("select error", 1);
        if (ready > 0) readSockets();
        pollDaemon();
        keepDaemonLinked();
    }
}

// The listening socket is kept non-blocking on every accept, so a connection that vanishes
// between the wait and the accept can never block the loop.
void keepListenerNonBlocking()
{
    int flags = fcntl(sock, F_GETFL);
    if (flags < 0) fail("fcntl error", 1);
    if (fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) fail("another fcntl error", 1);
}

// The daemon link joins the first wait so that its answers are handled as they arrive;
// highSock is only ever raised, as the wait's bound must cover every descriptor it was given.
void buildConnectionList()
{
    FD_ZERO(&socks);
    FD_ZERO(&dSocks);
    watch(sock);
    int daemonSock = connections[DAEMON_SLOT].sock;
    if (daemonSock != 0) {
        watch(daemonSock);
        FD_SET(daemonSock, &dSocks);
    }
    for (int slot = FIRST_CLIENT_SLOT; slot < MAX_CONNECTIONS; ++slot)
        if (connections[slot].sock != 0) watch(connections[slot].sock);
}

// One accept at most per pass; the backlog holds the rest.
void readSockets()
{
    if (FD_ISSET(sock, &socks)) addConnection();
    for (int slot = FIRST_CLIENT_SLOT; slot < MAX_CONNECTIONS; ++slot) {
        int fd = connections[slot].sock;
        if (fd != 0 && FD_ISSET(fd, &socks)) recvData(slot);
    }
}

void readDaemon()
{
    int fd = connections[DAEMON_SLOT].sock;
    if (fd != 0 && FD_ISSET(fd, &dSocks)) recvData(DAEMON_SLOT);
}

int findNeighbor(uint32_t nodeID)
{
    for (int i = 0; i < neighbors; ++i)
        if (neighborNodes[i]->nodeID == nodeID) return i;
    return -1;
}
