// Messages between nodes: FORWARD lines taken in from peer nodes, and the daemon's "OK" answers
// turned into one-shot connections to the next hops, here loopback listeners.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/framing.h"
#include "routing/forwarding.h"
#include "routing/pending_queue.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;
using Lines = std::vector<std::string>;

std::string forwardLine(const std::string &src, const std::string &sender, const std::string &target,
                        const std::string &text)
{
    return "FORWARD " + src + " :" + sender + " PRIVMSG " + target + " " + text + "\r\n";
}

std::string privmsg(const std::string &from, const std::string &to, const std::string &text)
{
    return crlf(":" + from + " PRIVMSG " + to + " :" + text);
}

std::string noSuchTarget(const std::string &target) { return numeric("401 " + target + " :No such nick/channel"); }

Lines times(int n, const std::string &line) { return Lines(static_cast<size_t>(n), line); }

// The descriptor the next socket would get: a leak on any path shows as a higher one.
int lowestFreeDescriptor()
{
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(fd);
    return fd;
}

// This is node 1 with alice and bob in slots 1 and 2; slot 4 is a peer node's connection, which
// never registers. Nodes 2, 3 and 4 are neighbours at loopback listeners.
class Forwarding : public IrcSession {
protected:
    void SetUp() override
    {
        curr_nodeID = 1;
        registerUser(1, "alice");
        registerUser(2, "bob");
        addNeighbour(2, node2.port());
        addNeighbour(3, node3.port());
        addNeighbour(4, node4.port());
    }

    void expectSilence()
    {
        for (int slot = 0; slot < MAX_CONNECTIONS; ++slot) EXPECT_EQ(client(slot).take(), "") << "slot " << slot;
        EXPECT_EQ(node2.take(), Lines{});
        EXPECT_EQ(node3.take(), Lines{});
        EXPECT_EQ(node4.take(), Lines{});
    }

    // The daemon's answer for the front message, which it must finish whatever it led to.
    void answer(const std::string &line)
    {
        const int front = msgQueue.replySlot;
        ASSERT_EQ(msgQueue.slots[front].pending, 1);
        parse(DAEMON_SLOT, line);
        EXPECT_EQ(msgQueue.slots[front].pending, 0);
        EXPECT_EQ(msgQueue.replySlot, (front + 1) % MSG_QUEUE_SLOTS);
    }

    HopListener node2;
    HopListener node3;
    HopListener node4;
};

TEST_F(Forwarding, ForwardForANickHereIsDeliveredAndNothingIsAsked)
{
    registerUser(3, "abcdefghi");
    const std::vector<std::tuple<const char *, int, std::string>> cases = {
        {"FORWARD 1 :alice PRIVMSG bob hello there", 2, privmsg("alice", "bob", "hello there")},
        {"FORWARD 1 :alice XYZ bob hi", 2, privmsg("alice", "bob", "hi")},
        {"FORWARD 1 alice PRIVMSG bob hi", 2, privmsg("lice", "bob", "hi")},
        {"FORWARD 1 xalice PRIVMSG bob hi", 2, privmsg("alice", "bob", "hi")},
        {"FORWARD 1 :abcdefghijkl PRIVMSG bob hi", 2, privmsg("abcdefghi", "bob", "hi")},
        {"FORWARD 1 :x PRIVMSG abcdefghiXYZ hi", 3, privmsg("x", "abcdefghi", "hi")},
        {"FORWARD 1 :alice PRIVMSG bob :hi :there   x", 2, privmsg("alice", "bob", ":hi :there x")},
        {"FORWARD   1   :alice   PRIVMSG   bob   a   b  ", 2, privmsg("alice", "bob", "a b")},
        {"FORWARD 1 :bob PRIVMSG alice hi", 1, privmsg("bob", "alice", "hi")},
    };
    for (const auto &[line, to, expected] : cases) {
        SCOPED_TRACE(line);
        parse(4, line);
        EXPECT_EQ(client(to).take(), expected);
        expectSilence();
        EXPECT_EQ(waitingCount(), 0);
    }
}

