// The real binary with --compat beside a fake daemon: the option is taken wherever it stands, the
// usual options keep working beside it, and a client's session has the profile's replies.
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <string>

#include "support/fake_daemon.h"
#include "support/irc_client.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

TEST(ProfileProcess, CompatNodeWelcomesAnswersPingAndPartsForReal)
{
    FakeDaemon daemon;
    NodeProcess node;
    const NodePorts ports{freePort(), daemon.port(), freePort()};
    node.start({"--compat", "3", node.writeConfig(configLine(3, ports)), "-v", "1"});
    LineSocket sock = waitUntilServing(daemon, ports.server);
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
    EXPECT_EQ(alice.sock.readLine(), namesLine("alice", "#a", "alice"));
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

// The profile's MOTD comes from --motd's file and its name from --name; SIGHUP reads the file again
// and ends neither program, in either mode.
TEST(ProfileProcess, MotdFileAndNameAndSighupReadsTheFileAgain)
{
    FakeDaemon daemon;
    NodeProcess node;
    const NodePorts ports{freePort(), daemon.port(), freePort()};
    const std::string motd = node.dir() + "/motd";
    std::ofstream(motd) << "first line\r\nsecond\n";
    node.start({"--compat", "3", node.writeConfig(configLine(3, ports)), "--name", "irc.test", "--motd", motd});
    LineSocket sock = waitUntilServing(daemon, ports.server);
    ASSERT_TRUE(sock.valid()) << node.err();
    const auto motdOf = [&daemon](Client &c) {
        c.say(c.nickLine());
        c.say(c.userLine());
        std::string asked;
        while (!(asked = daemon.nextLine()).empty() && asked != "NEXTHOP " + c.nick + "\r\n") {}  // past ADDUSER
        EXPECT_EQ(asked, "NEXTHOP " + c.nick + "\r\n");
        daemon.send("NONE\r\n");
        std::string lines;
        for (std::string line = "-"; !line.empty() && line.find(" 376 ") == std::string::npos;) {
            line = c.sock.readLine();
            if (line.find(" 372 ") != std::string::npos) lines += line;
        }
        return lines;
    };
    Client alice(std::move(sock), "alice");
    EXPECT_EQ(motdOf(alice), ":irc.test 372 alice :- first line\r\n:irc.test 372 alice :- second\r\n");

    std::ofstream(motd) << "changed\n";
    ASSERT_EQ(::kill(node.pid(), SIGHUP), 0);
    EXPECT_TRUE(node.waitForOutput("the MOTD has 1 line(s)")) << node.out();
    Client bob(connectWithRetry(ports.server), "bob");
    EXPECT_EQ(motdOf(bob), ":irc.test 372 bob :- changed\r\n");
    EXPECT_TRUE(node.running());

    NodeProcess routed(QUORVEL_ROUTED_BINARY);
    const NodePorts routedPorts{freePort(), freePort(), freePort()};
    routed.start({"-i", "1", "-c", routed.writeConfig(configLine(1, routedPorts))});
    ASSERT_TRUE(routed.waitForOutput("ready")) << routed.err();
    ASSERT_EQ(::kill(routed.pid(), SIGHUP), 0);
    EXPECT_TRUE(routed.waitForOutput("SIGHUP: nothing to read again")) << routed.out();
    EXPECT_TRUE(routed.running());
}

}  // namespace
