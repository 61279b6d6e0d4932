// The real binary with --compat beside a fake daemon: the option is taken wherever it stands, the
// usual options keep working beside it, and a client's session has the profile's replies.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/fake_daemon.h"
#include "support/irc_client.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

// A --compat node with `options` beside a fake daemon, and the first connection to it once it serves.
struct CompatNode {
    explicit CompatNode(std::vector<std::string> options)
    {
        options.insert(options.begin(), {"--compat", "3", node.writeConfig(configLine(3, ports))});
        node.start(options);
        first = waitUntilServing(daemon, ports.server);
    }
    FakeDaemon daemon;
    NodeProcess node;
    const NodePorts ports{freePort(), daemon.port(), freePort()};
    LineSocket first;
};

// Each value of the option ends a start with status 255 and a line naming the option's range.
void expectRefusedValues(const NodePorts &ports, const std::string &option, std::initializer_list<const char *> values,
                         int most)
{
    for (const char *value : values) {
        SCOPED_TRACE(option + " " + value);
        NodeProcess bad;
        bad.start({"3", bad.writeConfig(configLine(3, ports)), "--compat", option, value});
        EXPECT_EQ(bad.waitForExit(), 255);
        const std::string said = "invalid " + option + " = " + value + " (a number from 1 to " + std::to_string(most) + ")";
        EXPECT_NE(bad.err().find(said), std::string::npos) << bad.err();
    }
}

// The client's NICK and USER, and the daemon's answer that no other node has the nick.
void registerWith(FakeDaemon &daemon, Client &c)
{
    c.say(c.nickLine());
    c.say(c.userLine());
    EXPECT_EQ(daemon.nextLine(), "NEXTHOP " + c.nick + "\r\n");
    daemon.send("NONE\r\n");
}

TEST(ProfileProcess, CompatNodeWelcomesAnswersPingAndPartsForReal)
{
    CompatNode n({"-v", "1"});
    FakeDaemon &daemon = n.daemon;
    NodeProcess &node = n.node;
    LineSocket &sock = n.first;
    ASSERT_TRUE(sock.valid()) << node.err();
    EXPECT_TRUE(node.waitForOutput("I am node 3")) << node.out();  // -v 1 still read after --compat

    Client alice(std::move(sock), "alice");
    alice.say("CAP LS 302");
    EXPECT_EQ(alice.sock.readLine(), ":" + hostName() + " CAP * LS :\r\n");
    // The nick is asked of the daemon, and USER waits behind it.
    alice.say(alice.nickLine());
    alice.say(alice.userLine());
    alice.say("CAP END");
    EXPECT_EQ(daemon.nextLine(), "NEXTHOP alice\r\n");
    EXPECT_EQ(alice.sock.drain(Millis(30)), "");
    daemon.send("NONE\r\n");
    EXPECT_EQ(alice.sock.readLine(), fromServer("001 alice :Welcome to the quorvel IRC network " + alice.mask()));
    for (const char *code : {"002", "003", "004", "005"})
        EXPECT_EQ(alice.sock.readLine().substr(0, hostName().size() + 12), ":" + hostName() + " " + code + " alice ");
    EXPECT_EQ(alice.sock.readLine(), motdStart("alice"));
    EXPECT_EQ(alice.sock.readLine(), motdBody("alice"));
    EXPECT_EQ(alice.sock.readLine(), motdEnd("alice"));

    alice.say("PING :12345");
    EXPECT_EQ(alice.sock.readLine(), ":" + hostName() + " PONG " + hostName() + " :12345\r\n");
    alice.say("JOIN #a");
    EXPECT_EQ(alice.sock.readLine(), ":" + alice.mask() + " JOIN #a\r\n");
    EXPECT_EQ(alice.sock.readLine(), namesLine("alice", "#a", "@alice"));  // the first member is its operator
    EXPECT_EQ(alice.sock.readLine(), namesEnd("alice", "#a"));
    alice.say("PART #a");
    EXPECT_EQ(alice.sock.readLine(), ":" + alice.mask() + " PART #a\r\n");
}

TEST(ProfileProcess, WithoutCompatTheProfileCommandsAreUnknown)
{
    FakeDaemon daemon;
    NodeProcess node;
    const NodePorts ports{freePort(), daemon.port(), freePort()};
    node.start({"3", node.writeConfig(configLine(3, ports))});
    LineSocket sock = waitUntilServing(daemon, ports.server);
    ASSERT_TRUE(sock.valid()) << node.err();
    sock.send("PING :1\r\n");
    EXPECT_EQ(sock.readLine(), fromServer("421 PING :Unknown command"));
}

