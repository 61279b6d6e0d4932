// Every way the node ends at start-up, with its exact output, and the start-up messages of a node
// that comes up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/fake_daemon.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

const std::string PROG = QUORVEL_BINARY;

NodePorts someFreePorts() { return {freePort(), freePort(), freePort()}; }

struct Exit {
    std::optional<int> status;
    std::string out, err;
};

// Start-up faults end the node at once, so it is run to its end and its streams read whole.
Exit runToExit(NodeProcess &node, const std::vector<std::string> &args)
{
    node.start(args);
    Exit e;
    e.status = node.waitForExit();
    e.out = node.out();
    e.err = node.err();
    return e;
}

}  // namespace

TEST(StartupUsage, FewerThanTwoArgumentsPrintsUsageAndSucceeds)
{
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"1"}}) {
        NodeProcess node;
        Exit e = runToExit(node, args);
        EXPECT_EQ(e.status, 0);
        EXPECT_EQ(e.out, PROG + " <nodeID> <config file>\n");
        EXPECT_EQ(e.err, "");
    }
}

// --help and --version answer only alone; anywhere else they are what they always were, so the
// usage line and the node's arguments keep their meaning.
TEST(StartupUsage, HelpAndVersionAloneOnlyForBothPrograms)
{
    for (const std::string &prog : {PROG, std::string(QUORVEL_ROUTED_BINARY)}) {
        NodeProcess help(prog), version(prog);
        Exit h = runToExit(help, {"--help"});
        Exit v = runToExit(version, {"--version"});
        EXPECT_EQ(h.status, 0) << prog;
        const std::string usage = prog == PROG ? PROG + " <nodeID> <config file>\n" : "usage: " + prog + " -i <nodeID>";
        EXPECT_EQ(h.out.rfind(usage, 0), 0u) << h.out;
        for (const char *option : {"-v ", "-a ", "-n ", "-r "}) EXPECT_NE(h.out.find(option), std::string::npos) << option;
        EXPECT_NE(h.out.find("(default 30)"), std::string::npos) << h.out;
        EXPECT_EQ(h.err, "");
        EXPECT_EQ(v.status, 0) << prog;
        EXPECT_EQ(v.out, prog.substr(prog.rfind('/') + 1) + " " QUORVEL_VERSION "\n");
    }
    // Beside another argument --help is a node ID that reads as 0 and --version a missing file.
    NodeProcess withFile, asFile;
    Exit f = runToExit(withFile, {"--help", withFile.dir() + "/absent.conf"});
    EXPECT_EQ(f.status, 255);
    EXPECT_EQ(f.out, "");
    Exit g = runToExit(asFile, {"1", "--version"});
    EXPECT_EQ(g.status, 255);
    EXPECT_EQ(g.err, PROG + ": can't open config_file = --version: No such file or directory\n");
}

TEST(StartupConfig, OwnIdMissingIsInvalidNodeId)
{
    NodeProcess node;
    std::string cfg = node.writeConfig(configLine(2, someFreePorts()) + configLine(3, someFreePorts()));
    Exit e = runToExit(node, {"1", cfg});
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.out, "Invalid NodeID\n");
    EXPECT_EQ(e.err, "");
}

TEST(StartupConfig, UnreadableFileNamesPathAndReason)
{
    NodeProcess node;
    std::string missing = node.dir() + "/absent.conf";
    Exit e = runToExit(node, {"1", missing});
    EXPECT_EQ(e.status, 255);
    EXPECT_EQ(e.out, "");
    EXPECT_EQ(e.err, PROG + ": can't open config_file = " + missing + ": No such file or directory\n");
}

TEST(StartupConfig, BadLinesAreQuotedAsRead)
{
    // Narrow conversions would let a negative or too wide number pass as a valid one.
    const std::vector<std::string> badLines = {
        "1 127.0.0.1 x 2 3\n", "1 127.0.0.1 1 2\n", "1 127.0.0.1 1 70000 3\n",
        "1 127.0.0.1 1 -1 3\n", "-1 127.0.0.1 1 2 3\n", "4294967296 127.0.0.1 1 2 3\n",
    };
    for (const std::string &line : badLines) {
        SCOPED_TRACE(line);
        NodeProcess node;
        std::string cfg = node.writeConfig(configLine(5, someFreePorts()) + line);
        Exit e = runToExit(node, {"1", cfg});
        EXPECT_EQ(e.status, 255);
        EXPECT_EQ(e.out, "");
        EXPECT_EQ(e.err, PROG + ": bad line in config_file: " + line);
    }
}

