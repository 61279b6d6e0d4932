// The quorvel program: one node of a network of IRC servers.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "../irc/channels.h"
#include "../irc/dispatch.h"
#include "../irc/idle_pings.h"
#include "../irc/motd.h"
#include "../routing/daemon_link.h"
#include "../rtlib/rt_args.h"
#include "../rtlib/rt_key.h"
#include "../rtlib/rt_options_file.h"
#include "client_profile.h"
#include "log.h"
#include "server.h"
#include "sizes.h"
#include "socket_address.h"
#include "tls.h"

namespace {

// The usage line comes first, as bare "quorvel" prints it alone.
constexpr char HELP_FORMAT[] =
    "%s <nodeID> <config file>\n"
    "\n"
    "Runs one node of a quorvel network: an IRC server for up to four clients (in the client\n"
    "profile, up to --max-clients) that reaches the other nodes through its routing daemon\n"
    "(quorvel-routed), which must already listen.\n"
    "The config file lists every node, one \"ID host routing_port local_port server_port\" line each.\n"
    "\n"
    "Options, after the two arguments:\n"
    "  -v N   1 prints start-up messages and every received line (default 0: quiet)\n"
    "  -a N   advertisement cycle in seconds, as given to the daemons (default 30)\n"
    "  -n N   neighbour timeout in seconds (default 120)\n"
    "  -r N   route timeout in seconds (default 3)\n"
    "  -G X   accepted and ignored\n"
    "  --key FILE  the network's key, the file its daemons take with -k: the server proves it to\n"
    "         take its daemon's link (default: none; the node's own address is enough)\n"
    "  --compat  the client profile that real IRC clients need: welcome numerics, full prefixes,\n"
    "         channels across nodes, links between nodes (the launcher's and the package's default)\n"
    "  --exact   the exact core replies, bare nick prefixes and no welcome (the default here);\n"
    "         of --compat and --exact the last one given wins\n"
    "  --motd FILE  in the client profile, the MOTD's lines (at most 64 of 400 characters), read\n"
    "         at start and again on SIGHUP (default: one fixed line)\n"
    "  --name NAME  in the client profile, the node's name in its replies (default: the host name)\n"
    "  --max-clients N  in the client profile, the clients the node serves at once, 1 to 100000\n"
    "         (default 4096); the open-file limit is raised to fit, or the count cut to what it allows\n"
    "  --max-channels N  in the client profile, the channels the node holds at once (default 1024)\n"
    "  --max-members N   in the client profile, the members of one channel on the node (default 1024)\n"
    "  --max-joins N     in the client profile, the channels one user may be in (default 20, at most 33);\n"
    "         without the profile a node holds 4 channels of 10 members, and a user is in one\n"
    "  --ping-period S  in the client profile, the seconds a registered client may stay silent before\n"
    "         it is sent a PING, and again before it is closed for a ping timeout (default 90)\n"
    "  --tls-cert FILE, --tls-key FILE  in the client profile, a PEM certificate (chain) and its key\n"
    "         for TLS clients (1.2 and later), read at start and again on SIGHUP; without a\n"
    "         certificate the node opens no TLS port. The key may sit in the certificate's file\n"
    "  --tls-port N  in the client profile, the port of TLS clients on the node's address (default\n"
    "         6697; 0 for none)\n"
    "  --ipv6 ADDRESS  in the client profile, where the IPv6 listeners for clients bind, on the IRC\n"
    "         and TLS ports (default ::; off for none); node addresses stay IPv4\n"
    "  --log LEVEL  quiet (the default) or info: a line per connection, registration, link, split\n"
    "         and refusal on standard error, never what users say (that is -v 1's)\n"
    "  --options FILE  more options from FILE, NAME=\"words\" lines as in /etc/quorvel/server-options,\n"
    "         after those of the command line (up to 4 files); SIGHUP reads --log from them again\n"
    "  --strict-key  refuse a key file that group or others may read (default: a warning)\n"
    "  --check   read the config file, the options and the key as a start would, say what was found\n"
    "         and exit 0 without starting, or 1 at the first fault\n"
    "\n"
    "Exit status: 0 for the usage line, 1 for a node ID the file lacks or a socket error\n"
    "(no daemon listening included), 255 for a bad option, config file or key file.\n"
    "--help and --version, alone, print this text and the version.\n";

// --help and --version only ever come alone, so the node's own command line stays as it was.
void answerInfoRequest(int argc, char **argv)
{
    switch (rt_info_request(argc, argv)) {
    case rt_info_request_t::help: std::printf(HELP_FORMAT, argv[0]); std::exit(0);
    case rt_info_request_t::version: rt_print_version(argv[0]); std::exit(0);
    case rt_info_request_t::none: return;
    }
}

// --motd, --name, --max-clients, the channel sizes and --ping-period serve the client profile only; without it
// they would be dropped unheard.
void warnProfileOnly()
{
    if (replyMode == Replies::Client) return;
    if (motdGiven() || serverNameGiven() || channelOptionsGiven())
        std::fprintf(stderr, "quorvel: --motd, --name, --max-channels, --max-members and --max-joins take effect in the "
                             "client profile only (--compat)\n");
    if (tlsOptionsGiven())
        std::fprintf(stderr, "quorvel: --tls-port, --tls-cert and --tls-key take effect in the client profile only (--compat): no TLS port\n");
    if (maxClientsGiven())
        std::fprintf(stderr, "quorvel: --max-clients takes effect in the client profile only (--compat): 4 clients\n");
    if (pingOptionGiven())
        std::fprintf(stderr, "quorvel: --ping-period takes effect in the client profile only (--compat)\n");
}

// What --check found: everything start-up reads before it connects, and all of it good.
[[noreturn]] void reportCheck(const char *prog, const char *path, const char *keyPath)
{
    const rt_config_entry_t &self = *curr_node_config_entry;
    std::printf("%s: %s: %d nodes; node %lu on %s, IRC port %u, its daemon's local port %u; %s; key %s\n", prog,
                path, neighbors + 1, static_cast<unsigned long>(curr_nodeID), dottedQuad(self.ipaddr).text,
                self.server_port, self.local_port, replyMode == Replies::Client ? "client profile" : "exact replies",
                keyPath ? keyPath : "none");
    std::exit(0);
}

}  // namespace

