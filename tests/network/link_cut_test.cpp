// Three real nodes in a line with --compat, each beside a router that answers from a fixed table:
// a stream from node 1 to node 3 goes on while node 3 stops for longer than node 2's link to it
// waits for an acknowledgement, so that the link breaks with lines in flight and comes back; or
// while node 2 is killed and started again.
// Counts only: each message arrives once and in order, or its sender is told.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "support/irc_client.h"
#include "support/node_process.h"
#include "support/ports.h"
#include "support/scripted_router.h"

using namespace qtest;

namespace {

// A node's router with its table and the node's line of the configuration; its process, which
// may be replaced, is started apart.
struct Node {
    Node(uint32_t nodeId, const ScriptedRouter::Table &table, std::string &config) : id(nodeId)
    {
        router.setTable(table);
        ports = {freePort(), router.port(), freePort()};
        config += configLine(id, ports);
    }
    uint32_t id;
    ScriptedRouter router;
    NodePorts ports;
    std::unique_ptr<NodeProcess> process;
};

class LinkCut : public ::testing::Test {
protected:
    void startNodes(const std::vector<ScriptedRouter::Table> &tables)
    {
        for (size_t i = 0; i < tables.size(); ++i) nodes.push_back(std::make_unique<Node>(static_cast<uint32_t>(i + 1), tables[i], config));
        for (auto &n : nodes) start(*n);
    }
    // A patience of two seconds: a message whose hop stays down that long is given up and told.
    void start(Node &n)
    {
        n.process = std::make_unique<NodeProcess>();
        n.process->start({"--compat", std::to_string(n.id), n.process->writeConfig(config), "-a", "1", "-n", "1"});
        ASSERT_TRUE(n.router.start()) << "node " << n.id << ": " << n.process->err();
    }
    // The profile's sign-on, up to the end of the welcome.
    Client signOn(Node &n, const std::string &nick)
    {
        Client c(connectWithRetry(n.ports.server), nick);
        c.say(c.nickLine());
        c.say(c.userLine());
        for (std::string line = "-"; line.find(" 376 " + nick + " ") == std::string::npos;) {
            line = c.sock.readLine();
            if (line.empty()) return ADD_FAILURE() << nick << " was not welcomed", std::move(c);
        }
        EXPECT_TRUE(n.router.waitFor("ADDUSER " + nick + "\r\n")) << nick;
        return c;
    }

    void streamThrough(const std::function<void()> &disturb);

    std::string config;
    std::vector<std::unique_ptr<Node>> nodes;
};

// What alice hears that tells her a message to carol did not, or may not, arrive.
bool toldOfCarol(const std::string &line)
{
    return line.find(" 401 alice carol ") != std::string::npos || line.find(" 437 alice carol ") != std::string::npos ||
           line.find("Delivery to carol could not be confirmed") != std::string::npos;
}

}  // namespace

// A stream of COUNT messages from alice on node 1 to carol on node 3, through node 2, disturbed
// once on its way by `disturb`: each arrives once and in order, or alice is told.
void LinkCut::streamThrough(const std::function<void()> &disturb)
{
    startNodes({{{"NEXTHOP carol", "OK 2 2"}}, {{"NEXTHOP carol", "OK 3 1"}, {"NEXTHOP alice", "OK 1 1"}}, {}});
    Client alice = signOn(*nodes[0], "alice");
    Client carol = signOn(*nodes[2], "carol");

    constexpr int COUNT = 2000, BATCH = 100, CUT_AT = 600;
    std::vector<int> arrived;
    int told = 0, sent = 0, inOrder = 0;
    bool cut = false;
    const auto hear = [&](Millis wait) {
        for (std::string line; !(line = carol.sock.readLine(wait)).empty(); wait = Millis(0)) {
            const int n = std::stoi(line.substr(line.rfind(":n") + 2));
            if (arrived.empty() || n > arrived.back()) ++inOrder;
            arrived.push_back(n);
        }
        const std::string fromServer = alice.sock.drain(Millis(1));
        for (size_t at = 0; (at = fromServer.find('\n', at)) != std::string::npos; ++at) {
            const size_t start = fromServer.rfind('\n', at - 1);
            if (toldOfCarol(fromServer.substr(start == std::string::npos ? 0 : start + 1, at))) ++told;
        }
    };
    while (sent < COUNT) {
        std::string batch;
        for (int i = 0; i < BATCH; ++i) batch += "PRIVMSG carol :n" + std::to_string(++sent) + "\r\n";
        ASSERT_TRUE(alice.sock.send(batch));
        // The disturbance comes while the batch just sent is on its way.
        if (!cut && sent >= CUT_AT) {
            cut = true;
            disturb();
        }
        hear(Millis(20));
    }
    // Until every message is accounted for, or nothing more comes for a while.
    for (size_t before = 0, quiet = 0; arrived.size() + told < COUNT && quiet < 20; quiet = before == arrived.size() + told ? quiet + 1 : 0) {
        before = arrived.size() + told;
        hear(Millis(500));
    }
    EXPECT_TRUE(cut);
    EXPECT_EQ(inOrder, static_cast<int>(arrived.size())) << "a message arrived twice or out of order";
    EXPECT_GE(static_cast<int>(arrived.size()) + told, COUNT) << arrived.size() << " arrived, " << told << " told";
}

// Node 2 closes its link to node 3 after five seconds without an acknowledgement; the lines in
// flight then wait for node 3 alone, which says on the next link which of them it had handled.
TEST_F(LinkCut, StreamWhileTheFarNodeStopsLongerThanItsLinkWaitsArrivesOnceInOrder)
{
    streamThrough([this] {
        const pid_t far = nodes[2]->process->pid();
        ASSERT_EQ(::kill(far, SIGSTOP), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(6500));
        ASSERT_EQ(::kill(far, SIGCONT), 0);
    });
}

// Node 2 is killed outright and started again while node 3, stopped, has acknowledged nothing:
// node 1 still holds every line node 2 took, and sends them again; node 3, which finds some of
// them in what node 2 wrote before it died, delivers none of them twice.
TEST_F(LinkCut, StreamWhileTheMiddleNodeIsKilledAndRestartedArrivesOnceInOrder)
{
    streamThrough([this] {
        Node &middle = *nodes[1];
        const pid_t far = nodes[2]->process->pid();
        ASSERT_EQ(::kill(far, SIGSTOP), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_EQ(::kill(middle.process->pid(), SIGKILL), 0);
        middle.router.stopAnswering();
        start(middle);
        ASSERT_EQ(::kill(far, SIGCONT), 0);
    });
}