TEST(StartupConfig, UnresolvableHostIsNamed)
{
    // A malformed dotted quad fails in the resolver without any lookup leaving the machine.
    NodeProcess node;
    std::string cfg = node.writeConfig("1 999.1.1.1 1 2 3\n");
    Exit e = runToExit(node, {"1", cfg});
    EXPECT_EQ(e.status, 255);
    EXPECT_EQ(e.out, "");
    EXPECT_EQ(e.err, PROG + ": invalid hostname in config file = 999.1.1.1\n");
}

TEST(StartupConfig, ThirtyTwoLinesFitAndThirtyThreeDoNot)
{
    std::string lines;
    for (uint32_t id = 10; id < 42; ++id) lines += configLine(id, someFreePorts());
    {
        // The 32 lines are read whole, so only the missing own entry is reported.
        NodeProcess node;
        Exit e = runToExit(node, {"1", node.writeConfig(lines)});
        EXPECT_EQ(e.status, 1);
        EXPECT_EQ(e.out, "Invalid NodeID\n");
        EXPECT_EQ(e.err, "");
    }
    {
        NodeProcess node;
        Exit e = runToExit(node, {"10", node.writeConfig(lines + configLine(42, someFreePorts()))});
        EXPECT_EQ(e.status, 255);
        EXPECT_EQ(e.out, "");
        EXPECT_EQ(e.err, PROG + ": too many lines in config_file (max = 32)\n");
    }
}

TEST(StartupOptions, DaemonOnlyOptionsAreRefused)
{
    for (char option : std::string("VSygds")) {
        NodeProcess node;
        std::string cfg = node.writeConfig(configLine(1, someFreePorts()));
        std::string flag = std::string("-") + option;
        std::vector<std::string> args{"1", cfg, flag};
        if (option != 'V' && option != 'S') args.push_back("1");
        Exit e = runToExit(node, args);
        EXPECT_EQ(e.status, 255) << flag;
        EXPECT_EQ(e.out, "") << flag;
        EXPECT_EQ(e.err, PROG + ": unknown argument " + flag + "\n");
    }
}

TEST(StartupOptions, BadNumbersNameTheirOption)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-r", "5x"}, "route_timeout = 5x"},
        {{"-a", "0"}, "advertisement_cycle_time = 0"},
        {{"-n", "-1"}, "neighbor_timeout = -1"},
        {{"-v", "4294967296"}, "verbose = 4294967296"},
    };
    for (const auto &[opts, named] : cases) {
        NodeProcess node;
        std::vector<std::string> args{"1", node.writeConfig(configLine(1, someFreePorts()))};
        args.insert(args.end(), opts.begin(), opts.end());
        Exit e = runToExit(node, args);
        EXPECT_EQ(e.status, 255) << named;
        EXPECT_EQ(e.out, "") << named;
        EXPECT_EQ(e.err, PROG + ": invalid " + named + "\n");
    }
}

TEST(StartupOptions, MaxClientsThatIsNoCountEndsTheNode)
{
    for (const char *bad : {"0", "100001", "many", ""}) {
        NodeProcess node;
        Exit e = runToExit(node, {"1", node.writeConfig(configLine(1, someFreePorts())), "--compat", "--max-clients", bad});
        EXPECT_EQ(e.status, 255) << bad;
        EXPECT_EQ(e.out, "") << bad;
        EXPECT_EQ(e.err, PROG + ": invalid --max-clients = " + bad + " (a number from 1 to 100000)\n");
    }
}

