// Real nodes side by side, each beside a router that answers from a fixed table: messages cross
// the network hop by hop, each node asking its own router, as users on different nodes talk.
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "support/irc_client.h"
#include "support/node_process.h"
#include "support/ports.h"
#include "support/scripted_router.h"

using namespace qtest;

namespace {

constexpr Millis SETTLE(60);

struct Node {
    uint32_t id = 0;
    ScriptedRouter router;
    NodePorts ports;
    NodeProcess process;
    LineSocket spare;  // the connection that found the node serving, handed to its first user
};

class Network : public ::testing::Test {
protected:
    // Nodes 1..count, every one in every configuration file; each router gets its table first.
    void startNodes(const std::vector<ScriptedRouter::Table> &tables)
    {
        std::string config;
        for (size_t i = 0; i < tables.size(); ++i) {
            auto &n = nodes.emplace_back(std::make_unique<Node>());
            n->id = static_cast<uint32_t>(i + 1);
            n->router.setTable(tables[i]);
            n->ports = {freePort(), n->router.port(), freePort()};
            config += configLine(n->id, n->ports);
        }
        for (auto &n : nodes) {
            n->process.start({std::to_string(n->id), n->process.writeConfig(config)});
            ASSERT_TRUE(n->router.start()) << "node " << n->id << ": " << n->process.err();
            n->spare = connectWithRetry(n->ports.server);
            ASSERT_TRUE(n->spare.valid()) << "node " << n->id << ": " << n->process.err();
        }
    }

    Node &node(uint32_t id) { return *nodes.at(id - 1); }

    Client &user(uint32_t at, const std::string &nick)
    {
        Node &n = node(at);
        Client &c = signOnNew(users, n.spare, n.ports.server, nick);
        EXPECT_TRUE(n.router.waitFor("ADDUSER " + nick + "\r\n")) << nick;
        return c;
    }

    // Members already in the channel on the joiner's node, in the order they joined.
    static void join(Client &c, const std::string &chan, std::initializer_list<Client *> members = {})
    {
        c.say("JOIN " + chan);
        std::string names;
        for (Client *m : members) {
            EXPECT_EQ(m->sock.readLine(), joinLine(c.nick, chan)) << "to " << m->nick;
            names += m->nick + " ";
        }
        EXPECT_EQ(c.sock.readLine(), joinLine(c.nick, chan));
        EXPECT_EQ(c.sock.readLine(), namesLine(c.nick, chan, names + c.nick));
        EXPECT_EQ(c.sock.readLine(), namesEnd(c.nick, chan));
    }

    // Nothing more arrives for any of them; one window serves all, since the last expected line was seen.
    static void expectQuiet(std::initializer_list<Client *> listeners)
    {
        Millis window = SETTLE;
        for (Client *c : listeners) {
            EXPECT_EQ(c->sock.drain(window), "") << "to " << c->nick;
            window = Millis(1);
        }
    }

    // The NEXTHOP and NEXTHOPS requests the node's router got, in order.
    std::vector<std::string> hopRequests(uint32_t at)
    {
        std::vector<std::string> asked;
        for (const std::string &line : node(at).router.received())
            if (line.rfind("NEXTHOP ", 0) == 0 || line.rfind("NEXTHOPS ", 0) == 0) asked.push_back(line);
        return asked;
    }

    std::vector<std::unique_ptr<Node>> nodes;
    std::vector<std::unique_ptr<Client>> users;
};

}  // namespace

TEST_F(Network, TwoNodesCarryMessagesBothWays)
{
    startNodes({{{"NEXTHOP bob", "OK 2 1"}}, {{"NEXTHOP alice", "OK 1 1"}}});
    Client &alice = user(1, "alice"), &bob = user(2, "bob");

    alice.say("PRIVMSG bob :hello there");
    EXPECT_EQ(bob.sock.readLine(), privmsgLine("alice", "bob", "hello there"));
    bob.say("PRIVMSG alice :and   back");
    EXPECT_EQ(alice.sock.readLine(), privmsgLine("bob", "alice", "and back"));

    // Nobody hosts zed: the sender's own router says so.
    alice.say("PRIVMSG zed :anyone");
    EXPECT_EQ(alice.sock.readLine(), noSuchTarget("zed"));

    // The receiving node delivers without asking: bob is its own user.
    EXPECT_EQ(hopRequests(1), (std::vector<std::string>{"NEXTHOP bob\r\n", "NEXTHOP zed\r\n"}));
    EXPECT_EQ(hopRequests(2), (std::vector<std::string>{"NEXTHOP alice\r\n"}));
    expectQuiet({&alice, &bob});
}

