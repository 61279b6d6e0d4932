// Start-up of the node and its single-threaded loop; every exit of the process is decided here.
#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../rtlib/rt_args.h"
#include "admission.h"
#include "client_profile.h"
#include "clock.h"
#include "connections.h"
#include "framing.h"
#include "hooks.h"
#include "log.h"
#include "sizes.h"
#include "text.h"
#include "tls.h"

uint32_t curr_nodeID;
rt_config_file_t curr_node_config_file;
rt_config_entry_t *curr_node_config_entry;
rt_config_entry_t *neighborNodes[MAX_NEIGHBORS];
int neighbors;
int sock;
Host host;

namespace {

constexpr long long LOOP_WAIT_MS = 1000;

Poller pollers[MAX_POLLERS];
int pollerCount;
long long waitMs;  // the pass's wait, shortened by wakeWithinMs

[[noreturn]] void failPlain(const char *text, int status)
{
    std::printf("%s\n", text);
    std::exit(status);
}

int connectDaemon(const rt_config_entry_t &self)
{
    int dSock = socket(AF_INET, SOCK_STREAM, 0);
    if (dSock < 0) fail("daemon socket error", 1);
    // From the node's own address, the one its daemon takes the link from.
    (void)bindSource(dSock, self.ipaddr);
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
    (void)listen(sock, tableSizes.backlog);
}

// The client profile's other listening sockets: the TLS port, and IPv6 beside the node's IPv4
// address. Node addresses stay IPv4, so no other node ever arrives on these.
struct Listener {
    int fd;
    bool tls;
};
constexpr int MORE_LISTENERS = 3;
Listener moreListeners[MORE_LISTENERS];
int moreCount;
const char *ipv6Address = "::";  // nullptr: no IPv6 listener

// A listening socket on addr, or -1 with errno.
int listenOn(const sockaddr *addr, socklen_t length, bool tls)
{
    const int fd = socket(addr->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Only IPv6: the IPv4 side is the node's own address, bound apart.
    if (addr->sa_family == AF_INET6) (void)setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, addr, length) < 0 || listen(fd, tableSizes.backlog) < 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    watchOwn(fd, true, false);
    moreListeners[moreCount++] = {fd, tls};
    return fd;
}

// Several nodes of one machine share a port on their own IPv4 addresses, but only one of them can
// have it on IPv6: the others go on without, and say so.
void listenIpv6(uint16_t port, bool tls)
{
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(port);
    if (inet_pton(AF_INET6, ipv6Address, &addr.sin6_addr) != 1) return;
    if (listenOn(reinterpret_cast<sockaddr *>(&addr), sizeof addr, tls) < 0) {
        std::fprintf(stderr, "quorvel: no IPv6 listener on [%s]:%u: %s\n", ipv6Address, port, std::strerror(errno));
    }
}

void openProfileListeners(const rt_config_entry_t &self)
{
    if (replyMode == Replies::Exact) return;
    if (ipv6Address) listenIpv6(self.server_port, false);
    const int port = tlsPort();
    if (port == 0) return;
    sockaddr_in addr = socketAddress(self.ipaddr, static_cast<uint16_t>(port));
    if (listenOn(reinterpret_cast<sockaddr *>(&addr), sizeof addr, true) < 0) fail("bad binding of the TLS socket", 1);
    if (ipv6Address) listenIpv6(static_cast<uint16_t>(port), true);
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

namespace {

const char *givenName;
volatile sig_atomic_t reloadAsked;

void askReload(int) { reloadAsked = 1; }

bool isHostName(const char *name)
{
    const size_t length = std::strlen(name);
    if (length == 0 || length >= HOST_NAME_SIZE) return false;
    for (const char *p = name; *p; ++p)
        if (!std::isalnum(static_cast<unsigned char>(*p)) && *p != '-' && *p != '.') return false;
    return true;
}

}  // namespace

void takeServerNameOption(int &argc, char **argv)
{
    givenName = rt_take_valued_option(argc, argv, "--name");
    if (givenName && !isHostName(givenName)) {
        std::fprintf(stderr, "%s: invalid --name = %s (letters, digits, '-' and '.', at most %d)\n", argv[0], givenName,
                     HOST_NAME_SIZE - 1);
        std::exit(rt_error_status);
    }
}

bool serverNameGiven() { return givenName != nullptr; }

void takeListenerOptions(int &argc, char **argv)
{
    const char *given = rt_take_valued_option(argc, argv, "--ipv6");
    if (!given) return;
    in6_addr parsed{};
    if (std::strcmp(given, "off") == 0) {
        ipv6Address = nullptr;
    } else if (inet_pton(AF_INET6, given, &parsed) == 1) {
        ipv6Address = given;
    } else {
        std::fprintf(stderr, "%s: invalid --ipv6 = %s (an IPv6 address, or off)\n", argv[0], given);
        std::exit(rt_error_status);
    }
}

void beginServer()
{
    const rt_config_entry_t &self = *curr_node_config_entry;
    if (gethostname(host.name, sizeof host.name) < 0) failPlain("Error getting local hostname", -1);
    host.name[sizeof host.name - 1] = '\0';
    if (givenName && replyMode == Replies::Client) copyCut(host.name, givenName);
    // SIGHUP reads again what can be read again, instead of ending the node.
    struct sigaction hangUp {};
    hangUp.sa_handler = askReload;
    (void)sigaction(SIGHUP, &hangUp, nullptr);
    std::printf("Local host name: %s\n", host.name);
    if (!prepareTls(descriptorLimit())) std::exit(rt_error_status);

    int dSock = connectDaemon(self);
    if (argList.verbose == 1) std::printf("Server connected to daemon on local port %d\n", self.local_port);
    std::fflush(stdout);

    openListener(self);
    reserveSpareDescriptor();
    if (!prepareReadiness(descriptorLimit())) fail("epoll error", 1);
    watchOwn(sock, true, false);
    openProfileListeners(self);
    host.roomCount = 0;
    const bool held = coreHooks.holdDaemonLink && coreHooks.holdDaemonLink(dSock);
    prepareConnectionTable(held ? 0 : dSock);

    for (;;) runPass();
}

// One wait per pass, on every socket at once; then the accept, the clients in slot order, the
// daemon link, and the pollers' own sockets and timers. Every queue is written last, just before
// the next wait, so that a burst of replies leaves in few sends.
void runPass()
{
    dropBrokenPeers();
    buildConnectionList();
    if (waitReady(waitMs) < 0 && errno != EINTR) fail("epoll_wait error", 1);
    if (reloadAsked) {
        reloadAsked = 0;
        reloadLogLevel("quorvel");
        if (coreHooks.reload) coreHooks.reload();
        reloadTls();
    }
    readSockets();
    readDaemon();
    for (int i = 0; i < pollerCount; ++i) pollers[i].afterWait();
    closeSilentConnections(nowMillis());
    dropBrokenPeers();
    flushOutput();
}

void addPoller(Poller poller)
{
    if (pollerCount < MAX_POLLERS) pollers[pollerCount++] = poller;
}

void wakeWithinMs(long long ms)
{
    if (ms < waitMs) waitMs = ms > 0 ? ms : 0;
}

// The listening socket is kept non-blocking on every accept, so a connection that vanishes
// between the wait and the accept can never block the loop.
void keepListenerNonBlocking(int listener)
{
    int flags = fcntl(listener, F_GETFL);
    if (flags < 0) fail("fcntl error", 1);
    if (fcntl(listener, F_SETFL, flags | O_NONBLOCK) < 0) fail("another fcntl error", 1);
}

// The listening socket, the fresh connections and the slots stay watched from pass to pass (for
// reading, while they want input); what changes is named here.
void buildConnectionList()
{
    beginWatching();
    waitMs = LOOP_WAIT_MS;
    resumeWantedInput();
    watchPendingOutput();
    for (int i = 0; i < pollerCount; ++i) pollers[i].beforeWait();
}

namespace {

int freshEntryOf(int tag) { return tag < 0 ? -tag - 1 : -1; }
int clientSlotOfTag(int tag) { return tag > slotTag(DAEMON_SLOT) ? tag - 1 : -1; }

// A slot found readable that wants no input is not watched for reading until it does.
void readIfWanted(int slot)
{
    if (!isReadable(connections[slot].sock)) return;
    if (wantsInput(slot)) recvData(slot);
    else pauseInput(slot);
}

}  // namespace

// Every waiting connection is taken; fresh connections are read before the clients, which are
// read in slot order. Only what the wait found is looked at, whatever the table holds; the
// clients are picked after the fresh connections, so that one that became a client in this pass
// is read on as one.
void readSockets()
{
    if (isReadable(sock)) addConnection();
    for (int i = 0; i < moreCount; ++i)
        if (isReadable(moreListeners[i].fd)) addConnectionFrom(moreListeners[i].fd, moreListeners[i].tls);
    int count = 0;
    const int *entries = readyIndexes(freshEntryOf, count);
    for (int i = 0; i < count; ++i)
        if (isReadable(freshConnections[entries[i]].sock)) readFresh(entries[i]);
    const int *slots = readyIndexes(clientSlotOfTag, count);
    for (int i = 0; i < count; ++i) readIfWanted(slots[i]);
}

void readDaemon() { readIfWanted(DAEMON_SLOT); }

int findNeighbor(uint32_t nodeID)
{
    for (int i = 0; i < neighbors; ++i)
        if (neighborNodes[i]->nodeID == nodeID) return i;
    return -1;
}
