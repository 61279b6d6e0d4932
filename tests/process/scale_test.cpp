// The real binary in the client profile with thousands of clients: every one registers, and one
// beyond the limit is told the server is full and closed at once; a descriptor limit the system
// will not raise caps the clients, and says so.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/fake_daemon.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

constexpr int BATCH = 100;  // below the listen backlog, so that no connect waits for a SYN again

// Raises this process's soft limit (which the node inherits) to `wanted` when the hard limit allows.
bool raiseOwnLimit(rlim_t wanted)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= wanted) return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) return false;
    limit.rlim_cur = wanted;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// A profile node beside a daemon that answers every NEXTHOP with NONE, as if no other node hosted
// any nick.
struct ProfileNode {
    explicit ProfileNode(std::vector<std::string> options, std::string binary = QUORVEL_BINARY, bool compat = true)
        : node(std::move(binary))
    {
        const std::string config = node.writeConfig(configLine(3, ports));
        options.insert(options.end(), {compat ? "--compat" : "--exact", "3", config});
        node.start(options);
        serving = router.start() && connectWithRetry(ports.server).valid();
    }
    ScriptedRouter router;
    NodeProcess node;
    const NodePorts ports{freePort(), router.port(), freePort()};
    bool serving = false;
};

bool welcomed(LineSocket &c)
{
    for (int lines = 0; lines < 16; ++lines) {
        const std::string line = c.readLine(Millis(10000));
        if (line.empty()) return false;
        if (line.find(" 001 ") != std::string::npos) return true;
    }
    return false;
}

// Registers `count` more clients, a batch at a time, with nicks made of `prefix` and a number;
// how many were welcomed.
int registerClients(std::vector<LineSocket> &clients, uint16_t port, int count, const std::string &prefix = "c")
{
    int welcomedCount = 0;
    for (int first = 0; first < count; first += BATCH) {
        const size_t from = clients.size();
        for (int i = first; i < count && i < first + BATCH; ++i) {
            LineSocket c = LineSocket::connectTo(port);
            if (!c.valid()) return welcomedCount;
            const std::string n = std::to_string(clients.size());
            c.send("NICK " + prefix + n + "\r\nUSER u" + n + " 0 * :client " + n + "\r\n");
            clients.push_back(std::move(c));
        }
        for (size_t i = from; i < clients.size(); ++i) {
            if (!welcomed(clients[i])) return welcomedCount;
            ++welcomedCount;
        }
    }
    return welcomedCount;
}

// One more client, once every slot is taken: the profile's line, then the close, without a wait.
void expectTurnedAway(uint16_t port)
{
    LineSocket extra = LineSocket::connectTo(port);
    ASSERT_TRUE(extra.valid());
    extra.send("NICK late\r\nUSER late 0 * :late\r\n");
    EXPECT_EQ(extra.readLine(), "ERROR :Closing link: server full\r\n");
    EXPECT_TRUE(extra.readsEofOnly());
}

// The PONG that answers a PING of `token`, past any line sent before it; "" when none came.
std::string pongOf(LineSocket &c, const std::string &token)
{
    std::string line;
    for (int lines = 0; lines < 16 && line.find("PONG") == std::string::npos; ++lines) line = c.readLine();
    return line.find(" :" + token + "\r\n") != std::string::npos ? line : "";
}

void expectStillServed(LineSocket &c, const std::string &token)
{
    c.send("PING :" + token + "\r\n");
    EXPECT_NE(pongOf(c, token), "") << token;
}

// The backlog of the socket listening on `port`, as ss reports it (its Send-Q); -1 when ss cannot.
int listenBacklog(uint16_t port)
{
    const std::string command = "ss -ltnH 'sport = :" + std::to_string(port) + "' 2>/dev/null";
    FILE *ss = popen(command.c_str(), "r");
    if (!ss) return -1;
    char state[32] = {};
    int received = -1;
    int backlog = -1;
    const int fields = std::fscanf(ss, "%31s %d %d", state, &received, &backlog);
    pclose(ss);
    return fields == 3 ? backlog : -1;
}

}  // namespace

