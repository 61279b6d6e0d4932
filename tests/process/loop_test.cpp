// The running node over real sockets: replies, framing, the four client slots, the daemon link.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/expected_lines.h"
#include "support/fake_daemon.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;
using Clock = std::chrono::steady_clock;

namespace {

std::string unknown(const std::string &word) { return expected::unknownCommand(hostName(), word); }
std::string notRegistered() { return expected::notRegistered(hostName()); }

class Loop : public ::testing::Test {
protected:
    void startNode(const std::vector<std::string> &options = {})
    {
        ports = {freePort(), daemon.port(), freePort()};
        std::vector<std::string> args{"3", node.writeConfig(configLine(3, ports))};
        args.insert(args.end(), options.begin(), options.end());
        node.start(args);
        first = waitUntilServing(daemon, ports.server);
        ASSERT_TRUE(first.valid()) << node.err();
    }
    void SetUp() override { startNode(); }

    // A client that is known to hold a slot: it has been answered.
    LineSocket servedClient()
    {
        LineSocket c = LineSocket::connectTo(ports.server);
        EXPECT_TRUE(c.valid());
        c.send("PING\n");
        EXPECT_EQ(c.readLine(), unknown("PING"));
        return c;
    }

    // Fills every client slot, starting with `first`, and checks that a fifth client is turned away.
    // A connection holds a slot only once it has sent a line, so `first` is served before it counts.
    std::vector<LineSocket> fillSlotsAndTurnAwayAFifth()
    {
        std::vector<LineSocket> clients;
        EXPECT_EQ(ask(first, "PING\n"), unknown("PING"));
        clients.push_back(std::move(first));
        for (int i = 0; i < 3; ++i) clients.push_back(servedClient());
        LineSocket fifth = LineSocket::connectTo(ports.server);
        EXPECT_TRUE(fifth.valid());
        EXPECT_TRUE(fifth.readsEofOnly());
        return clients;
    }

    static std::string ask(LineSocket &c, const std::string &line)
    {
        c.send(line);
        return c.readLine();
    }

    FakeDaemon daemon;
    NodePorts ports;
    NodeProcess node;
    LineSocket first;
};

class VerboseLoop : public Loop {
protected:
    void SetUp() override { startNode({"-v", "1"}); }
};

}  // namespace

TEST_F(Loop, UnknownWordsAnswer421)
{
    // The first bytes a client ever gets are its first answer: nothing is sent on accept.
    for (const char *word : {"PING x", "Forward 1 2", "FROB", "nick alice", "join #a"}) {
        std::string line = word;
        EXPECT_EQ(ask(first, line + "\n"), unknown(line.substr(0, line.find(' '))));
    }
    EXPECT_EQ(daemon.collect(std::chrono::milliseconds(50)).size(), 0u);
}

TEST_F(Loop, RegisteredOnlyCommandsRefuseAnUnregisteredClient)
{
    for (const char *line : {"JOIN #room\n", "PART #room\n", "PRIVMSG bob :hi\n", "QUIT :bye\n", "QUIT\n"})
        EXPECT_EQ(ask(first, line), notRegistered()) << line;
    // A refused QUIT leaves the client connected.
    EXPECT_EQ(ask(first, "PONG\n"), unknown("PONG"));
}

