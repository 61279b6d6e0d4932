// The real binary with --compat answers LINKSTATUS from this machine, one line per neighbour and
// "end", even while every client slot is taken.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_daemon.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

std::string downLine(int id) { return "link " + std::to_string(id) + " down clear up - sent 0 acked 0 waiting 0 resent 0 rtt_us 0\r\n"; }

TEST(LinkStatusProcess, AnswersThisMachineWithEveryNeighbourEvenWhenFull)
{
    FakeDaemon daemon;
    NodeProcess node;
    const NodePorts ports{freePort(), daemon.port(), freePort()};
    // The neighbours live elsewhere, so that a client from 127.0.0.1 is no node.
    const std::string config = node.writeConfig(configLine(3, ports) +
                                                configLine(4, {freePort(), freePort(), freePort()}, "127.0.0.4") +
                                                configLine(5, {freePort(), freePort(), freePort()}, "127.0.0.5"));
    node.start({"--compat", "3", config});
    std::vector<LineSocket> clients;
    clients.push_back(waitUntilServing(daemon, ports.server));
    ASSERT_TRUE(clients.back().valid()) << node.err();
    for (int more = 0; more < 3; ++more) clients.push_back(LineSocket::connectTo(ports.server));
    // Each client has its slot once it is answered.
    for (LineSocket &c : clients) {
        c.send("CAP LS 302\r\n");
        ASSERT_NE(c.readLine(), "");
    }

    LineSocket ask = LineSocket::connectTo(ports.server);
    ask.send("LINKSTATUS\r\n");
    EXPECT_EQ(ask.readLine(), downLine(4));
    EXPECT_EQ(ask.readLine(), downLine(5));
    EXPECT_EQ(ask.readLine(), "end\r\n");
    EXPECT_TRUE(ask.readsEofOnly());
    // A client from here still finds the server full.
    LineSocket fifth = LineSocket::connectTo(ports.server);
    fifth.send("CAP LS 302\r\n");
    EXPECT_NE(fifth.readLine().find("server full"), std::string::npos);

}

}  // namespace
