// Real routing daemons beside real servers, all on 127.0.0.1: routes are learnt from hellos and
// advertisements rather than read from a table, so these tests watch the network converge, heal
// around a dead node, take back a restarted daemon and shrug off datagrams it should not believe.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/irc_client.h"
#include "support/node_process.h"
#include "support/ports.h"

#ifndef QUORVEL_ROUTED_BINARY
#error "QUORVEL_ROUTED_BINARY must name the routing daemon"
#endif

using namespace qtest;

namespace {

using Clock = std::chrono::steady_clock;

// A one-second cycle and a three-second neighbour timeout keep every test within seconds; the
// traces of links and advertisements are shown when a test fails.
const std::vector<std::string> DAEMON_OPTIONS{"-a", "1", "-n", "3", "-r", "1", "-v", "1"};
constexpr Millis CONVERGE_LIMIT(3000);
constexpr Millis QUIET(300);  // long enough for a stray second copy to cross two hops

long long millisBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<Millis>(to - from).count();
}

struct RoutedNode {
    uint32_t id = 0;
    NodePorts ports;
    std::unique_ptr<NodeProcess> daemon;
    NodeProcess server;
    LineSocket spare;  // the connection that found the server serving, handed to its first user

    std::string name() const { return std::to_string(id); }
};

class RoutedNetwork : public ::testing::Test {
protected:
    // Node i + 1 names links[i] as its neighbours. Every daemon is started and ready before
    // any server, since a server links to its daemon as it starts.
    void startNetwork(const std::vector<std::vector<uint32_t>> &links)
    {
        std::vector<uint16_t> taken;
        for (size_t i = 0; i < links.size(); ++i) {
            RoutedNode &n = *nodes.emplace_back(std::make_unique<RoutedNode>());
            n.id = static_cast<uint32_t>(i + 1);
            n.ports = {freshPort(taken), freshPort(taken), freshPort(taken)};
            std::string line = configLine(n.id, n.ports);
            line.pop_back();
            for (uint32_t peer : links[i]) line += " " + std::to_string(peer);
            config_ += line + "\n";
        }
        started = Clock::now();
        for (auto &n : nodes) ASSERT_NO_FATAL_FAILURE(startDaemon(*n));
        for (auto &n : nodes) {
            // -v 1 traces every line a server receives, which shows the FORWARDs that crossed it.
            n->server.start({n->name(), n->server.writeConfig(config_), "-v", "1"});
            ASSERT_TRUE(n->server.waitForOutput("Server connected to daemon", Millis(5000)))
                << "node " << n->id << ": " << n->server.err();
            n->spare = connectWithRetry(n->ports.server);
            ASSERT_TRUE(n->spare.valid()) << "node " << n->id << ": " << n->server.err();
        }
    }

    // A fresh daemon process on the node's own ports, as a restart after a crash would be.
    void startDaemon(RoutedNode &n)
    {
        n.daemon = std::make_unique<NodeProcess>(QUORVEL_ROUTED_BINARY);
        std::vector<std::string> args{"-i", n.name(), "-c", n.daemon->writeConfig(config_)};
        args.insert(args.end(), DAEMON_OPTIONS.begin(), DAEMON_OPTIONS.end());
        n.daemon->start(args);
        ASSERT_TRUE(n.daemon->waitForOutput("Routing daemon of node " + n.name() + " ready", Millis(5000)))
            << "daemon " << n.id << ": " << n.daemon->err();
    }

    static void killNow(NodeProcess &p)
    {
        ASSERT_GT(p.pid(), 0);
        ASSERT_EQ(::kill(p.pid(), SIGKILL), 0);
        EXPECT_EQ(p.waitForExit(), -1);
    }

    RoutedNode &node(uint32_t id) { return *nodes.at(id - 1); }

    Client &user(uint32_t at, const std::string &nick)
    {
        RoutedNode &n = node(at);
        Client &c = signOnNew(users, n.spare, n.ports.server, nick);
        return c;
    }

    // The first member on its node: the names list holds only members of this node.
    static void join(Client &c, const std::string &chan)
    {
        c.say("JOIN " + chan);
        EXPECT_EQ(c.sock.readLine(), joinLine(c.nick, chan));
        EXPECT_EQ(c.sock.readLine(), namesLine(c.nick, chan, c.nick));
        EXPECT_EQ(c.sock.readLine(), namesEnd(c.nick, chan));
    }