TEST_F(Loop, FramingAcceptsCrLfSplitAndBatchedLines)
{
    EXPECT_EQ(ask(first, "PING\r\n"), unknown("PING"));
    first.send("PO");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    first.send("NG #a\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(ask(first, "\n"), unknown("PONG"));

    // Empty lines and lines of spaces get no answer; the next real line shows nothing came first.
    first.send("\n\n\r\n   \nPING\nJOIN\n\nPONG\r\n");
    EXPECT_EQ(first.readLine(), unknown("PING"));
    EXPECT_EQ(first.readLine(), notRegistered());
    EXPECT_EQ(first.readLine(), unknown("PONG"));
    EXPECT_EQ(first.drain(std::chrono::milliseconds(50)), "");
}

TEST_F(Loop, FourClientsAreServedAndAFifthIsClosedAtOnce)
{
    std::vector<LineSocket> clients = fillSlotsAndTurnAwayAFifth();
    for (LineSocket &c : clients) EXPECT_EQ(ask(c, "PING\n"), unknown("PING"));

    // A client that leaves frees its slot for the next one, and only that one.
    clients[1].close();
    EXPECT_EQ(ask(clients[0], "PONG\n"), unknown("PONG"));
    clients[1] = servedClient();
    LineSocket sixth = LineSocket::connectTo(ports.server);
    ASSERT_TRUE(sixth.valid());
    EXPECT_TRUE(sixth.readsEofOnly());
    for (LineSocket &c : clients) EXPECT_EQ(ask(c, "TIME\n"), unknown("TIME"));
    EXPECT_EQ(daemon.collect(std::chrono::milliseconds(50)).size(), 0u);
    EXPECT_TRUE(node.running());
}

// A connection that has said nothing yet holds no slot: four others are served meanwhile, and
// once it speaks with no slot free it is closed without a word. No other node lives at this
// address, so nobody else may wait for a slot either.
TEST_F(Loop, SilentConnectionHoldsNoSlot)
{
    std::vector<LineSocket> clients;
    for (int i = 0; i < 4; ++i) clients.push_back(servedClient());
    first.send("PING\n");
    EXPECT_TRUE(first.readsEofOnly());
    LineSocket fifth = LineSocket::connectTo(ports.server);
    ASSERT_TRUE(fifth.valid());
    EXPECT_TRUE(fifth.readsEofOnly());
    for (LineSocket &c : clients) EXPECT_EQ(ask(c, "PING\n"), unknown("PING"));
    EXPECT_TRUE(node.running());
}

TEST_F(Loop, ConnectionsResetAtOnceDoNotStopTheNode)
{
    for (int i = 0; i < 20; ++i) {
        LineSocket c = LineSocket::connectTo(ports.server);
        ASSERT_TRUE(c.valid()) << "cycle " << i;
        if (i % 2 == 1) {
            // An answer left unread, then a batch of lines: the node is still answering the batch
            // when the reset lands, and its sends to a reset peer must fail, not end the process.
            c.send("PING\n");
            ASSERT_TRUE(c.readable(std::chrono::milliseconds(2000)));
            std::string batch;
            for (int n = 0; n < 100; ++n) batch += "PING\n";
            c.send(batch);
        }
        c.resetHard();
        // Paced by a round trip: a burst beyond the listen backlog only measures the kernel's SYN retries.
        ASSERT_EQ(ask(first, "PONG\n"), unknown("PONG")) << "cycle " << i;
    }
    // Every reset peer gave its slot back: three more clients still fit.
    std::vector<LineSocket> more;
    for (int i = 0; i < 3; ++i) more.push_back(servedClient());
    EXPECT_TRUE(node.running());
}

TEST_F(Loop, RepliesArePromptWhileTheDaemonIsSilent)
{
    // The loop's wait is up to 1 s; a line must end it rather than wait it out.
    for (int i = 0; i < 6; ++i) {
        const auto sent = Clock::now();
        EXPECT_EQ(ask(first, "PONG\n"), unknown("PONG"));
        EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(250)) << "line " << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    LineSocket second = servedClient();
    const auto sent = Clock::now();
    EXPECT_EQ(ask(second, "PING\n"), unknown("PING"));
    EXPECT_EQ(ask(first, "PING\n"), unknown("PING"));
    EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(250));
}

TEST_F(Loop, DaemonLinesGetNoAnswerAndNoClientSeesThem)
{
    for (const char *line : {"NICK x\n", "JOIN #a\n", "OK 1\n", "\n", "QUIT\n"}) ASSERT_TRUE(daemon.send(line));
    EXPECT_EQ(ask(first, "PING\n"), unknown("PING"));
    EXPECT_EQ(daemon.collect(std::chrono::milliseconds(100)).size(), 0u);
    EXPECT_TRUE(daemon.linked());
    EXPECT_TRUE(node.running());
}

TEST_F(VerboseLoop, DaemonLinesAreHandledAsTheyArrive)
{
    for (int i = 0; i < 4; ++i) {
        const std::string line = "OK " + std::to_string(i);
        const auto sent = Clock::now();
        ASSERT_TRUE(daemon.send(line + "\n"));
        EXPECT_TRUE(node.waitForOutput("Command[0]: " + line + "\n"));
        EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(250)) << line;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
}

TEST_F(VerboseLoop, ClosedDaemonLinkLeavesSlotZeroReserved)
{
    daemon.closeLink();
    // Two round trips: the first may be answered in the very pass that reads the link's end.
    EXPECT_EQ(ask(first, "PING\n"), unknown("PING"));
    EXPECT_EQ(ask(first, "PING\n"), unknown("PING"));

    std::vector<LineSocket> clients = fillSlotsAndTurnAwayAFifth();
    for (size_t i = 0; i < clients.size(); ++i) {
        const std::string word = "SLOT" + std::to_string(i);
        EXPECT_EQ(ask(clients[i], word + "\n"), unknown(word));
    }
    // The trace is flushed after the read that answered, so it may trail the answer a little.
    for (int slot = 1; slot <= 4; ++slot)
        EXPECT_TRUE(node.waitForOutput("Command[" + std::to_string(slot) + "]: SLOT")) << slot;
    EXPECT_EQ(node.out().find("Command[0]"), std::string::npos);
    EXPECT_TRUE(node.running());
}