TEST(StartupLinks, NoDaemonListeningEndsAfterHostName)
{
    NodeProcess node;
    Exit e = runToExit(node, {"1", node.writeConfig(configLine(1, someFreePorts()))});
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.out, "Local host name: " + hostName() + "\n");
    EXPECT_EQ(e.err, "daemon socket connecting error: Connection refused\n");
}

TEST(StartupLinks, ServerPortTakenEndsWithBindError)
{
    FakeDaemon daemon;
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    NodePorts ports{freePort(), daemon.port(), ntohs(addr.sin_port)};

    NodeProcess node;
    node.start({"1", node.writeConfig(configLine(1, ports)), "-v", "1"});
    EXPECT_TRUE(daemon.acceptLink());
    Exit e{node.waitForExit(), node.out(), node.err()};
    close(holder);
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.out, "I am node 1 and I listen on port " + std::to_string(ports.server) +
                         " for new users\nLocal host name: " + hostName() +
                         "\nServer connected to daemon on local port " + std::to_string(ports.local) + "\n");
    EXPECT_EQ(e.err, "bad binding of socket: Address already in use\n");
}

// A node that comes up, with its standard streams as they stand once it serves.
struct Running {
    FakeDaemon daemon;
    NodePorts ports;
    NodeProcess node;
    LineSocket client;

    explicit Running(const std::vector<std::string> &options, uint32_t id = 7)
        : ports{freePort(), daemon.port(), freePort()}
    {
        std::vector<std::string> args{std::to_string(id), node.writeConfig(configLine(id, ports))};
        args.insert(args.end(), options.begin(), options.end());
        node.start(args);
        client = waitUntilServing(daemon, ports.server);
    }
    std::string ask(const std::string &line)
    {
        client.send(line);
        return client.readLine();
    }
};

TEST(StartupRunning, VerboseOnePrintsBannerThenTracesEveryLine)
{
    Running r({"-v", "1"}, 4000000000u);
    ASSERT_TRUE(r.client.valid());
    const std::string banner = "I am node 4000000000 and I listen on port " + std::to_string(r.ports.server) +
                               " for new users\nLocal host name: " + hostName() +
                               "\nServer connected to daemon on local port " + std::to_string(r.ports.local) + "\n";
    EXPECT_EQ(r.node.out(), banner);

    EXPECT_EQ(r.ask("PING  alice  \n"), ":" + hostName() + " 421 PING :Unknown command\r\n");
    ASSERT_TRUE(r.daemon.send("ADDUSER x\n"));
    EXPECT_TRUE(r.node.waitForOutput("Command[0]: ADDUSER x\n"));
    EXPECT_EQ(r.node.out(), banner + "Command[1]: PING  alice  \nCommand[0]: ADDUSER x\n");
    EXPECT_EQ(r.node.err(), "");
    EXPECT_TRUE(r.node.running());
}

TEST(StartupRunning, VerboseTwoIsSilentBeyondHostName)
{
    Running r({"-v", "2"});
    ASSERT_TRUE(r.client.valid());
    EXPECT_EQ(r.ask("PING\n"), ":" + hostName() + " 421 PING :Unknown command\r\n");
    ASSERT_TRUE(r.daemon.send("ADDUSER x\n"));
    EXPECT_EQ(r.ask("PONG\n"), ":" + hostName() + " 421 PONG :Unknown command\r\n");
    EXPECT_EQ(r.node.out(), "Local host name: " + hostName() + "\n");
    EXPECT_EQ(r.node.err(), "");
}

TEST(StartupRunning, CycleThatSplitsNoTimeoutWarnsTwiceAndRuns)
{
    // Both timeouts default to 120 s, which 50 does not divide.
    Running r({"-a", "50"});
    ASSERT_TRUE(r.client.valid());
    EXPECT_EQ(r.ask("QUIT\n"), ":" + hostName() + " 451 :You have not registered\r\n");
    EXPECT_EQ(r.node.err(),
              PROG + ": warning: neighbor_timeout (120) is not a multiple of advertisement_cycle_time (50)\n" +
              PROG + ": warning: lsa_timeout (120) is not a multiple of advertisement_cycle_time (50)\n");
    EXPECT_TRUE(r.node.running());
}