TEST_F(Network, LongMessageArrivesCutToWhatOneForwardLineHolds)
{
    startNodes({{{"NEXTHOP bob", "OK 2 1"}}, {}});
    Client &alice = user(1, "alice"), &bob = user(2, "bob");

    std::string text;
    while (text.size() < 480) text += text.size() % 10 == 8 ? ' ' : static_cast<char>('a' + text.size() % 26);
    text += "tail";
    alice.say("PRIVMSG bob :" + text);
    // The forwarded line holds 509 characters before its CR LF; the text gives way, not the line end.
    const size_t room = 509 - (forwardLine("1", "alice", "bob", "").size() - 2);
    ASSERT_NE(text[room - 1], ' ');  // a cut after a space would lose that space on arrival
    EXPECT_EQ(bob.sock.readLine(), privmsgLine("alice", "bob", text.substr(0, room)));
    expectQuiet({&alice, &bob});
}

TEST_F(Network, MessageCrossesTheMiddleNodeBothWays)
{
    startNodes({
        {{"NEXTHOP carol", "OK 2 2"}, {"NEXTHOP ghost", "OK 2 2"}},
        {{"NEXTHOP carol", "OK 3 1"}, {"NEXTHOP alice", "OK 1 1"}},
        {{"NEXTHOP alice", "OK 2 2"}},
    });
    Client &alice = user(1, "alice"), &bob = user(2, "bob"), &carol = user(3, "carol");

    alice.say("PRIVMSG carol :hello there");
    EXPECT_EQ(carol.sock.readLine(), privmsgLine("alice", "carol", "hello there"));
    carol.say("PRIVMSG alice :hello yourself");
    EXPECT_EQ(alice.sock.readLine(), privmsgLine("carol", "alice", "hello yourself"));

    // A hop that finds no route further tells nobody, on its own node or the sender's.
    alice.say("PRIVMSG ghost :boo");
    EXPECT_TRUE(node(2).router.waitFor("NEXTHOP ghost\r\n"));

    EXPECT_EQ(hopRequests(1), (std::vector<std::string>{"NEXTHOP carol\r\n", "NEXTHOP ghost\r\n"}));
    EXPECT_EQ(hopRequests(2),
              (std::vector<std::string>{"NEXTHOP carol\r\n", "NEXTHOP alice\r\n", "NEXTHOP ghost\r\n"}));
    EXPECT_EQ(hopRequests(3), (std::vector<std::string>{"NEXTHOP alice\r\n"}));
    expectQuiet({&alice, &bob, &carol});
}