// The listen backlog holds the clients reconnecting at once, as far as the system allows; the
// exact replies keep theirs.
TEST(ScaleProcess, TheListenBacklogFollowsTheClients)
{
    struct Case {
        bool compat;
        std::vector<std::string> options;
        int backlog;
    };
    for (const Case &c : {Case{false, {}, 128}, Case{true, {"--max-clients", "100"}, 128},
                          Case{true, {"--max-clients", "1000"}, 1000}}) {
        ProfileNode n(c.options, QUORVEL_BINARY, c.compat);
        ASSERT_TRUE(n.serving) << n.node.err();
        const int backlog = listenBacklog(n.ports.server);
        if (backlog < 0) GTEST_SKIP() << "ss cannot report the listening socket here";
        EXPECT_EQ(backlog, c.backlog) << (c.compat ? "compat " : "exact ") << c.backlog;
    }
}

TEST(ScaleProcess, ThousandsRegisterAndOneBeyondTheLimitIsTurnedAway)
{
    constexpr int CLIENTS = 3000;
    // The test holds a socket per client; the node needs its clients', its fresh table's and a margin.
    constexpr rlim_t NEEDED = CLIENTS + CLIENTS / 4 + 512;
    if (!raiseOwnLimit(NEEDED))
        GTEST_SKIP() << "RLIMIT_NOFILE cannot be raised to " << NEEDED << " here: no test of " << CLIENTS << " clients";
    ProfileNode n({"--max-clients", std::to_string(CLIENTS)});
    ASSERT_TRUE(n.serving) << n.node.err();
    EXPECT_EQ(n.node.err(), "");  // the limit it needed was given

    std::vector<LineSocket> clients;
    // The connection that found the node serving took no slot: it sent nothing and is gone.
    ASSERT_EQ(registerClients(clients, n.ports.server, CLIENTS), CLIENTS) << n.node.err();
    expectTurnedAway(n.ports.server);
    expectStillServed(clients.front(), "first");
    expectStillServed(clients.back(), "last");
    // Every client at once: far more ready sockets than one pass takes, and each is answered.
    for (size_t i = 0; i < clients.size(); ++i) clients[i].send("PING :all" + std::to_string(i) + "\r\n");
    int answered = 0;
    for (size_t i = 0; i < clients.size(); ++i)
        answered += pongOf(clients[i], "all" + std::to_string(i)).empty() ? 0 : 1;
    EXPECT_EQ(answered, CLIENTS);

    // A slot given back is taken by the next client, and then the node is full again. The round
    // trips after the close end in a pass that has read its end of stream too.
    clients[CLIENTS / 2].close();
    expectStillServed(clients.front(), "after");
    expectStillServed(clients.front(), "again");
    std::vector<LineSocket> again;
    ASSERT_EQ(registerClients(again, n.ports.server, 1, "again"), 1);
    expectTurnedAway(n.ports.server);
    EXPECT_TRUE(n.node.running());
}

TEST(ScaleProcess, ADescriptorLimitTheSystemWillNotRaiseCapsTheClients)
{
    // prlimit sets both limits before the node starts, so the node cannot raise its own.
    ProfileNode n({"--nofile=400:400", QUORVEL_BINARY}, "/usr/bin/prlimit");
    if (!n.serving && n.node.err().find("prlimit") != std::string::npos)
        GTEST_SKIP() << "prlimit cannot lower the limits here: " << n.node.err();
    ASSERT_TRUE(n.serving) << n.node.err();
    const std::string err = n.node.err();
    EXPECT_NE(err.find(": the system allows 400 open files (RLIMIT_NOFILE), 5249 would be needed for 4096 clients\n"),
              std::string::npos)
        << err;
    const std::string saying = ": serving at most ";
    const size_t at = err.find(saying);
    ASSERT_NE(at, std::string::npos) << err;
    const int cap = std::atoi(err.c_str() + at + saying.size());
    EXPECT_NE(err.find(saying + std::to_string(cap) + " clients\n"), std::string::npos) << err;
    EXPECT_GT(cap, 100);
    EXPECT_LT(cap, 400);

    std::vector<LineSocket> clients;
    ASSERT_EQ(registerClients(clients, n.ports.server, cap), cap) << n.node.err();
    expectTurnedAway(n.ports.server);
    expectStillServed(clients.back(), "last");
}
