// The real binary with --compat opens its link to a neighbour the test plays: when the link breaks
// with lines in flight and comes back, the neighbour's count says where to go on from, and every
// line arrives once, in order.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/fake_daemon.h"
#include "support/irc_client.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

// Node 2's port: it takes the node's link connections one at a time.
struct Acceptor {
    uint16_t port = 0;
    int listener = boundSocket(16, port);
    std::vector<std::string> taken;  // the texts of the lines handled, in order
    std::string session;
    std::string number;  // from the last ID line

    ~Acceptor() { ::close(listener); }

    // The opening, answered with the count of the lines it handled; the link, or an invalid socket.
    LineSocket open()
    {
        if (!waitForEvents(listener, POLLIN, std::chrono::steady_clock::now() + Millis(5000))) return {};
        LineSocket link(::accept(listener, nullptr, nullptr));
        const std::string opening = link.readLine();
        const size_t last = opening.rfind(' ');
        EXPECT_EQ(opening.rfind("LINK 1 2 ", 0), 0u) << opening;
        if (session.empty()) session = opening.substr(last + 1);
        EXPECT_EQ(opening.substr(last + 1), session) << "a new session after a short break";
        link.send("LINKED " + std::string(64, 'a') + " " + std::to_string(taken.size()) + " - -\r\n");
        EXPECT_EQ(link.readLine(), "PROOF - -\r\n");
        return link;
    }

    // Takes lines until `count` were handled in all, acknowledging every `ackEvery`; false when
    // one does not come in time.
    bool takeUntil(LineSocket &link, size_t count, size_t ackEvery)
    {
        while (taken.size() < count) {
            const std::string line = link.readLine();
            if (line.empty()) return false;
            if (line.rfind("ID ", 0) == 0) {
                number = line.substr(line.rfind(' ') + 1, line.size() - line.rfind(' ') - 3);
                continue;
            }
            EXPECT_EQ(line.rfind("FORWARD 1 :alice!", 0), 0u) << line;
            // alice's messages are this node's first: a line sent again keeps its number.
            EXPECT_EQ(number, std::to_string(taken.size() + 1)) << line;
            taken.push_back(line.substr(line.rfind(' ') + 1, line.size() - line.rfind(' ') - 3));
            if (taken.size() % ackEvery == 0) link.send("ACK " + std::to_string(taken.size()) + "\r\n");
        }
        return true;
    }
};

TEST(LinkProcess, LinkBrokenWithLinesInFlightComesBackAndEveryLineArrivesOnceInOrder)
{
    ScriptedRouter router;
    router.setTable({{"NEXTHOP bob", "OK 2 1"}});
    Acceptor node2;
    const NodePorts self{freePort(), router.port(), freePort()};
    NodeProcess node;
    const std::string config = configLine(1, self) + configLine(2, {freePort(), freePort(), node2.port});
    node.start({"--compat", "1", node.writeConfig(config)});
    ASSERT_TRUE(router.start()) << node.err();
    Client alice(connectWithRetry(self.server), "alice");
    alice.say(alice.nickLine());
    alice.say(alice.userLine());
    for (std::string line = "-"; line.find(" 376 alice ") == std::string::npos;)
        ASSERT_FALSE((line = alice.sock.readLine()).empty()) << "no end of the welcome";

    constexpr int COUNT = 400;
    std::string burst;
    std::vector<std::string> expected;
    for (int i = 1; i <= COUNT; ++i) {
        expected.push_back("n" + std::to_string(i));
        burst += "PRIVMSG bob :" + expected.back() + "\r\n";
    }
    ASSERT_TRUE(alice.sock.send(burst));

    // Sixty handled, fifty of them acknowledged, when the link breaks: the rest of what was
    // written on it is lost with it.
    LineSocket first = node2.open();
    ASSERT_TRUE(first.valid());
    ASSERT_TRUE(node2.takeUntil(first, 60, 25));
    first.resetHard();
    LineSocket second = node2.open();
    ASSERT_TRUE(second.valid());
    ASSERT_TRUE(node2.takeUntil(second, COUNT, 50));
    EXPECT_EQ(node2.taken, expected);
    EXPECT_EQ(second.drain(Millis(200)), "");
    EXPECT_EQ(alice.sock.drain(Millis(50)), "");
    EXPECT_TRUE(node.running());
}

}  // namespace