TEST_F(Network, ChannelMessageReachesEveryMemberOnceAlongTheTree)
{
    // Each router sends a channel message on along the line away from where it came in.
    startNodes({
        {{"NEXTHOPS 1 #chan", "OK 2"}, {"NEXTHOPS 2 #chan", "OK"}, {"NEXTHOPS 3 #chan", "OK"}},
        {{"NEXTHOPS 1 #chan", "OK 3"}, {"NEXTHOPS 2 #chan", "OK 1 3"}, {"NEXTHOPS 3 #chan", "OK 1"}},
        {{"NEXTHOPS 1 #chan", "OK"}, {"NEXTHOPS 2 #chan", "OK"}, {"NEXTHOPS 3 #chan", "OK 2"}},
    });
    Client &alice = user(1, "alice"), &dave = user(1, "dave");
    Client &bob = user(2, "bob");
    Client &carol = user(3, "carol"), &erin = user(3, "erin");
    join(alice, "#chan");
    join(dave, "#chan", {&alice});
    join(bob, "#chan");
    join(carol, "#chan");
    join(erin, "#chan", {&carol});
    const std::vector<Client *> everyone{&alice, &dave, &bob, &carol, &erin};

    struct Round {
        Client *sender;
        std::string src;
    };
    for (const Round &r : {Round{&alice, "1"}, Round{&carol, "3"}, Round{&bob, "2"}}) {
        const std::string text = "from " + r.sender->nick;
        r.sender->say("PRIVMSG #chan :" + text);
        for (Client *c : everyone) {
            if (c == r.sender) continue;
            EXPECT_EQ(c->sock.readLine(), privmsgLine(r.sender->nick, "#chan", text)) << "to " << c->nick;
        }
        // Every node on the way asks with the node where the message entered, and only once.
        const std::string asked = "NEXTHOPS " + r.src + " #chan\r\n";
        for (uint32_t id = 1; id <= 3; ++id) EXPECT_TRUE(node(id).router.waitFor(asked)) << "node " << id;
        expectQuiet({&alice, &dave, &bob, &carol, &erin});
    }
    const std::vector<std::string> eachOnce{"NEXTHOPS 1 #chan\r\n", "NEXTHOPS 3 #chan\r\n", "NEXTHOPS 2 #chan\r\n"};
    for (uint32_t id = 1; id <= 3; ++id) EXPECT_EQ(hopRequests(id), eachOnce) << "node " << id;
}

// A burst pipelined in one write crosses two hops whole and in order, though every client slot
// of every node is taken, and the sending node goes on answering its other clients meanwhile.
TEST_F(Network, BurstCrossesTwoHopsWholeWithEveryClientSlotTaken)
{
    startNodes({{{"NEXTHOP carol", "OK 2 2"}}, {{"NEXTHOP carol", "OK 3 1"}}, {}});
    Client &alice = user(1, "alice");
    Client &carol = user(3, "carol");
    std::vector<Client *> others;
    for (uint32_t at = 1; at <= 3; ++at)
        for (int i = at == 2 ? 0 : 1; i < 4; ++i) others.push_back(&user(at, "n" + std::to_string(at) + "u" + std::to_string(i)));
    Client &neighbour = *others.front();  // a user of node 1 beside alice

    constexpr int BURST = 1000;
    std::string batch;
    for (int i = 0; i < BURST; ++i) batch += "PRIVMSG carol :m" + std::to_string(i) + "\r\n";
    ASSERT_TRUE(alice.sock.send(batch));
    int answered = 0;
    for (int i = 0; i < 20; ++i) {
        neighbour.say("PING " + std::to_string(i));
        if (neighbour.sock.readLine() == fromServer("421 PING :Unknown command")) ++answered;
    }
    EXPECT_EQ(answered, 20);
    int arrived = 0;
    while (arrived < BURST && carol.sock.readLine(Millis(5000)) == privmsgLine("alice", "carol", "m" + std::to_string(arrived)))
        ++arrived;
    EXPECT_EQ(arrived, BURST);
    expectQuiet({&alice, &carol});
}

// A steady stream between two nodes, each message its own connection: every one arrives, in order.
TEST_F(Network, SustainedStreamLosesNothing)
{
    startNodes({{{"NEXTHOP bob", "OK 2 1"}}, {}});
    Client &alice = user(1, "alice"), &bob = user(2, "bob");
    constexpr int MESSAGES = 3000;
    int arrived = 0;
    for (int sent = 0; sent < MESSAGES; sent += 100) {
        std::string batch;
        for (int i = sent; i < sent + 100; ++i) batch += "PRIVMSG bob :s" + std::to_string(i) + "\r\n";
        ASSERT_TRUE(alice.sock.send(batch));
        while (arrived < sent + 50 && bob.sock.readLine(Millis(5000)) == privmsgLine("alice", "bob", "s" + std::to_string(arrived)))
            ++arrived;
    }
    while (arrived < MESSAGES && bob.sock.readLine(Millis(5000)) == privmsgLine("alice", "bob", "s" + std::to_string(arrived)))
        ++arrived;
    EXPECT_EQ(arrived, MESSAGES);
    expectQuiet({&alice, &bob});
}
