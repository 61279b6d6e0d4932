// quorvel-routed: the link-state routing daemon beside every quorvel node.
//
//   quorvel-routed -i <nodeID> -c <config file> [-k key file] [-a cycle] [-n neighbour timeout]
//                  [-r route timeout] [-v 1]
//
// It learns the network from the other daemons over UDP on its routing port, and answers its
// server's next-hop requests on its local port.
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <ctime>

#include "../core/clock.h"
#include "../core/socket_address.h"
#include "../rtlib/rt_args.h"
#include "../rtlib/rt_options_file.h"
#include "../rtlib/rtgrading.h"
#include "auth.h"
#include "flooding.h"
#include "server_link.h"
#include "topology.h"

namespace {

constexpr int64_t MAX_WAIT_MS = 1000;
constexpr int64_t MIN_RESEND_MS = 100;   // -r 0 would otherwise resend on every pass of the loop
constexpr int LIFETIME_CYCLES = 3;       // an advertisement outlives at least this many refreshes

[[noreturn]] void fail(const char *what)
{
    std::perror(what);
    std::exit(1);
}

// The option parser keeps the file's contents but not its name, which the topology reader needs.
const char *configPath(int argc, char **argv)
{
    const char *path = nullptr;
    const int savedIndex = optind, savedErr = opterr;
    optind = 0;  // a full restart of the scanner, since the first scan reordered argv
    opterr = 0;
    for (int c; (c = getopt(argc, argv, "VSi:c:G:y:a:n:r:g:d:v:s:")) != -1;)
        if (c == 'c') path = optarg;
    optind = savedIndex;
    opterr = savedErr;
    return path;
}

// Node 0 is what the server reads as "no hop", and a doubled ID would make routes ambiguous.
void checkNodeIds(const char *prog, const rt_config_file_t &config)
{
    for (int i = 0; i < config.count; ++i) {
        const unsigned long id = config.entries[i].nodeID;
        bool doubled = false;
        for (int j = 0; j < i; ++j) doubled = doubled || config.entries[j].nodeID == id;
        if (id == 0 || doubled) {
            std::fprintf(stderr, "%s: node ID %lu cannot be routed to: %s in config_file\n", prog, id,
                         id == 0 ? "0 means no node" : "it is listed twice");
            std::exit(rt_error_status);
        }
    }
}

int boundSocket(int type, const rt_config_entry_t &self, uint16_t port)
{
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0) fail("socket error");
    if (type == SOCK_STREAM) {
        const int on = 1;
        (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const sockaddr_in addr = socketAddress(self.ipaddr, port);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0) fail("bad binding of socket");
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) fail("fcntl error");
    return fd;
}

RouterTiming timingFrom(const rt_args_t &args)
{
    const int64_t cycle = int64_t{args.advertisement_cycle_time} * 1000;
    return {cycle, int64_t{args.neighbor_timeout} * 1000, std::max<int64_t>(int64_t{args.route_timeout} * 1000, MIN_RESEND_MS),
            std::max<int64_t>(int64_t{args.garbage_collect_timeout} * 1000, LIFETIME_CYCLES * cycle)};
}

void fillDatabase(const rt_config_file_t &config, uint32_t selfId)
{
    lsdb.count = config.count;
    lsdb.self = -1;
    for (int i = 0; i < config.count; ++i) {
        lsdb.nodes[i].id = config.entries[i].nodeID;
        if (config.entries[i].nodeID == selfId) lsdb.self = i;
    }
}

volatile sig_atomic_t hungUp;
uint32_t commandLineVerbosity;

// -v, the one setting the daemon reads again: from the --options files, or as the command line
// gave it when they no longer name it. The node table and the key are read at start only.
void reloadVerbosity(const char *prog)
{
    static rt_option_words_t now;
    if (rt_reread_options_files(prog, now)) {
        const char *value = rt_last_option_value(now.words, now.count, "-v");
        argList.verbose = value ? (std::strcmp(value, "1") == 0 ? 1 : 0) : commandLineVerbosity;
    }
    std::printf("SIGHUP: -v %u; the node table and the key are read at start only (restart the daemon to "
                "change them)\n",
                static_cast<unsigned>(argList.verbose == 1));
    std::fflush(stdout);
}

void noteHangUp(int) { hungUp = 1; }

[[noreturn]] void run(const char *prog, int udpSock)
{
    for (;;) {
        if (hungUp) {
            hungUp = 0;
            reloadVerbosity(prog);
        }
        int64_t now = nowMillis();
        floodingTick(now);
        const int64_t due = std::min<int64_t>(nextFloodingDeadline(now), nextServerLinkDeadline(now));
        const int64_t wait = std::clamp<int64_t>(due - now, 0, MAX_WAIT_MS);
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(udpSock, &ready);
        int high = udpSock;
        watchServerLink(ready, high);
        timeval tv = {static_cast<time_t>(wait / 1000), static_cast<suseconds_t>(wait % 1000 * 1000)};
        if (select(high + 1, &ready, nullptr, nullptr, &tv) < 0) {
            if (errno != EINTR) fail("select error");
            FD_ZERO(&ready);
        }
        now = nowMillis();
        if (FD_ISSET(udpSock, &ready)) receiveDatagrams(now);
        serveServerLink(ready, now);
    }
}

// Takes "-k FILE" (or "-kFILE") out of argv, which the shared option parser would refuse; the
// file's name, or nullptr when not given.
const char *takeKeyOption(int &argc, char **argv)
{
    const char *path = nullptr;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-k") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (std::strncmp(argv[i], "-k", 2) == 0 && argv[i][2] != '\0') {
            path = argv[i] + 2;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argv[kept] = nullptr;
    argc = kept;
    return path;
}