// The exact replies keep their four clients: the option is said to be ignored, and the node runs.
TEST(StartupRunning, MaxClientsWithoutTheProfileIsIgnoredAloud)
{
    Running r({"--max-clients", "50"});
    ASSERT_TRUE(r.client.valid());
    EXPECT_EQ(r.ask("PING\n"), ":" + hostName() + " 421 PING :Unknown command\r\n");
    EXPECT_EQ(r.node.err(), "quorvel: --max-clients takes effect in the client profile only (--compat): 4 clients\n");
    EXPECT_TRUE(r.node.running());
}

TEST(StartupRunning, CycleThatDividesTheTimeoutsStaysQuiet)
{
    Running r({"-a", "40", "-n", "80"});
    ASSERT_TRUE(r.client.valid());
    EXPECT_EQ(r.ask("PING\n"), ":" + hostName() + " 421 PING :Unknown command\r\n");
    EXPECT_EQ(r.node.err(), "");
    EXPECT_TRUE(r.node.running());
}

// --check reads what start-up reads, options files included, says what it found and ends without
// starting: 0 when all of it is good, 1 at the first fault, with the fault's own message and where
// it is; no daemon need listen. A key others may read is taken with a warning, or refused under
// --strict-key.
TEST(StartupCheck, BothProgramsCheckWithoutStarting)
{
    const std::string routed = QUORVEL_ROUTED_BINARY;
    NodeProcess files;
    const std::string good = files.writeConfig("# two nodes\n" + configLine(1, someFreePorts()) + configLine(2, someFreePorts()));
    NodeProcess badFiles;
    const std::string bad = badFiles.writeConfig("# a comment, and a blank line\n\n1 127.0.0.1 10 20\n");
    // Options files (written as configurations are, one each), and a key others may read.
    NodeProcess extraFiles[3];
    const std::string options = extraFiles[0].writeConfig("# shared\nQUORVEL_OPTIONS=\"-a 2\"\nS='--compat'\n");
    const std::string badOptions = extraFiles[1].writeConfig("A=1\nB=-a 2\n");
    const std::string openKey = extraFiles[2].writeConfig("0123456789abcdef0123456789abcdef");
    ASSERT_EQ(::chmod(openKey.c_str(), 0644), 0);
    struct Case {
        std::string prog;
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    for (const Case &c : std::vector<Case>{
             {PROG, {"1", good, "-a", "1", "--check", "--compat"}, 0, good + ": 2 nodes; node 1 on 127.0.0.1"},
             {PROG, {"--check"}, 1, "the node ID and the file are missing"},
             {PROG, {"3", good, "--check"}, 1, "Invalid NodeID"},
             {PROG, {"1", bad, "--check"}, 1, "bad line in config_file"},
             {PROG, {"1", good, "-a", "0", "--check"}, 1, "invalid advertisement_cycle_time"},
             {routed, {"--check", "-i", "2", "-c", good}, 0, "2 nodes; node 2 on 127.0.0.1"},
             {routed, {"--check", "-i", "1", "-c", bad}, 1, bad + ", line 3: not \"ID host"},
             {PROG, {"1", good, "--check", "--options", options, "--exact"}, 0, "; client profile;"},
             {PROG, {"1", good, "--options", badOptions, "--check"}, 1, badOptions + ", line 2: text after the value"},
             {routed, {"-i", "1", "-c", good, "--options", "/nonexistent", "--check"}, 1, "options file /nonexistent: No such"},
             {routed, {"-i", "1", "-c", good, "-k", openKey, "--check"}, 0, "warning: key file " + openKey},
             {PROG, {"1", good, "--key", openKey, "--strict-key", "--check"}, 1, "refused: key file " + openKey},
         }) {
        SCOPED_TRACE(c.prog + " " + c.args[0]);
        NodeProcess node(c.prog);
        Exit e = runToExit(node, c.args);
        EXPECT_EQ(e.status, c.status);
        EXPECT_NE((e.out + e.err).find(c.says), std::string::npos) << e.out << e.err;
        EXPECT_EQ(e.out.find("ready"), std::string::npos) << e.out;
    }
}
