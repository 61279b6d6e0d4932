// The real binary with --compat beside a fake daemon: the option is taken wherever it stands, the
// usual options keep working beside it, and a client's session has the profile's replies.
#include <gtest/gtest.h>

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

}  // namespace