TEST_F(Forwarding, ForwardForANickNotHereIsAskedForUnderThePeersSlot)
{
    parse(4, "FORWARD 1 :alice PRIVMSG carol hello there");
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    expectSilence();
    expectQueued(0, 4, "carol", "hello there", "alice", "1");

    parse(4, "FORWARD 1 :alice PRIVMSG Bob hi");
    EXPECT_EQ(daemon.take(), "NEXTHOP Bob\r\n");
    parse(4, "FORWARD 1 :alice PRIVMSG carolineXYZ hi");
    EXPECT_EQ(daemon.take(), "NEXTHOP carolineX\r\n");
    EXPECT_STREQ(msgQueue.slots[2].target, "carolineX");
    expectSilence();
    EXPECT_EQ(waitingCount(), 3);

    // The peer never registered, so a NONE is told to nobody.
    for (int i = 0; i < 3; ++i) answer("NONE");
    expectSilence();
}

TEST_F(Forwarding, ForwardForAChannelReachesTheMembersHereAndIsAskedFor)
{
    joinAs(1, "#c");
    joinAs(2, "#c");
    parse(4, "FORWARD 1 :zed PRIVMSG #c hi there");
    for (int slot : {1, 2}) EXPECT_EQ(client(slot).take(), privmsg("zed", "#c", "hi there")) << slot;
    EXPECT_EQ(daemon.take(), "NEXTHOPS 1 #c\r\n");
    expectSilence();
    expectQueued(0, 4, "#c", "hi there", "zed", "1");

    // No channel here: only the request. The channel name is cut like any target.
    parse(4, "FORWARD 12 :zed PRIVMSG #d hi");
    EXPECT_EQ(daemon.take(), "NEXTHOPS 12 #d\r\n");
    parse(4, "FORWARD 1 :zed PRIVMSG &abcdefghijk hi");
    EXPECT_EQ(daemon.take(), "NEXTHOPS 1 &abcdefgh\r\n");
    EXPECT_STREQ(msgQueue.slots[2].target, "&abcdefgh");
    expectSilence();

    // The connection the line came on gets no copy, even when it is a member.
    parse(1, "FORWARD 1 :zed PRIVMSG #c hi");
    EXPECT_EQ(client(2).take(), privmsg("zed", "#c", "hi"));
    EXPECT_EQ(daemon.take(), "NEXTHOPS 1 #c\r\n");
    EXPECT_EQ(msgQueue.slots[3].owner, 1);
    expectSilence();
    EXPECT_EQ(waitingCount(), 4);
}

TEST_F(Forwarding, SourceNodePassesOnAsReceivedAndGoesOutAsANumber)
{
    parse(4, "FORWARD 007 :alice PRIVMSG #c hi");
    EXPECT_EQ(daemon.take(), "NEXTHOPS 007 #c\r\n");
    EXPECT_STREQ(msgQueue.slots[0].srcNode, "007");
    answer("OK 2");
    EXPECT_EQ(node2.take(1), Lines{forwardLine("7", "alice", "#c", "hi")});

    parse(4, "FORWARD 007 :zed PRIVMSG carol hi");
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    answer("OK 3 1");
    EXPECT_EQ(node3.take(1), Lines{forwardLine("7", "zed", "carol", "hi")});

    // A message written here carries this node's ID.
    curr_nodeID = 3000000000u;
    parse(1, "PRIVMSG carol :hi");
    answer("OK 4 1");
    EXPECT_EQ(node4.take(1), Lines{forwardLine("3000000000", "alice", "carol", "hi")});
    drain();
    expectSilence();
}

