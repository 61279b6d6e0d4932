// The real binary with --compat answers LINKSTATUS from this machine, one line per neighbour and
// "end", even while every client slot is taken; scripts/quorvel-status prints those lines.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/fake_daemon.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

std::string downLine(int id) { return "link " + std::to_string(id) + " down clear up - sent 0 acked 0 waiting 0 resent 0 rtt_us 0\r\n"; }

// Everything the command writes on its standard output.
std::string outputOf(const std::string &command)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
    pclose(pipe);
    return out;
}

TEST(LinkStatusProcess, AnswersThisMachineWithEveryNeighbourEvenWhenFull)
{
    FakeDaemon daemon;
    NodeProcess node;
    const NodePorts ports{freePort(), daemon.port(), freePort()};
    // The neighbours live elsewhere, so that a client from 127.0.0.1 is no node.
    const std::string config = node.writeConfig("# the node and two that do not run\n" + configLine(3, ports) +
                                                configLine(4, {freePort(), freePort(), freePort()}, "127.0.0.4") +
                                                configLine(5, {freePort(), freePort(), freePort()}, "127.0.0.5"));
    node.start({"--compat", "--max-clients", "4", "3", config});
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

    // The script's table has a row per neighbour of the node that answers; the daemon here is the
    // test's, which answers no status, and nodes 4 and 5 do not run.
    const std::string table = outputOf(std::string(QUORVEL_SOURCE_DIR) + "/scripts/quorvel-status " + config);
    EXPECT_NE(table.find("\n3      4         down      clear  -                0          0        0        0       -\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("\n3      5         down "), std::string::npos) << table;
    EXPECT_NE(table.find("\n4      no link status\n"), std::string::npos) << table;
    EXPECT_NE(table.find("\n5      no link status\n"), std::string::npos) << table;
    // Daemons that do not answer (the test's, 4 and 5) are silent, and a silent node is trouble.
    EXPECT_NE(table.find("\n4      silent"), std::string::npos) << table;
    EXPECT_EQ(table.find("\n#"), std::string::npos) << "a comment read as a node: " << table;
    const int status = std::system((std::string(QUORVEL_SOURCE_DIR) + "/scripts/quorvel-status " + config + " >/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

}  // namespace