    // Until routes settle a copy is refused or dropped on the way, so numbered copies go out
    // one per read window until one arrives. When a copy had reached every listener, or nullopt
    // when none did within the limit. Late copies are drained before it returns.
    static std::optional<Clock::time_point> sendUntilArrives(Client &from, const std::vector<Client *> &to,
                                                             const std::string &target, const std::string &text,
                                                             Millis limit = CONVERGE_LIMIT)
    {
        const auto start = Clock::now();
        const std::string expected = ":" + from.nick + " PRIVMSG " + target + " :" + text + " ";
        std::vector<bool> reached(to.size(), false);
        for (int copy = 1; copy <= 200 && Clock::now() - start < limit; ++copy) {
            from.say("PRIVMSG " + target + " :" + text + " " + std::to_string(copy));
            bool all = true;
            for (size_t i = 0; i < to.size(); ++i) {
                for (int lines = 0; !reached[i] && lines < 20; ++lines) {
                    const std::string line = to[i]->sock.readLine(Millis(50));
                    if (line.empty()) break;
                    reached[i] = line.rfind(expected, 0) == 0;
                }
                all = all && reached[i];
            }
            from.sock.drain(Millis(0));  // the refusals of copies that found no route yet
            if (all) {
                const auto arrived = Clock::now();
                drainAll(to);
                from.sock.drain(Millis(0));
                return arrived;
            }
        }
        return std::nullopt;
    }

    // One message that must arrive at once, exactly one copy at each listener.
    static void expectDeliveredOnce(Client &from, const std::vector<Client *> &to, const std::string &target,
                                    const std::string &text)
    {
        from.say("PRIVMSG " + target + " :" + text);
        for (Client *c : to) EXPECT_EQ(c->sock.readLine(), privmsgLine(from.nick, target, text)) << "to " << c->nick;
        const std::vector<std::string> late = drainAll(to);
        for (size_t i = 0; i < to.size(); ++i) EXPECT_EQ(late[i], "") << "to " << to[i]->nick;
        EXPECT_EQ(from.sock.drain(Millis(1)), "") << "to " << from.nick;
    }

    // What reaches each within one shared window: by its end a stray copy would have reached any.
    static std::vector<std::string> drainAll(const std::vector<Client *> &listeners)
    {
        std::vector<std::string> late;
        for (Client *c : listeners) late.push_back(c->sock.drain(late.empty() ? QUIET : Millis(1)));
        return late;
    }