TEST_F(Forwarding, ForwardWithFewerThanFiveFieldsIsDropped)
{
    joinAs(2, "#c");
    for (int slot : {4, 1}) {
        for (const char *line : {"FORWARD", "FORWARD   ", "FORWARD 1", "FORWARD 1 :alice", "FORWARD 1 :alice PRIVMSG",
                                 "FORWARD 1 :alice PRIVMSG bob", "FORWARD 1 :alice PRIVMSG bob    ",
                                 "FORWARD 1 :alice PRIVMSG #c", "FORWARD 1 :alice PRIVMSG carol"}) {
            SCOPED_TRACE(std::string(line) + " on slot " + std::to_string(slot));
            parse(slot, line);
            expectSilence();
            EXPECT_EQ(waitingCount(), 0);
        }
    }
}

TEST_F(Forwarding, RegisteredClientMayForwardToo)
{
    parse(1, "FORWARD 5 :zed PRIVMSG bob hi");
    EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "hi"));
    expectSilence();

    parse(1, "FORWARD 5 :zed PRIVMSG carol hi");
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    EXPECT_EQ(msgQueue.slots[0].owner, 1);
    EXPECT_STREQ(msgQueue.slots[0].srcNode, "5");
    EXPECT_STREQ(msgQueue.slots[0].sender, "zed");
    answer("NONE");
    EXPECT_EQ(client(1).take(), noSuchTarget("carol"));
    expectSilence();
}

TEST_F(Forwarding, ChannelAnswerSendsTheSameLineOncePerHopWord)
{
    const std::string line = forwardLine("1", "alice", "#c", "hello there");
    const std::vector<std::tuple<const char *, int, int, int>> cases = {
        // answer, then how many connections nodes 2, 3 and 4 get
        {"OK 2 3", 1, 1, 0},
        {"OK 2 2", 2, 0, 0},
        {"OK   4   2   3  ", 1, 1, 1},
        {"OK 3 3 3", 0, 3, 0},
        {"OK 4", 0, 0, 1},
    };
    for (const auto &[reply, to2, to3, to4] : cases) {
        SCOPED_TRACE(reply);
        parse(1, "PRIVMSG #c :hello   there");
        EXPECT_EQ(daemon.take(), "NEXTHOPS 1 #c\r\n");
        answer(reply);
        EXPECT_EQ(node2.take(to2), times(to2, line));
        EXPECT_EQ(node3.take(to3), times(to3, line));
        EXPECT_EQ(node4.take(to4), times(to4, line));
        expectSilence();
    }
}

TEST_F(Forwarding, NickAnswerGoesOnlyToItsFirstNumber)
{
    addNeighbour(2147483648u, node2.port());  // past the signed 32-bit range
    addNeighbour(4294967295u, node3.port());
    const std::vector<std::pair<const char *, int>> cases = {
        // answer, then the listener that gets the one line (0: none does)
        {"OK 4 9", 4},          {"OK 4", 4},         {"OK 4 2", 4},        {"OK 004 1", 4},
        {"OK +4 1", 4},         {"OK   4   3", 4},   {"OK 2147483648 1", 2}, {"OK 4294967295 1", 3},
        {"OK 4294967296 1", 0}, {"OK 0 5", 0},       {"OK", 0},            {"OK     ", 0},
        {"OK x 4", 0},          {"OK -4 1", 0},      {"OK 9 4", 0},        {"OK 1 4", 0},
    };
    const std::string line = forwardLine("1", "alice", "carol", "hi");
    for (const auto &[reply, to] : cases) {
        SCOPED_TRACE(reply);
        parse(1, "PRIVMSG carol :hi");
        EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
        answer(reply);
        HopListener *nodes[] = {&node2, &node3, &node4};
        for (int node = 2; node <= 4; ++node) {
            const int count = node == to ? 1 : 0;
            EXPECT_EQ(nodes[node - 2]->take(count), times(count, line)) << "node " << node;
        }
        expectSilence();
    }
}