// The profile's MOTD comes from --motd's file and its name from --name; SIGHUP reads the file again,
// and the log level (the node's) or -v (the daemon's) from the --options files, falling back to the
// command line's when a file no longer names one; it ends neither program, in either mode.
TEST(ProfileProcess, MotdFileAndNameAndSighupReadsTheFilesAgain)
{
    char motd[] = "/tmp/quorvel-motd-XXXXXX";
    char options[] = "/tmp/quorvel-options-XXXXXX";
    ASSERT_GE(::mkstemp(motd), 0);
    ASSERT_GE(::mkstemp(options), 0);
    std::ofstream(motd) << "first line\r\nsecond\n";
    std::ofstream(options) << "# the server's\nQUORVEL_SERVER_OPTIONS=\"--log quiet\"\n";
    CompatNode n({"--name", "irc.test", "--motd", motd, "--log", "info", "--options", options});
    ASSERT_TRUE(n.first.valid()) << n.node.err();
    const auto motdOf = [&n](Client &c) {
        c.say(c.nickLine());
        c.say(c.userLine());
        std::string asked;
        while (!(asked = n.daemon.nextLine()).empty() && asked != "NEXTHOP " + c.nick + "\r\n") {}  // past ADDUSER
        EXPECT_EQ(asked, "NEXTHOP " + c.nick + "\r\n");
        n.daemon.send("NONE\r\n");
        std::string lines;
        for (std::string line = "-"; !line.empty() && line.find(" 376 ") == std::string::npos;) {
            line = c.sock.readLine();
            if (line.find(" 372 ") != std::string::npos) lines += line;
        }
        return lines;
    };
    Client alice(std::move(n.first), "alice");
    EXPECT_EQ(motdOf(alice), ":irc.test 372 alice :- first line\r\n:irc.test 372 alice :- second\r\n");

    std::ofstream(motd) << "changed\n";
    std::ofstream(options) << "\n";  // no level: the command line's info again
    ASSERT_EQ(::kill(n.node.pid(), SIGHUP), 0);
    EXPECT_TRUE(n.node.waitForOutput("the MOTD has 1 line(s)")) << n.node.out();
    EXPECT_NE(n.node.out().find("SIGHUP: the log level is info"), std::string::npos) << n.node.out();
    Client bob(connectWithRetry(n.ports.server), "bob");
    EXPECT_EQ(motdOf(bob), ":irc.test 372 bob :- changed\r\n");
    EXPECT_TRUE(n.node.waitForError("info: bob registered")) << n.node.err();
    EXPECT_EQ(n.node.err().find("alice registered"), std::string::npos) << n.node.err();
    std::ofstream(options) << "X=\"--log $LEVEL\"\n";  // a fault keeps the level and says where
    ASSERT_EQ(::kill(n.node.pid(), SIGHUP), 0);
    EXPECT_TRUE(n.node.waitForOutput("the log level stays info")) << n.node.out();
    EXPECT_NE(n.node.err().find(std::string(options) + ", line 1: $"), std::string::npos) << n.node.err();
    EXPECT_TRUE(n.node.running());

    NodeProcess routed(QUORVEL_ROUTED_BINARY);
    const NodePorts routedPorts{freePort(), freePort(), freePort()};
    std::ofstream(options) << "QUORVEL_ROUTED_OPTIONS='-v 1'\n";
    routed.start({"-i", "1", "-c", routed.writeConfig(configLine(1, routedPorts)), "--options", options});
    ASSERT_TRUE(routed.waitForOutput("ready")) << routed.err();
    std::ofstream(options) << "# nothing\n";
    ASSERT_EQ(::kill(routed.pid(), SIGHUP), 0);
    EXPECT_TRUE(routed.waitForOutput("SIGHUP: -v 0; the node table and the key are read at start only")) << routed.out();
    EXPECT_TRUE(routed.running());
    ::unlink(motd);
    ::unlink(options);
}

