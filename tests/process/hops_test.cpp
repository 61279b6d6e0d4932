// The node's next hops as its loop drives them: a neighbour that takes a connection but never
// answers delays only the messages for it; the line it may have read is never sent again, and
// those never written are asked for again.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "support/fake_daemon.h"
#include "support/fake_peers.h"
#include "support/irc_client.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

TEST(Hops, NeighbourThatNeverAnswersDelaysOnlyItsOwnMessagesAndItsLineIsNotSentTwice)
{
    FakeDaemon daemon;
    PeerListener silent, peer3;  // the test never takes silent's connections: they are never read
    const NodePorts self{freePort(), daemon.port(), freePort()};
    NodeProcess node;
    const std::string config = configLine(1, self) + configLine(2, {freePort(), freePort(), silent.port()}) +
                               configLine(3, {freePort(), freePort(), peer3.port()});
    node.start({"1", node.writeConfig(config), "-a", "1", "-n", "30"});
    LineSocket first = waitUntilServing(daemon, self.server);
    ASSERT_TRUE(first.valid()) << node.err();
    std::deque<Client> clients;
    Client &alice = clients.emplace_back(std::move(first), "alice");
    ASSERT_TRUE(signOn(alice));
    ASSERT_EQ(daemon.nextLine(), "ADDUSER alice\r\n");

    alice.say("PRIVMSG carol :stuck");
    ASSERT_EQ(daemon.nextLine(), "NEXTHOP carol\r\n");
    ASSERT_TRUE(daemon.send("OK 2 1\n"));
    alice.say("PRIVMSG erin :behind");  // queued for node 2 behind carol's line, never written
    ASSERT_EQ(daemon.nextLine(), "NEXTHOP erin\r\n");
    ASSERT_TRUE(daemon.send("OK 2 1\n"));
    // The other hop is served while node 2 holds its line unread.
    alice.say("PRIVMSG dave :meanwhile");
    ASSERT_EQ(daemon.nextLine(), "NEXTHOP dave\r\n");
    ASSERT_TRUE(daemon.send("OK 3 1\n"));
    std::optional<Delivery> d = peer3.next();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->bytes, forwardLine("1", "alice", "dave", "meanwhile"));

    // Unanswered after the exchange's limit: carol's line, which node 2 may yet read, is not asked
    // for again; erin's is, and goes the way now named.
    EXPECT_EQ(daemon.nextLine(Millis(8000)), "NEXTHOP erin\r\n");
    ASSERT_TRUE(daemon.send("OK 3 2\n"));
    d = peer3.next();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->bytes, forwardLine("1", "alice", "erin", "behind"));
    EXPECT_EQ(daemon.nextLine(Millis(400)), "");
    EXPECT_TRUE(peer3.quiet(Millis(50)));
    // The exact sender is told nothing of its unconfirmed line.
    EXPECT_EQ(alice.sock.drain(Millis(50)), "");
    EXPECT_TRUE(node.running());
}

// The trace of a node's line reaches standard output while the node is otherwise idle, as a
// client's lines do: an operator watching the log sees each message pass.
TEST(Hops, VerboseTraceOfAForwardLineIsFlushedAtOnce)
{
    FakeDaemon daemon;
    const NodePorts self{freePort(), daemon.port(), freePort()};
    NodeProcess node;
    const std::string config = configLine(1, self) + configLine(2, {freePort(), freePort(), freePort()});
    node.start({"1", node.writeConfig(config), "-v", "1"});
    LineSocket first = waitUntilServing(daemon, self.server);
    ASSERT_TRUE(first.valid()) << node.err();
    LineSocket peer = LineSocket::connectTo(self.server);
    ASSERT_TRUE(peer.send("FORWARD 2 :zed PRIVMSG nobody hi\r\n"));
    EXPECT_EQ(peer.drain(Millis(2000)), "+");
    EXPECT_TRUE(peer.atEnd());
    EXPECT_EQ(daemon.nextLine(), "NEXTHOP nobody\r\n");
    EXPECT_TRUE(node.waitForOutput("Command[-1]: FORWARD 2 :zed PRIVMSG nobody hi\n")) << node.out();
}