TEST_F(Forwarding, HopsThatCannotBeReachedDoNotStopTheOthers)
{
    HopListener refusing(false);
    addNeighbour(5, refusing.port());
    addNeighbour(7, node2.port(), 0x7f000002);  // an address where nothing listens
    // Node 6 is in no entry at all.
    const int freeBefore = lowestFreeDescriptor();

    const std::string line = forwardLine("1", "alice", "#c", "x");
    const std::vector<std::tuple<const char *, int, int>> cases = {
        // answer, then how many connections nodes 2 and 3 get
        {"OK 6 2", 1, 0},
        {"OK 5 3", 0, 1},
        {"OK 7 3", 0, 1},
        {"OK 5 6 0 2 7 5 3", 1, 1},
        {"OK 5 6 7", 0, 0},
    };
    for (const auto &[reply, to2, to3] : cases) {
        SCOPED_TRACE(reply);
        parse(1, "PRIVMSG #c :x");
        answer(reply);
        EXPECT_EQ(node2.take(to2), times(to2, line));
        EXPECT_EQ(node3.take(to3), times(to3, line));
        drain();
        expectSilence();
    }
    for (const char *reply : {"OK 5 1", "OK 6 1", "OK 7 1"}) {
        SCOPED_TRACE(reply);
        parse(1, "PRIVMSG carol :x");
        answer(reply);
        drain();
        expectSilence();
    }
    // The failed hops cost no answer of another message.
    parse(2, "PRIVMSG carol :after");
    answer("OK 2 1");
    EXPECT_EQ(node2.take(1), Lines{forwardLine("1", "bob", "carol", "after")});
    EXPECT_EQ(lowestFreeDescriptor(), freeBefore);
}

TEST_F(Forwarding, OverlongLineIsCutInsideItsTextAndStillEndsInCrLf)
{
    const std::string head = "FORWARD 1 :alice PRIVMSG carol ";
    const size_t room = SEND_TEXT_MAX - head.size();  // text that fits beside CR LF
    for (size_t length : {room, room + 1, room + 17}) {
        SCOPED_TRACE(length);
        const std::string text(length, 'x');
        parse(1, "PRIVMSG carol :" + text);
        EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
        EXPECT_EQ(msgQueue.slots[msgQueue.replySlot].text, text);
        answer("OK 2 1");
        const Lines got = node2.take(1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], head + text.substr(0, room) + "\r\n");
        EXPECT_LE(got[0].size(), static_cast<size_t>(LINE_MAX_CHARS));

        // So the next node takes it as a whole line, with the text it kept.
        client(4).send(got[0]);
        recvData(4);
        EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
        EXPECT_EQ(msgQueue.slots[msgQueue.replySlot].text, text.substr(0, room));
        answer("NONE");
        expectSilence();
    }
}

TEST(ReadNodeId, UnsignedDecimalAndZeroForAnythingElse)
{
    const std::vector<std::pair<const char *, uint32_t>> cases = {
        {"7", 7u},
        {"007", 7u},
        {"+5", 5u},
        {"  12", 12u},
        {"\t3", 3u},
        {" +8", 8u},
        {"12abc", 12u},
        {"4 2", 4u},
        {"2147483647", 2147483647u},
        {"2147483648", 2147483648u},
        {"4294967295", 4294967295u},
        {"0004294967295", 4294967295u},
        {"4294967295x", 4294967295u},
        {"4294967296", 0u},
        {"99999999999999999999999999", 0u},
        {"-3", 0u},
        {"-0", 0u},
        {"", 0u},
        {"   ", 0u},
        {"+", 0u},
        {"++1", 0u},
        {"+ 7", 0u},
        {"abc", 0u},
        {"0x10", 0u},
        {"0", 0u},
    };
    for (const auto &[word, expected] : cases) {
        SCOPED_TRACE(std::string("'") + word + "'");
        EXPECT_EQ(readNodeId(word), expected);
    }
}

}  // namespace
