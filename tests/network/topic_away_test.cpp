// Two real nodes with --compat beside their real routing daemons on 127.0.0.1: a topic set on one
// node reaches a member on the other and a late joiner there, an away text answers a message and
// a WHOIS from the other node, and a QUIT's reason crosses as typed. A user in no channel is
// known to no other node's table: WHOIS and INVITE of it ask its node.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
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

// Routes between two nodes settle within a few one-second cycles; a member notice lost before
// then comes again with the next refresh, five seconds on.
constexpr Millis ACROSS_LIMIT(15000);

struct Node {
    uint32_t id = 0;
    NodePorts ports;
    std::unique_ptr<NodeProcess> daemon;
    NodeProcess server;
};

class TopicAwayAcross : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::vector<uint16_t> taken;
        std::string config;
        for (uint32_t id : {1u, 2u}) {
            Node &n = *nodes.emplace_back(std::make_unique<Node>());
            n.id = id;
            n.ports = {freshPort(taken), freshPort(taken), freshPort(taken)};
            std::string line = configLine(id, n.ports);
            line.pop_back();
            config += line + " " + std::to_string(3 - id) + "\n";
        }
        for (auto &n : nodes) {
            n->daemon = std::make_unique<NodeProcess>(QUORVEL_ROUTED_BINARY);
            const std::string name = std::to_string(n->id);
            n->daemon->start({"-i", name, "-c", n->daemon->writeConfig(config), "-a", "1", "-n", "3", "-r", "1"});
            ASSERT_TRUE(n->daemon->waitForOutput("Routing daemon of node " + name + " ready", Millis(5000))) << n->daemon->err();
        }
        for (auto &n : nodes) {
            n->server.start({"--compat", std::to_string(n->id), n->server.writeConfig(config), "-a", "1", "-v", "1"});
            ASSERT_TRUE(n->server.waitForOutput("Server connected to daemon", Millis(5000))) << n->server.err();
        }
    }

    // Registered on the node: every line up to the end of the MOTD is read.
    Client &user(uint32_t at, const std::string &nick)
    {
        Client &c = *users.emplace_back(std::make_unique<Client>(connectWithRetry(nodes.at(at - 1)->ports.server), nick));
        c.say(c.nickLine());
        c.say(c.userLine());
        EXPECT_NE(lineWith(c, " 376 " + nick + " ", Millis(5000)), "") << nick;
        return c;
    }

    // The first line that holds `text`, read for at most `limit`; "" when none came.
    static std::string lineWith(Client &c, const std::string &text, Millis limit = ACROSS_LIMIT)
    {
        const auto deadline = Clock::now() + limit;
        for (int lines = 0; lines < 1000 && Clock::now() < deadline; ++lines) {
            const std::string line = c.sock.readLine(Millis(200));
            if (line.find(text) != std::string::npos) return line;
        }
        return "";
    }

    std::vector<std::unique_ptr<Node>> nodes;
    std::vector<std::unique_ptr<Client>> users;
};