int main(int argc, char **argv)
{
    makeStandardDescriptorsValid();
    // Sends already never raise it; this keeps a closed pipe on standard output (traces piped into
    // a pager that quit) from ending the node.
    std::signal(SIGPIPE, SIG_IGN);
    answerInfoRequest(argc, argv);
    const bool checkOnly = rt_take_check_option(argc, argv);
    noteCommandLineLogLevel(argc, argv);
    rt_take_options_files(argv[0], argc, argv);
    rt_key_strict = rt_take_flag(argc, argv, "--strict-key");
    // Taken before anything reads argv, so that every other argument stands where it would without it.
    takeProfileOption(argc, argv);
    takeServerNameOption(argc, argv);
    takeListenerOptions(argc, argv);
    takeTlsOptions(argc, argv);
    takeLogOption(argc, argv);
    takeMotdOption(argc, argv);
    takeChannelOptions(argc, argv);
    takePingOption(argc, argv);
    takeMaxClientsOption(argc, argv);
    const char *keyPath = takeKeyOption(argc, argv);
    if (keyPath && !rt_load_key(argv[0], keyPath)) std::exit(rt_error_status);
    if (checkOnly && argc < 3) {
        std::fprintf(stderr, "%s <nodeID> <config file> --check: the node ID and the file are missing\n", argv[0]);
        std::exit(rt_error_status);
    }
    const char *configPath = argc >= 3 ? argv[2] : nullptr;  // the option parser reorders argv
    init_node(argc, argv);
    rt_parse_command_line(&argList, argc, argv);
    if (checkOnly && !checkTlsFiles()) std::exit(rt_error_status);
    if (checkOnly) reportCheck(argv[0], configPath, keyPath);
    warnProfileOnly();
    if (argList.verbose == 1)
        std::printf("I am node %lu and I listen on port %d for new users\n",
                    static_cast<unsigned long>(curr_nodeID), curr_node_config_entry->server_port);
    // The layers above the core take their places in the loop before it starts.
    prepareChannelTables(neighbors);
    wireIrc();
    wireRouting();
    loadMotd();
    sizeTables(argv[0]);
    beginServer();
}