// --log info: a line per connection, registration and close on standard error, never what a user
// says; a level it does not know is refused.
TEST(ProfileProcess, InfoLogSaysWhoCameAndWentButNotWhatTheySaid)
{
    CompatNode n({"--log", "info"});
    ASSERT_TRUE(n.first.valid()) << n.node.err();
    {
        Client alice(std::move(n.first), "alice");
        registerWith(n.daemon, alice);
        EXPECT_TRUE(alice.sock.readLine().find(" 001 alice ") != std::string::npos);
        alice.say("PRIVMSG alice :a secret");
        alice.say("QUIT");
        while (!alice.sock.readLine().empty()) {}  // the rest of the welcome, the message, the close
    }
    for (int polls = 0; polls < 200 && n.node.err().find("slot 1 closed") == std::string::npos; ++polls) usleep(10000);
    const std::string log = n.node.err();
    for (const char *line : {"info: a client from 127.0.0.1 in slot 1\n", "info: alice registered in slot 1 from 127.0.0.1\n",
                             "info: slot 1 closed (127.0.0.1)\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << log;
    EXPECT_EQ(log.find("secret"), std::string::npos) << log;

    NodeProcess bad;
    bad.start({"3", bad.writeConfig(configLine(3, n.ports)), "--log", "loud"});
    EXPECT_EQ(bad.waitForExit(), 255);
    EXPECT_NE(bad.err().find("invalid --log = loud"), std::string::npos) << bad.err();
}

// The channel sizes come from the command line: the 005 line tells the joins, a JOIN past them is
// refused; a value that is no number in range ends the node, and without the profile they are
// named as unused.
TEST(ProfileProcess, ChannelSizesComeFromOptions)
{
    CompatNode n({"--max-joins", "2", "--max-channels", "8"});
    ASSERT_TRUE(n.first.valid()) << n.node.err();
    Client alice(std::move(n.first), "alice");
    registerWith(n.daemon, alice);
    std::string isupport;
    for (std::string line = "-"; !line.empty() && line.find(" 376 ") == std::string::npos; line = alice.sock.readLine())
        if (line.find(" 005 ") != std::string::npos) isupport = line;
    EXPECT_NE(isupport.find(" CHANLIMIT=#&:2 MAXCHANNELS=2 "), std::string::npos) << isupport;
    alice.say("JOIN #a,#b,#c");
    for (const char *channel : {"#a", "#b"}) {
        EXPECT_EQ(alice.sock.readLine(), ":" + alice.mask() + " JOIN " + channel + "\r\n");
        EXPECT_EQ(alice.sock.readLine(), namesLine("alice", channel, "@alice"));
        EXPECT_EQ(alice.sock.readLine(), namesEnd("alice", channel));
    }
    EXPECT_EQ(alice.sock.readLine(), fromServer("405 alice #c :You have joined too many channels"));

    expectRefusedValues(n.ports, "--max-joins", {"0", "34", "x", "3x", ""}, 33);
    FakeDaemon daemon;
    NodeProcess exact;
    const NodePorts ports{freePort(), daemon.port(), freePort()};
    exact.start({"3", exact.writeConfig(configLine(3, ports)), "--max-members", "5"});
    EXPECT_TRUE(waitUntilServing(daemon, ports.server).valid()) << exact.err();
    EXPECT_NE(exact.err().find("take effect in the client profile only"), std::string::npos) << exact.err();
}

// Reads the registration's replies up to the end of the MOTD.
void skipWelcome(Client &c)
{
    for (std::string line = "-"; !line.empty() && line.find(" 376 ") == std::string::npos; line = c.sock.readLine()) {
    }
}

// With a one-second period: a silent client is asked, and closed when it stays silent; one that
// answers stays and is asked again after its next silence. Only the order of lines is asserted.
TEST(ProfileProcess, SilentClientIsPingedThenClosedForAPingTimeout)
{
    CompatNode n({"--ping-period", "1"});
    ASSERT_TRUE(n.first.valid()) << n.node.err();
    Client alice(std::move(n.first), "alice");
    registerWith(n.daemon, alice);
    skipWelcome(alice);
    EXPECT_EQ(n.daemon.nextLine(), "ADDUSER alice\r\n");
    Client bob(connectWithRetry(n.ports.server), "bob");
    registerWith(n.daemon, bob);
    skipWelcome(bob);

    const std::string ping = "PING :" + hostName() + "\r\n";
    EXPECT_EQ(alice.sock.readLine(Millis(5000)), ping);
    alice.say("PONG :" + hostName());
    EXPECT_EQ(bob.sock.readLine(Millis(5000)), ping);
    EXPECT_EQ(bob.sock.readLine(Millis(5000)), "ERROR :Closing link: Ping timeout\r\n");
    EXPECT_TRUE(bob.sock.readsEofOnly());
    std::string line;
    do line = n.daemon.nextLine(); while (!line.empty() && line != "REMOVEUSER bob\r\n");
    EXPECT_EQ(line, "REMOVEUSER bob\r\n");
    // alice answered, so she is asked again rather than closed.
    EXPECT_EQ(alice.sock.readLine(Millis(5000)), ping);
    alice.say("PING :still");
    EXPECT_EQ(alice.sock.readLine(), ":" + hostName() + " PONG " + hostName() + " :still\r\n");

    expectRefusedValues(n.ports, "--ping-period", {"0", "3601", "x", ""}, 3600);
}

}  // namespace