TEST_F(TopicAwayAcross, TopicAwayWhoisAndReasonsReachTheOtherNode)
{
    Client &alice = user(1, "alice");
    Client &bob = user(2, "bob");
    alice.say("JOIN #t");
    bob.say("JOIN #t");
    ASSERT_NE(lineWith(alice, ":" + bob.mask() + " JOIN #t"), "") << "the member notices never crossed";

    alice.say("TOPIC #t :hello  net");
    EXPECT_EQ(lineWith(alice, " TOPIC "), ":" + alice.mask() + " TOPIC #t :hello  net\r\n");
    EXPECT_EQ(lineWith(bob, " TOPIC "), ":" + alice.mask() + " TOPIC #t :hello  net\r\n");

    Client &carol = user(2, "carol");
    carol.say("JOIN #t");
    EXPECT_EQ(lineWith(carol, " 332 ", Millis(5000)), fromServer("332 carol #t :hello  net"));
    EXPECT_NE(lineWith(carol, " 333 carol #t " + alice.mask() + " ", Millis(5000)), "");

    alice.say("AWAY :at lunch");
    EXPECT_EQ(lineWith(alice, " 306 ", Millis(5000)), fromServer("306 alice :You have been marked as being away"));
    // The AWAY notice may still be on its way: each try asks again until the 301 comes.
    std::string away;
    for (int tries = 0; tries < 30 && away.empty(); ++tries) {
        bob.say("PRIVMSG alice :there?");
        away = lineWith(bob, " 301 ", Millis(500));
    }
    EXPECT_EQ(away, fromServer("301 bob alice :at lunch"));
    bob.sock.drain(Millis(200));
    bob.say("WHOIS alice");
    EXPECT_EQ(lineWith(bob, " 311 ", Millis(5000)), fromServer("311 bob alice " + alice.user + " " + clientHost() + " * :*"));
    EXPECT_EQ(bob.sock.readLine(), fromServer("312 bob alice node1 :quorvel node 1"));
    // Both joined at once: her @ reaches node 2 with a snapshot of the modes, now or a refresh later.
    const std::string channels = bob.sock.readLine();
    EXPECT_TRUE(channels == fromServer("319 bob alice :#t") || channels == fromServer("319 bob alice :@#t")) << channels;
    EXPECT_EQ(bob.sock.readLine(), fromServer("301 bob alice :at lunch"));
    EXPECT_EQ(bob.sock.readLine(), fromServer("318 bob alice :End of WHOIS list"));

    bob.say("QUIT :bye  all");
    EXPECT_EQ(lineWith(alice, " QUIT "), ":" + bob.mask() + " QUIT :bye  all\r\n");
}

TEST_F(TopicAwayAcross, WhoisAndInviteOfAUserInNoChannelAskItsNode)
{
    Client &alice = user(1, "alice");
    Client &bob = user(2, "bob");
    bob.say("AWAY :elsewhere");
    EXPECT_NE(lineWith(bob, " 306 ", Millis(5000)), "");
    // Until the daemons know where bob lives, the question finds no node and ends in 401.
    std::string first;
    for (int tries = 0; tries < 10 && first.find(" 311 ") == std::string::npos; ++tries) {
        alice.say("WHOIS bob");
        first = lineWith(alice, " bob ", Millis(5000));
        if (first.find(" 401 ") != std::string::npos) lineWith(alice, " 318 ", Millis(1000));
    }
    const std::string realShown = bob.realKept.substr(0, bob.realKept.size() - 1);  // the profile's: no last space
    EXPECT_EQ(first, fromServer("311 alice bob " + bob.user + " " + clientHost() + " * :" + realShown));
    EXPECT_EQ(alice.sock.readLine(), fromServer("312 alice bob node2 :quorvel node 2"));
    EXPECT_EQ(alice.sock.readLine(), fromServer("301 alice bob :elsewhere"));
    EXPECT_EQ(alice.sock.readLine(), fromServer("318 alice bob :End of WHOIS list"));

    alice.say("JOIN #inv");
    alice.say("MODE #inv +i");
    EXPECT_NE(lineWith(alice, " MODE #inv +i", Millis(5000)), "");
    alice.say("INVITE bob #inv");
    EXPECT_EQ(lineWith(alice, " 341 ", Millis(5000)), fromServer("341 alice bob #inv"));
    EXPECT_EQ(lineWith(bob, " INVITE "), ":" + alice.mask() + " INVITE bob :#inv\r\n");
    bob.say("JOIN #inv");
    EXPECT_EQ(lineWith(bob, " JOIN ", Millis(5000)), ":" + bob.mask() + " JOIN #inv\r\n");

    // A nick no node hosts: no answer comes, and the question ends.
    alice.say("WHOIS nobody");
    EXPECT_EQ(lineWith(alice, " nobody ", Millis(10000)), fromServer("401 alice nobody :No such nick/channel"));
    EXPECT_EQ(alice.sock.readLine(), fromServer("318 alice nobody :End of WHOIS list"));
}

}  // namespace