    // Whether the node's server took in a FORWARD line carrying the text.
    bool relayed(uint32_t at, const std::string &text)
    {
        const std::string out = node(at).server.out();
        for (size_t pos = out.find("FORWARD "); pos != std::string::npos; pos = out.find("FORWARD ", pos + 1)) {
            const std::string line = out.substr(pos, out.find('\n', pos) - pos);
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

    static void report(const std::string &what, long long millis)
    {
        std::printf("[  timing  ] %s: %lld ms\n", what.c_str(), millis);
        std::fflush(stdout);
        ::testing::Test::RecordProperty(what, std::to_string(millis));
    }

    void TearDown() override
    {
        if (!HasFailure()) return;
        for (auto &n : nodes) {
            std::fprintf(stderr, "--- server %u:\n%s%s", n->id, tail(n->server.out()).c_str(), n->server.err().c_str());
            if (n->daemon)
                std::fprintf(stderr, "--- daemon %u:\n%s%s", n->id, tail(n->daemon->out()).c_str(), n->daemon->err().c_str());
        }
    }
    static std::string tail(const std::string &text) { return text.substr(text.size() > 3000 ? text.size() - 3000 : 0); }

    std::vector<std::unique_ptr<RoutedNode>> nodes;
    std::vector<std::unique_ptr<Client>> users;  // closed before the nodes end
    Clock::time_point started;

private:
    std::string config_;
};

}  // namespace

TEST_F(RoutedNetwork, LineOfThreeCarriesMessagesThroughTheMiddleAndChannelMessagesOnce)
{
    ASSERT_NO_FATAL_FAILURE(startNetwork({{2}, {3}, {}}));
    Client &alice = user(1, "alice"), &bob = user(2, "bob"), &carol = user(3, "carol");
    join(alice, "#room");
    join(bob, "#room");
    join(carol, "#room");

    const auto signedOn = Clock::now();
    const auto converged = sendUntilArrives(alice, {&carol}, "carol", "warm-up");
    ASSERT_TRUE(converged) << "alice never reached carol";
    report("line of three: first delivery after sign-on", millisBetween(signedOn, *converged));
    report("line of three: first delivery after the first daemon started", millisBetween(started, *converged));

    expectDeliveredOnce(alice, {&carol}, "carol", "across the middle");
    EXPECT_TRUE(relayed(2, "across the middle")) << "node 2 never carried it";
    expectDeliveredOnce(carol, {&alice}, "alice", "and back");

    // The channel's members are advertised apart from the users, so they may settle a moment later.
    ASSERT_TRUE(sendUntilArrives(alice, {&bob, &carol}, "#room", "channel warm-up")) << "the channel never reached both";
    expectDeliveredOnce(alice, {&bob, &carol}, "#room", "to the room");
    expectDeliveredOnce(carol, {&alice, &bob}, "#room", "from the far end");

    // Nobody anywhere hosts zed: the sender's own daemon says so.
    alice.say("PRIVMSG zed :anyone");
    EXPECT_EQ(alice.sock.readLine(), noSuchTarget("zed"));
}

TEST_F(RoutedNetwork, RingOfFourRoutesAroundAKilledNode)
{
    ASSERT_NO_FATAL_FAILURE(startNetwork({{2, 4}, {3}, {4}, {}}));
    Client &alice = user(1, "alice"), &carol = user(3, "carol");
    ASSERT_TRUE(sendUntilArrives(alice, {&carol}, "carol", "warm-up")) << "alice never reached carol";

    // Both ways round take two hops; the tie goes to the lower ID, node 2.
    expectDeliveredOnce(alice, {&carol}, "carol", "the short way");
    EXPECT_TRUE(relayed(2, "the short way"));
    EXPECT_FALSE(relayed(4, "the short way"));

    const auto killed = Clock::now();
    killNow(node(2).server);
    killNow(*node(2).daemon);
    // Sent at once: its hop is dead, so it is asked for again until the daemons route around it.
    alice.say("PRIVMSG carol :after the loss");
    ASSERT_EQ(carol.sock.readLine(Millis(8000)), privmsgLine("alice", "carol", "after the loss"))
        << "no way round node 2 within the neighbour timeout, a cycle and a margin";
    report("ring of four: healed after node 2 was killed", millisBetween(killed, Clock::now()));
    EXPECT_TRUE(relayed(4, "after the loss"));

    expectDeliveredOnce(alice, {&carol}, "carol", "the long way");
    EXPECT_TRUE(relayed(4, "the long way"));
    expectDeliveredOnce(carol, {&alice}, "alice", "the long way back");
    EXPECT_TRUE(node(1).daemon->running());
    EXPECT_TRUE(node(3).daemon->running());
    EXPECT_TRUE(node(4).daemon->running());
}

TEST_F(RoutedNetwork, RestartedDaemonTakesBackItsRunningServer)
{
    ASSERT_NO_FATAL_FAILURE(startNetwork({{2}, {3}, {}}));
    Client &alice = user(1, "alice"), &bob = user(2, "bob"), &carol = user(3, "carol");
    ASSERT_TRUE(sendUntilArrives(alice, {&carol}, "carol", "warm-up")) << "alice never reached carol";
    ASSERT_TRUE(sendUntilArrives(alice, {&bob}, "bob", "warm-up")) << "alice never reached bob";

    killNow(*node(2).daemon);
    // With its daemon gone the server refuses every message for another node at once.
    bob.say("PRIVMSG alice :anyone there");
    EXPECT_EQ(bob.sock.readLine(), noSuchTarget("alice"));
    // Registered while no daemon listens: only the announcement after the re-link can make dave known.
    Client &dave = user(2, "dave");

    ASSERT_NO_FATAL_FAILURE(startDaemon(node(2)));
    const auto restarted = Clock::now();
    const auto relinked = sendUntilArrives(alice, {&dave}, "dave", "welcome back", Millis(5000));
    ASSERT_TRUE(relinked) << "dave never became routable after the daemon came back";
    report("daemon restart: a user registered meanwhile is routable after", millisBetween(restarted, *relinked));

    expectDeliveredOnce(alice, {&bob}, "bob", "still here");
    expectDeliveredOnce(bob, {&alice}, "alice", "from the restarted node");
    expectDeliveredOnce(dave, {&carol}, "carol", "to the far end");
    expectDeliveredOnce(alice, {&carol}, "carol", "through the restarted middle");
    EXPECT_TRUE(relayed(2, "through the restarted middle"));
}

TEST_F(RoutedNetwork, DaemonIgnoresMalformedAndSpoofedDatagrams)
{
    ASSERT_NO_FATAL_FAILURE(startNetwork({{2}, {3}, {}}));
    Client &alice = user(1, "alice"), &bob = user(2, "bob"), &carol = user(3, "carol");
    ASSERT_TRUE(sendUntilArrives(alice, {&carol}, "carol", "warm-up")) << "alice never reached carol";

    // Each one, if believed, would take carol or a link away or claim her for another node. They
    // come from 127.0.0.1, every node's address, but from none of the routing ports.
    const std::vector<std::string> spoofs{
        "HELLO 99 2",                          // no such node
        "HELLO 0 2",
        "HELLO 1",                             // node 1 no longer hearing node 2
        "HELLO 3 1 2",
        "LSA 3 3 4294967295 0 0 0",            // node 3 with no links and no users, and the last seq
        "LSA 1 3 4294967295 1 2 0 0",
        "LSA 1 1 4294967295 1 2 1 carol 0",    // carol on node 1
        "LSA 3 2 4294967295 0 0 0",            // node 2's own advertisement, replaced
        "ACK 1 2 4294967295",
        "ACK 3 3 1",
        "LSA 1 1 1 1 2 1 carol",               // the channel count missing
        "HELLO 4294967296 2",
        "LSA 1 1 1 33 2 0 0",                  // more links than nodes
        "HELLO 1  2",
    };
    const std::string full = "LSA 3 3 4294967295 1 2 2 carol mallory 1 #room";
    std::vector<std::string> burst(spoofs);
    for (size_t cut = 1; cut < full.size(); ++cut) burst.push_back(full.substr(0, cut));
    burst.push_back("");
    burst.push_back(std::string(1400, 'A'));
    burst.push_back(full + std::string(1400 - full.size(), ' '));
    std::mt19937 random(20240611);
    while (burst.size() < 200) {
        std::string noise(1 + random() % 300, '\0');
        for (char &c : noise) c = static_cast<char>(random());
        burst.push_back(noise);
    }

    const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    const sockaddr_in to = loopbackAddress(node(2).ports.routing);
    int sent = 0;
    for (const std::string &d : burst)
        sent += ::sendto(sock, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) ==
                static_cast<ssize_t>(d.size());
    ::close(sock);
    EXPECT_EQ(sent, 200);

    // A cycle passes, so that anything believed has been flooded and acted on.
    std::this_thread::sleep_for(Millis(1200));
    for (uint32_t id = 1; id <= 3; ++id) EXPECT_TRUE(node(id).daemon->running()) << "daemon " << id;
    expectDeliveredOnce(alice, {&carol}, "carol", "after the noise");
    EXPECT_TRUE(relayed(2, "after the noise"));
    expectDeliveredOnce(bob, {&carol}, "carol", "from beside the noise");
    expectDeliveredOnce(carol, {&alice}, "alice", "back through it");
}

// While the daemons have not yet noticed a dead node, messages routed through it are not lost:
// each is asked for again until the network has healed around the node, or its sender is told.
TEST_F(RoutedNetwork, MessagesSentAsANodeDiesAreDeliveredOrAnsweredNoneSilently)
{
    ASSERT_NO_FATAL_FAILURE(startNetwork({{2, 4}, {3}, {4}, {}}));
    Client &alice = user(1, "alice"), &carol = user(3, "carol");
    ASSERT_TRUE(sendUntilArrives(alice, {&carol}, "carol", "warm-up")) << "alice never reached carol";

    killNow(node(2).server);
    killNow(*node(2).daemon);
    constexpr int MESSAGES = 30;
    for (int i = 0; i < MESSAGES; ++i) {
        alice.say("PRIVMSG carol :during " + std::to_string(i));
        std::this_thread::sleep_for(Millis(100));
    }
    // Every message ends as one arrival or one 401, whichever way and in whatever order.
    std::set<std::string> arrived;
    int told = 0;
    const auto deadline = Clock::now() + Millis(15000);
    for (int round = 0; round < 4 * MESSAGES && static_cast<int>(arrived.size()) + told < MESSAGES && Clock::now() < deadline;
         ++round) {
        const std::string atCarol = carol.sock.readLine(Millis(50));
        if (!atCarol.empty()) {
            EXPECT_TRUE(arrived.insert(atCarol).second) << "twice: " << atCarol;
        }
        const std::string atAlice = alice.sock.readLine(Millis(50));
        if (atAlice == noSuchTarget("carol")) {
            ++told;
        } else {
            EXPECT_EQ(atAlice, "");
        }
    }
    EXPECT_EQ(static_cast<int>(arrived.size()) + told, MESSAGES) << arrived.size() << " arrived, " << told << " told";
    EXPECT_GT(arrived.size(), 0u);
}