constexpr char HELP_FORMAT[] =
    "usage: %s -i <nodeID> -c <config file> [-k key file] [-a seconds] [-n seconds] [-r seconds] [-v 1]\n"
    "\n"
    "The routing daemon beside a quorvel node: it learns the network from the other daemons over\n"
    "UDP on the node's routing port and answers its server's next-hop requests on the local port.\n"
    "\n"
    "  -i ID     this node's ID in the config file (required)\n"
    "  -c FILE   the config file every node shares (required)\n"
    "  -k FILE   a key of 16 to 1024 bytes shared by all daemons and their servers (--key): datagrams\n"
    "            carry an HMAC-SHA256, and the server must prove the key to take the local link\n"
    "            (default: none, datagrams are not authenticated, the node's address links)\n"
    "  -a N      advertisement cycle in seconds (default 30)\n"
    "  -n N      neighbour timeout in seconds (default 120)\n"
    "  -r N      route timeout in seconds (default 3)\n"
    "  -v 1      trace advertisements, requests and answers too (default 0: links, refusals and the\n"
    "            server link only); read again on SIGHUP from the --options files\n"
    "  --options FILE  more options from FILE, NAME=\"words\" lines as in /etc/quorvel/routed-options,\n"
    "            after those of the command line (up to 4 files)\n"
    "  --strict-key  refuse a key file that group or others may read (default: a warning)\n"
    "  --check   read the config file, the options and the key as a start would, say what was found\n"
    "            and exit 0 without starting, or 1 at the first fault\n"
    "\n"
    "It prints \"Routing daemon of node ID ready ...\" once it listens. Exit status: 1 for a node ID\n"
    "the file lacks or a socket error, 255 for a bad option, config file or key.\n"
    "--help and --version, alone, print this text and the version.\n";

}  // namespace

// The direct links as this daemon reads them from the file, for the operator and the launcher,
// which would otherwise have to read the topology a second way.
void printLinks(const rt_config_file_t &config, const Topology &topology)
{
    std::printf("Node %lu links to:", static_cast<unsigned long>(argList.nodeID));
    int shown = 0;
    for (int j = 0; j < config.count; ++j) {
        if (j == lsdb.self || !topology.linked[lsdb.self][j]) continue;
        std::printf(" %lu", static_cast<unsigned long>(config.entries[j].nodeID));
        ++shown;
    }
    std::printf("%s\n", shown > 0 ? "" : " none");
}

int main(int argc, char **argv)
{
    const char *prog = argv[0];
    // A server or a status reader that goes away mid-send must not end the daemon.
    (void)signal(SIGPIPE, SIG_IGN);
    switch (rt_info_request(argc, argv)) {
    case rt_info_request_t::help: std::printf(HELP_FORMAT, prog); return 0;
    case rt_info_request_t::version: rt_print_version(prog); return 0;
    case rt_info_request_t::none: break;
    }
    const bool checkOnly = rt_take_check_option(argc, argv);
    // SIGHUP would end the daemon for good (systemd restarts only failures); there is nothing it
    // can read again safely while its neighbours rely on the table, so it says so and goes on.
    struct sigaction hangUp {};
    hangUp.sa_handler = noteHangUp;
    (void)sigaction(SIGHUP, &hangUp, nullptr);
    const char *verbosity = rt_last_option_value(argv + 1, argc - 1, "-v");
    commandLineVerbosity = verbosity && std::strcmp(verbosity, "1") == 0;
    rt_take_options_files(prog, argc, argv);
    rt_key_strict = rt_take_flag(argc, argv, "--strict-key");
    const char *keyPath = takeKeyOption(argc, argv);
    if (keyPath && !loadKey(prog, keyPath)) return rt_error_status;
    rt_parse_command_line(&argList, argc, argv);
    const char *path = configPath(argc, argv);
    if (!path || argList.nodeID == UINT32_MAX) {
        std::fprintf(stderr, "usage: %s -i <nodeID> -c <config file> [-k key file] [-a seconds] [-n seconds] [-r seconds] [-v 1]\n",
                     prog);
        return rt_error_status;
    }
    const rt_config_file_t &config = argList.config_file;
    checkNodeIds(prog, config);
    fillDatabase(config, argList.nodeID);
    if (lsdb.self < 0) {
        std::printf("Invalid NodeID\n");
        return 1;
    }
    Topology topology;
    readTopology(prog, path, config, topology);
    if (checkOnly) {
        const rt_config_entry_t &self = config.entries[lsdb.self];
        std::printf("%s: %s: %d nodes; node %lu on %s, routing port %u, local port %u; datagrams %s\n", prog, path,
                    config.count, static_cast<unsigned long>(argList.nodeID), dottedQuad(self.ipaddr).text,
                    self.routing_port, self.local_port, keyPath ? "authenticated with the key" : "not authenticated");
        printLinks(config, topology);
        return 0;
    }

    rt_init();
    const rt_config_entry_t &self = config.entries[lsdb.self];
    const int udpSock = boundSocket(SOCK_DGRAM, self, self.routing_port);
    const int listener = boundSocket(SOCK_STREAM, self, self.local_port);
    if (listen(listener, 4) < 0) fail("listen error");
    startServerLink(listener, self.ipaddr);
    startFlooding(udpSock, config, topology, timingFrom(argList), nowMillis());
    std::printf("Datagrams are %s\n", authEnabled() ? "authenticated with the shared key" :
                                                       "not authenticated: no key file given (-k)");
    printLinks(config, topology);
    std::printf("Routing daemon of node %lu ready on routing port %u and local port %u\n",
                static_cast<unsigned long>(argList.nodeID), self.routing_port, self.local_port);
    std::fflush(stdout);
    run(prog, udpSock);
}
