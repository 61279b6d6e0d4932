// Messages between nodes: FORWARD lines taken in as the first line of a fresh connection from
// another node, and the daemon's "OK" answers turned into lines queued for the next hops, here
// loopback listeners, one connection per line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/admission.h"
#include "core/connections.h"
#include "core/framing.h"
#include "routing/forwarding.h"
#include "routing/pending_queue.h"
#include "rtlib/rt_args.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;
using Lines = std::vector<std::string>;

Lines times(int n, const std::string &line) { return Lines(static_cast<size_t>(n), line); }

std::string repeated(int n, const std::string &text)
{
    std::string all;
    for (int i = 0; i < n; ++i) all += text;
    return all;
}

// The descriptor the next socket would get: a leak on any path shows as a higher one.
int lowestFreeDescriptor()
{
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(fd);
    return fd;
}

// This is node 1 with alice and bob in slots 1 and 2. Nodes 2, 3 and 4 are neighbours at loopback
// listeners on 127.0.0.1, so a line from there is another node's.
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

    // Lines the daemon got since the last look, one string each.
    Lines daemonLines()
    {
        Lines lines;
        const std::string got = daemon.take();
        for (size_t at = 0; at < got.size();) {
            const size_t end = got.find("\r\n", at);
            if (end == std::string::npos) {
                lines.push_back(got.substr(at) + "[no line end]");
                break;
            }
            lines.push_back(got.substr(at, end - at));
            at = end + 2;
        }
        return lines;
    }

    // Drives the forwarding until the daemon is asked something or alice is told something; the
    // bound is far past any patience a test here sets.
    void pumpUntilAskedOrTold()
    {
        for (int round = 0; round < 1500; ++round) {
            pumpForwarding();
            if (waitingCount() > 0 || !aliceHeard.empty()) return;
            aliceHeard = client(1).take();
            if (!aliceHeard.empty()) return;
        }
    }
    std::string aliceHeard;

    // Drives the forwarding past a hop's retry delay, so that a line to be sent or asked for again
    // would have been.
    void pumpAWhile()
    {
        for (int round = 0; round < 200; ++round) pumpForwarding();
    }

    // Node 5 is a neighbour, and a line whose hop failed waits that long before it is given up.
    void addPatientNode5(const HopListener &node5, int patienceSeconds = 1)
    {
        addNeighbour(5, node5.port());
        argList.neighbor_timeout = 0;
        argList.advertisement_cycle_time = patienceSeconds;
    }

    std::string unconfirmed(const std::string &target)
    {
        return numeric("NOTICE alice :Delivery to " + target + " could not be confirmed");
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
        {"FORWARD 2 :alice XYZ bob hi", 2, privmsg("alice", "bob", "hi")},
        {"FORWARD 3 alice PRIVMSG bob hi", 2, privmsg("lice", "bob", "hi")},
        {"FORWARD 4 xalice PRIVMSG bob hi", 2, privmsg("alice", "bob", "hi")},
        {"FORWARD 1 :abcdefghi PRIVMSG bob hi", 2, privmsg("abcdefghi", "bob", "hi")},
        {"FORWARD 1 :x PRIVMSG abcdefghiXYZ hi", 3, privmsg("x", "abcdefghi", "hi")},
        {"FORWARD 1 :alice PRIVMSG bob :hi :there   x", 2, privmsg("alice", "bob", ":hi :there x")},
        {"FORWARD   1   :alice   PRIVMSG   bob   a   b  ", 2, privmsg("alice", "bob", "a b")},
        {"FORWARD 1 :alice PRIVMSG bob a\tb", 2, privmsg("alice", "bob", "a\tb")},
        {"FORWARD +02 :bob PRIVMSG alice hi", 1, privmsg("bob", "alice", "hi")},
    };
    for (const auto &[line, to, expected] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(takeLine(line), FirstLine::Taken);
        EXPECT_EQ(client(to).take(), expected);
        expectSilence();
        EXPECT_EQ(waitingCount(), 0);
    }
}

TEST_F(Forwarding, OnlyAForwardLineIsTakenAsAnotherNodes)
{
    for (const char *line : {"NICK zed", "PRIVMSG bob :FORWARD 1 :alice PRIVMSG bob hi", "FORWARDX 1 :a PRIVMSG bob hi",
                             "forward 1 :alice PRIVMSG bob hi", ""}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(takeLine(line), FirstLine::Client);
        EXPECT_EQ(takeLine(line, 0x0a000001), FirstLine::Client);
        expectSilence();
    }
}

TEST_F(Forwarding, ForwardForANickNotHereIsAskedForWithNoOwner)
{
    EXPECT_EQ(takeLine("FORWARD 1 :alice PRIVMSG carol hello there"), FirstLine::Taken);
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    expectSilence();
    expectQueued(0, NO_SLOT, "carol", "hello there", "alice", "1");

    EXPECT_EQ(takeLine("FORWARD 2 :alice PRIVMSG Bob hi"), FirstLine::Taken);
    EXPECT_EQ(daemon.take(), "NEXTHOP Bob\r\n");
    EXPECT_EQ(takeLine("FORWARD 3 :alice PRIVMSG carolineXYZ hi"), FirstLine::Taken);
    EXPECT_EQ(daemon.take(), "NEXTHOP carolineX\r\n");
    EXPECT_STREQ(msgQueue.slots[2].target, "carolineX");
    expectSilence();
    EXPECT_EQ(waitingCount(), 3);

    // No client sent them, so a NONE is told to nobody.
    for (int i = 0; i < 3; ++i) answer("NONE");
    expectSilence();
}

TEST_F(Forwarding, ForwardForAChannelReachesEveryMemberHereAndIsAskedFor)
{
    joinAs(1, "#c");
    joinAs(2, "#c");
    EXPECT_EQ(takeLine("FORWARD 1 :zed PRIVMSG #c hi there"), FirstLine::Taken);
    for (int slot : {1, 2}) EXPECT_EQ(client(slot).take(), privmsg("zed", "#c", "hi there")) << slot;
    EXPECT_EQ(daemon.take(), "NEXTHOPS 1 #c\r\n");
    expectSilence();
    expectQueued(0, NO_SLOT, "#c", "hi there", "zed", "1");

    // No channel here: only the request. The channel name is cut like any target.
    EXPECT_EQ(takeLine("FORWARD 3 :zed PRIVMSG #d hi"), FirstLine::Taken);
    EXPECT_EQ(daemon.take(), "NEXTHOPS 3 #d\r\n");
    EXPECT_EQ(takeLine("FORWARD 1 :zed PRIVMSG &abcdefghijk hi"), FirstLine::Taken);
    EXPECT_EQ(daemon.take(), "NEXTHOPS 1 &abcdefgh\r\n");
    EXPECT_STREQ(msgQueue.slots[2].target, "&abcdefgh");
    expectSilence();
    EXPECT_EQ(waitingCount(), 3);
}

// Each refused line, were it taken, would show: to bob, to the daemon for carol, or to the
// members of #c and the daemon.
TEST_F(Forwarding, LinesThatAreNotAnotherNodesAreRefusedWithoutAWord)
{
    joinAs(2, "#c");
    constexpr unsigned NOWHERE = 0x7f000002;  // loopback too, but no node's address
    const std::vector<std::pair<std::string, unsigned>> fromElsewhere = {
        {"FORWARD 2 :zed PRIVMSG bob hi", NOWHERE},
        {"FORWARD 2 :zed PRIVMSG carol hi", 0x0a000001},
        {"FORWARD 2 :zed PRIVMSG #c hi", 0},
    };
    const std::vector<std::string> unreadable = {
        // a source that is no node of the configuration, or no number at all
        "FORWARD 9 :zed PRIVMSG bob hi", "FORWARD 0 :zed PRIVMSG carol hi", "FORWARD 000 :zed PRIVMSG #c hi",
        "FORWARD x :zed PRIVMSG bob hi", "FORWARD -2 :zed PRIVMSG carol hi", "FORWARD 4294967298 :zed PRIVMSG #c hi",
        "FORWARD 2x :zed PRIVMSG bob hi", "FORWARD 1x :zed PRIVMSG carol hi", "FORWARD 3.0 :zed PRIVMSG #c hi",
        // a sender that is no nick: bad format, ten characters, or none
        "FORWARD 2 :9zed PRIVMSG bob hi", "FORWARD 2 :ze.d PRIVMSG carol hi", "FORWARD 2 :abcdefghij PRIVMSG #c hi",
        "FORWARD 2 : PRIVMSG bob hi", "FORWARD 2 :zed! PRIVMSG carol hi",
        // control bytes anywhere, the CR a framing leaves inside a line included
        "FORWARD 2 :zed PRIVMSG bob h\ri", "FORWARD 2 :zed PRIVMSG carol hi\x01", "FORWARD 2 :z\x01" "ed PRIVMSG #c hi",
        "FORWARD 2 :zed PRIVMSG b\x1fob hi", "FORWARD 2\r :zed PRIVMSG carol hi",
        // a target no daemon carries: the tab is text, never part of a name
        "FORWARD 2 :zed PRIVMSG car\tol hi", "FORWARD 2 :zed PRIVMSG #c\x7f hi",
        // fewer than five fields
        "FORWARD", "FORWARD   ", "FORWARD 1", "FORWARD 1 :alice", "FORWARD 1 :alice PRIVMSG", "FORWARD 1 :alice PRIVMSG bob",
        "FORWARD 1 :alice PRIVMSG bob    ", "FORWARD 1 :alice PRIVMSG #c", "FORWARD 1 :alice PRIVMSG carol",
    };
    std::vector<std::pair<std::string, unsigned>> cases = fromElsewhere;
    for (const std::string &line : unreadable) cases.emplace_back(line, LOOPBACK);
    for (const auto &[line, from] : cases) {
        SCOPED_TRACE(line + " from " + std::to_string(from));
        EXPECT_EQ(takeLine(line, from), FirstLine::Refused);
        expectSilence();
        EXPECT_EQ(waitingCount(), 0);
    }
    // The same lines from a node, well formed, are taken.
    EXPECT_EQ(takeLine("FORWARD 2 :zed PRIVMSG bob hi"), FirstLine::Taken);
    EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "hi"));
    expectSilence();
}

TEST_F(Forwarding, SourceNodeGoesOnAsItsDecimalNumber)
{
    EXPECT_EQ(takeLine("FORWARD +002 :alice PRIVMSG #c hi"), FirstLine::Taken);
    EXPECT_EQ(daemon.take(), "NEXTHOPS 2 #c\r\n");
    EXPECT_STREQ(msgQueue.slots[0].srcNode, "2");
    answer("OK 3");
    EXPECT_EQ(node3.take(1), Lines{forwardLine("2", "alice", "#c", "hi")});

    EXPECT_EQ(takeLine("FORWARD 0004 :zed PRIVMSG carol hi"), FirstLine::Taken);
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    answer("OK 3 1");
    EXPECT_EQ(node3.take(1), Lines{forwardLine("4", "zed", "carol", "hi")});

    // A message written here carries this node's ID.
    curr_nodeID = 3000000000u;
    parse(1, "PRIVMSG carol :hi");
    answer("OK 4 1");
    EXPECT_EQ(node4.take(1), Lines{forwardLine("3000000000", "alice", "carol", "hi")});
    drain();
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

// Only the first number names the hop; with none that is a neighbour, the sender is told at once.
TEST_F(Forwarding, NickAnswerGoesOnlyToItsFirstNumber)
{
    addNeighbour(2147483648u, node2.port());  // past the signed 32-bit range
    addNeighbour(4294967295u, node3.port());
    const std::vector<std::pair<const char *, int>> cases = {
        // answer, then the listener that gets the one line (0: none does, and alice gets the 401)
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
        EXPECT_EQ(client(1).take(), to == 0 ? noSuchTarget("carol") : "");
        expectSilence();
    }
}

// With no patience (as every test here has unless it sets some), a hop that fails ends its line at
// once: each of a channel's lines that could not go tells the sender, and so does a nick's.
TEST_F(Forwarding, HopsThatCannotBeReachedDoNotStopTheOthers)
{
    HopListener refusing(false);
    addNeighbour(5, refusing.port());
    addNeighbour(7, node2.port(), 0x7f000002);  // an address where nothing listens
    // Node 6 is in no entry at all.
    const int freeBefore = lowestFreeDescriptor();

    const std::string line = forwardLine("1", "alice", "#c", "x");
    const std::vector<std::tuple<const char *, int, int, int>> cases = {
        // answer, then how many connections nodes 2 and 3 get, and how many 401s alice gets
        {"OK 6 2", 1, 0, 0},
        {"OK 5 3", 0, 1, 1},
        {"OK 7 3", 0, 1, 1},
        {"OK 5 6 0 2 7 5 3", 1, 1, 3},
        {"OK 5 6 7", 0, 0, 2},
    };
    for (const auto &[reply, to2, to3, told] : cases) {
        SCOPED_TRACE(reply);
        parse(1, "PRIVMSG #c :x");
        answer(reply);
        EXPECT_EQ(node2.take(to2), times(to2, line));
        EXPECT_EQ(node3.take(to3), times(to3, line));
        // A hop that has just failed backs off before it is tried again, so its 401 may come later.
        EXPECT_EQ(awaitLines(1, static_cast<size_t>(told)), repeated(told, noSuchTarget("#c")));
        drain();
        expectSilence();
    }
    for (const char *reply : {"OK 5 1", "OK 6 1", "OK 7 1"}) {
        SCOPED_TRACE(reply);
        parse(1, "PRIVMSG carol :x");
        answer(reply);
        EXPECT_EQ(awaitLines(1, 1), noSuchTarget("carol"));
        EXPECT_EQ(node2.take(), Lines{});
        drain();
        expectSilence();
    }
    // The failed hops cost no answer of another message.
    parse(2, "PRIVMSG carol :after");
    answer("OK 2 1");
    EXPECT_EQ(node2.take(1), Lines{forwardLine("1", "bob", "carol", "after")});
    EXPECT_EQ(lowestFreeDescriptor(), freeBefore);
}

// One connection per line, in the order the answers came, whatever kind of message each is.
TEST_F(Forwarding, LinesForOneHopGoInOrderOneConnectionEach)
{
    const Lines expected = {
        forwardLine("1", "alice", "carol", "one"), forwardLine("1", "bob", "#c", "two"),
        forwardLine("1", "alice", "dan", "three"), forwardLine("1", "bob", "carol", "four"),
        forwardLine("3", "zed", "erin", "five"),
    };
    parse(1, "PRIVMSG carol :one");
    parse(2, "PRIVMSG #c :two");
    parse(1, "PRIVMSG dan :three");
    parse(2, "PRIVMSG carol :four");
    EXPECT_EQ(takeLine("FORWARD 3 :zed PRIVMSG erin five"), FirstLine::Taken);
    EXPECT_EQ(daemonLines(), (Lines{"NEXTHOP carol", "NEXTHOPS 1 #c", "NEXTHOP dan", "NEXTHOP carol", "NEXTHOP erin"}));
    for (const char *reply : {"OK 2 1", "OK 2", "OK 2 1", "OK 2 1", "OK 2 1"}) answer(reply);
    EXPECT_EQ(node2.take(expected.size()), expected);
    expectSilence();
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

        // So the next node takes it, as the first line of a fresh connection, with the text it kept.
        int pair[2] = {-1, -1};
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        freshConnections[0] = FreshConnection{pair[1], LOOPBACK, "127.0.0.1", {}, 0, 0};
        ASSERT_EQ(::send(pair[0], got[0].data(), got[0].size(), 0), static_cast<ssize_t>(got[0].size()));
        readFresh(0);
        EXPECT_EQ(freshConnections[0].sock, 0) << "the node closes a node's connection once it has its line";
        char byte[2];
        EXPECT_EQ(::recv(pair[0], byte, 2, MSG_DONTWAIT), 1);
        EXPECT_EQ(byte[0], LINE_TAKEN_BYTE);
        ::close(pair[0]);
        EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
        EXPECT_EQ(msgQueue.slots[msgQueue.replySlot].text, text.substr(0, room));
        EXPECT_EQ(msgQueue.slots[msgQueue.replySlot].owner, NO_SLOT);
        answer("NONE");
        expectSilence();
    }
}

// A nick's line whose hop fails is asked of the daemon again, as the network may route around the
// hop; the sender hears of it only once the patience is over.
TEST_F(Forwarding, NickLineWhoseHopFailsIsAskedForAgainUntilThePatienceIsOver)
{
    HopListener refusing(false);
    addNeighbour(5, refusing.port());
    argList.neighbor_timeout = 0;
    argList.advertisement_cycle_time = 1;

    // Asked again, the daemon names a hop that takes it.
    parse(1, "PRIVMSG carol :hi there");
    answer("OK 5 1");
    EXPECT_EQ(daemonLines(), Lines{"NEXTHOP carol"});
    pumpUntilAskedOrTold();
    EXPECT_EQ(aliceHeard, "");
    EXPECT_EQ(daemonLines(), Lines{"NEXTHOP carol"});
    ASSERT_EQ(waitingCount(), 1);
    expectQueued(msgQueue.replySlot, 1, "carol", "hi there", "alice", "1");
    answer("OK 2 1");
    EXPECT_EQ(node2.take(1), Lines{forwardLine("1", "alice", "carol", "hi there")});
    expectSilence();

    // Named again and again, the failing hop ends the message with one 401.
    parse(1, "PRIVMSG carol :again");
    EXPECT_EQ(daemonLines(), Lines{"NEXTHOP carol"});
    int asked = 1;
    for (int round = 0; round < 40 && aliceHeard.empty(); ++round) {
        answer("OK 5 1");
        pumpUntilAskedOrTold();
        const Lines lines = daemonLines();
        if (!aliceHeard.empty()) {
            EXPECT_EQ(lines, Lines{});
            break;
        }
        EXPECT_EQ(lines, Lines{"NEXTHOP carol"});
        ++asked;
    }
    EXPECT_GE(asked, 2);
    EXPECT_EQ(aliceHeard, noSuchTarget("carol"));
    EXPECT_EQ(waitingCount(), 0);
    aliceHeard.clear();
    expectSilence();
}

TEST_F(Forwarding, NickLineWhoseHopFailsIsToldAtOnceWhenTheDaemonLinkIsGone)
{
    HopListener refusing(false);
    addNeighbour(5, refusing.port());
    argList.neighbor_timeout = 0;
    argList.advertisement_cycle_time = 1;

    parse(1, "PRIVMSG carol :hi");
    answer("OK 5 1");
    daemon.take();
    daemon.closeMine();
    recvData(DAEMON_SLOT);
    ASSERT_EQ(connections[DAEMON_SLOT].sock, 0);
    pumpUntilAskedOrTold();
    EXPECT_EQ(aliceHeard, noSuchTarget("carol"));
    aliceHeard.clear();
    EXPECT_EQ(waitingCount(), 0);
}

// Another node's lines were acknowledged when they were taken: a daemon link that goes before
// their answers does not drop them; they are asked for again, a channel's with its source, once
// a link is back.
TEST_F(Forwarding, OtherNodesLinesWaitingWhenTheDaemonLinkGoesAreAskedForOnTheNextLink)
{
    argList.advertisement_cycle_time = 2;
    EXPECT_EQ(takeLine("FORWARD 3 :zed PRIVMSG carol hi"), FirstLine::Taken);
    EXPECT_EQ(takeLine("FORWARD 3 :zed PRIVMSG #c all"), FirstLine::Taken);
    EXPECT_EQ(daemonLines(), (Lines{"NEXTHOP carol", "NEXTHOPS 3 #c"}));
    daemon.closeMine();
    recvData(DAEMON_SLOT);
    ASSERT_EQ(connections[DAEMON_SLOT].sock, 0);
    pumpForwarding(300);
    EXPECT_EQ(heldForHops(), 2);

    ClientEnd relinked = attachClient(DAEMON_SLOT);
    for (int round = 0; round < 500 && waitingCount() < 2; ++round) pumpForwarding();
    EXPECT_EQ(relinked.take(), "NEXTHOP carol\r\nNEXTHOPS 3 #c\r\n");
    answer("OK 2 1");
    answer("OK 4");
    EXPECT_EQ(node2.take(1), Lines{forwardLine("3", "zed", "carol", "hi")});
    EXPECT_EQ(node4.take(1), Lines{forwardLine("3", "zed", "#c", "all")});
    expectSilence();
}

// Other nodes' lines have the room the clients' guarantees leave; past it each is declined, so that
// its sender keeps it, while one for a user here, which needs no room, is still taken.
TEST_F(Forwarding, OtherNodesLinesPastTheirRoomAreDeclinedButOnesForUsersHereTaken)
{
    for (int slot = 1; slot < MAX_CONNECTIONS; ++slot) connections[slot].serial = 100 + slot;  // as admission numbers them
    int taken = 0;
    while (taken < MSG_QUEUE_SLOTS && takeLine("FORWARD 3 :zed PRIVMSG carol m") == FirstLine::Taken) ++taken;
    EXPECT_EQ(taken, MSG_QUEUE_SLOTS - (MAX_CONNECTIONS - 1) * CLIENT_GUARANTEE);
    EXPECT_EQ(waitingCount(), taken);
    EXPECT_EQ(takeLine("FORWARD 3 :zed PRIVMSG #c m"), FirstLine::Declined);
    EXPECT_EQ(takeLine("FORWARD 3 :zed PRIVMSG bob here"), FirstLine::Taken);
    EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "here"));
    EXPECT_GT(roomForLines(1), 0);  // alice's share is untouched
    daemon.take();
    while (messageWaiting()) answer("NONE");
    expectSilence();
}

// Only the connection that sent the message hears of it: not a client that took the slot since.
TEST_F(Forwarding, FailedLineOfAClientThatLeftIsToldToNobody)
{
    HopListener refusing(false);
    addNeighbour(5, refusing.port());
    parse(1, "PRIVMSG carol :hi");
    EXPECT_EQ(takeLine("FORWARD 2 :zed PRIVMSG dan hi"), FirstLine::Taken);
    ClientEnd newcomer = takeOverSlot(1);
    parse(1, "NICK alice");
    parse(1, "USER a h s :A");
    newcomer.take();
    answer("OK 5 1");
    answer("OK 5 1");
    EXPECT_TRUE(settleForwarding());
    EXPECT_EQ(newcomer.take(), "");
    drain();
    expectSilence();
}

// A channel's line is kept for the same hop, since asking again would reach the other branches of
// its tree twice; once the hop takes connections again it gets the line, and nothing else does.
TEST_F(Forwarding, ChannelLineWhoseHopFailsIsTriedAgainOnTheSameHop)
{
    HopListener node5(false);
    addNeighbour(5, node5.port());
    argList.neighbor_timeout = 0;
    argList.advertisement_cycle_time = 1;

    parse(1, "PRIVMSG #c :hi all");
    answer("OK 5 2");
    EXPECT_EQ(node2.take(1), Lines{forwardLine("1", "alice", "#c", "hi all")});
    for (int round = 0; round < 10; ++round) pumpForwarding();
    node5.startListening();
    EXPECT_EQ(node5.take(1), Lines{forwardLine("1", "alice", "#c", "hi all")});
    EXPECT_EQ(daemonLines(), Lines{"NEXTHOPS 1 #c"});
    expectSilence();
}

TEST_F(Forwarding, ChannelLineWhoseHopKeepsFailingEndsIn401NamingTheChannel)
{
    HopListener refusing(false);
    addNeighbour(5, refusing.port());
    argList.neighbor_timeout = 0;
    argList.advertisement_cycle_time = 1;

    parse(1, "PRIVMSG #c :hi all");
    EXPECT_EQ(daemonLines(), Lines{"NEXTHOPS 1 #c"});
    answer("OK 5 2");
    EXPECT_EQ(node2.take(1), Lines{forwardLine("1", "alice", "#c", "hi all")});
    pumpUntilAskedOrTold();
    EXPECT_EQ(aliceHeard, noSuchTarget("#c"));
    aliceHeard.clear();
    EXPECT_EQ(daemonLines(), Lines{});
    EXPECT_EQ(waitingCount(), 0);
    expectSilence();
}

// Every hop draws on one pool of lines; with none free the sender is told why, and a line freed
// is a line that can be taken again.
TEST_F(Forwarding, FullPoolGives437UntilLinesAreFreed)
{
    std::optional<HopListener> silent(std::in_place);  // takes connections in, never reads them
    addNeighbour(5, silent->port());
    for (int i = 0; i < FORWARD_POOL; ++i) {
        parse(1, "PRIVMSG n" + std::to_string(i) + " :m");
        answer("OK 5 1");
        if (i % 64 == 63) {
            ASSERT_EQ(daemonLines().size(), 64u);
        }
    }
    EXPECT_EQ(heldForHops(), FORWARD_POOL);
    expectSilence();

    parse(1, "PRIVMSG late :m");
    answer("OK 5 1");
    EXPECT_EQ(client(1).take(), routingBusy("alice", "late"));
    parse(2, "PRIVMSG #c :m");  // another hop draws on the same pool
    answer("OK 2");
    EXPECT_EQ(client(2).take(), routingBusy("bob", "#c"));
    // Another node's line would be lost at its answer: it is declined, so that its sender keeps it.
    EXPECT_EQ(takeLine("FORWARD 3 :zed PRIVMSG dan m"), FirstLine::Declined);
    EXPECT_EQ(waitingCount(), 0);
    drain();
    expectSilence();

    // The neighbour goes: its waiting connection is reset, and with no patience every line ends,
    // the one written to it without a word, as it may have been read.
    silent.reset();
    EXPECT_TRUE(settleForwarding());
    std::string told;
    for (int i = 1; i < FORWARD_POOL; ++i) told += noSuchTarget("n" + std::to_string(i));
    EXPECT_EQ(client(1).take(), told);

    parse(2, "PRIVMSG #c :again");
    answer("OK 2");
    EXPECT_EQ(node2.take(1), Lines{forwardLine("1", "bob", "#c", "again")});
    drain();
    expectSilence();
}

// The receiver answers one byte once it has handled the line; a line it could not hand on without
// its daemon it declines with another, handling none of it; a line it refuses gets no byte.
TEST_F(Forwarding, ReceiverAcknowledgesWhatItHandledAndDeclinesWhatNeedsItsMissingDaemon)
{
    joinAs(2, "#c");
    const std::string taken(1, LINE_TAKEN_BYTE);
    const std::string declined(1, LINE_DECLINED_BYTE);
    EXPECT_EQ(answerTo("FORWARD 2 :zed PRIVMSG bob hi"), taken);
    EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "hi"));
    EXPECT_EQ(answerTo("FORWARD 2 :zed PRIVMSG carol hi"), taken);
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    EXPECT_EQ(answerTo("FORWARD 2 :zed PRIVMSG bob hi", 0x0a000001), "");
    EXPECT_EQ(answerTo("FORWARD 1x :zed PRIVMSG bob hi"), "");
    expectSilence();

    daemon.closeMine();
    recvData(DAEMON_SLOT);
    ASSERT_EQ(connections[DAEMON_SLOT].sock, 0);
    EXPECT_EQ(answerTo("FORWARD 2 :zed PRIVMSG carol hi"), declined);
    EXPECT_EQ(answerTo("FORWARD 2 :zed PRIVMSG #c hi"), declined);  // bob gets it when it comes again
    expectSilence();
    EXPECT_EQ(answerTo("FORWARD 3 :zed PRIVMSG bob there"), taken);
    EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "there"));
    EXPECT_EQ(waitingCount(), 0);
}

// A line written whole and not acknowledged may have been handled all the same, so it is never sent
// again; the profile's sender hears that its delivery could not be confirmed. A close alone is
// what a node built without the byte gives, so outside the profile it counts as handled.
TEST_F(Forwarding, WrittenLineThatIsNotAcknowledgedIsNeverSentAgain)
{
    argList.neighbor_timeout = 0;
    argList.advertisement_cycle_time = 1;  // a line to be asked for again would be
    using Answer = HopListener::Answer;
    const std::vector<std::tuple<int, Answer, bool>> cases = {
        // the profile, what node 2 does after reading the line, whether alice is told
        {0, Answer::Taken, false}, {0, Answer::CloseOnly, false}, {0, Answer::Reset, false},
        {1, Answer::Taken, false}, {1, Answer::CloseOnly, true},  {1, Answer::Reset, true},
    };
    for (const auto &[profile, how, told] : cases) {
        SCOPED_TRACE(std::to_string(profile) + " " + std::to_string(static_cast<int>(how)));
        replyMode = profile ? Replies::Client : Replies::Exact;
        parse(1, "PRIVMSG carol :hi");
        EXPECT_EQ(daemonLines(), Lines{"NEXTHOP carol"});
        answer("OK 2 1");
        EXPECT_EQ(node2.take(1, how).size(), 1u);
        pumpAWhile();
        EXPECT_EQ(client(1).take(), told ? unconfirmed("carol") : "");
        EXPECT_EQ(daemonLines(), Lines{});
        EXPECT_EQ(heldForHops(), 0);
        expectSilence();
    }
}

// The lines behind the one left unanswered were never written: they are asked for again. A
// receiver that took its line but never closes has it counted as delivered all the same.
TEST_F(Forwarding, LineUnansweredWithinTheExchangeLimitIsToldAndNotSentToAnyHop)
{
    HopListener node5;
    addPatientNode5(node5);
    replyMode = Replies::Client;
    parse(1, "PRIVMSG carol :hi");
    answer("OK 5 1");
    parse(2, "PRIVMSG dan :behind");
    answer("OK 5 1");
    parse(1, "PRIVMSG erin :taken");
    answer("OK 4 1");
    EXPECT_EQ(daemonLines(), (Lines{"NEXTHOP carol", "NEXTHOP dan", "NEXTHOP erin"}));
    EXPECT_EQ(node5.take(1, HopListener::Answer::Hold).size(), 1u);
    EXPECT_EQ(node4.take(1, HopListener::Answer::TakenThenHold).size(), 1u);

    for (int round = 0; round < 5000 && aliceHeard.empty(); ++round) {
        pumpForwarding();
        aliceHeard = client(1).take();
    }
    EXPECT_EQ(aliceHeard, unconfirmed("carol"));
    aliceHeard.clear();
    pumpUntilAskedOrTold();
    EXPECT_EQ(daemonLines(), Lines{"NEXTHOP dan"});
    answer("OK 2 1");
    const Lines toNode2 = node2.take(1);
    ASSERT_EQ(toNode2.size(), 1u);
    EXPECT_NE(toNode2[0].find(" dan behind\r\n"), std::string::npos) << toNode2[0];
    EXPECT_EQ(node5.take(), Lines{});
    EXPECT_EQ(heldForHops(), 0);
    expectSilence();
}

// A declined line was never taken: a nick's is asked for again and goes the way now named, a
// channel's goes to the same hop again; nobody hears of it as unconfirmed.
TEST_F(Forwarding, DeclinedLineIsSentAgainElsewhereOrForAChannelOnTheSameHop)
{
    HopListener node5;
    addPatientNode5(node5);
    replyMode = Replies::Client;
    using Answer = HopListener::Answer;

    parse(1, "PRIVMSG carol :hi");
    answer("OK 5 1");
    const Lines first = node5.take(1, Answer::Declined);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(daemonLines(), Lines{"NEXTHOP carol"});
    pumpUntilAskedOrTold();
    EXPECT_EQ(daemonLines(), Lines{"NEXTHOP carol"});
    answer("OK 2 1");
    EXPECT_EQ(node2.take(1), first);

    parse(1, "PRIVMSG #c :all");
    answer("OK 5");
    const Lines declined = node5.take(1, Answer::Declined);
    ASSERT_EQ(declined.size(), 1u);
    EXPECT_EQ(node5.take(1), declined);
    EXPECT_EQ(daemonLines(), Lines{"NEXTHOPS 1 #c"});
    expectSilence();
}

// Lines for a hop that cannot be reached wait, every one, until the hop comes back within the
// patience; the input gate sees them all.
TEST_F(Forwarding, ParkingKeepsEveryLineHoweverManyWait)
{
    HopListener node5(false);
    addPatientNode5(node5, 8);
    constexpr int LINES = 4 * PARKED_MAX;  // as many as the routing queue holds
    Lines expected;
    for (int i = 0; i < LINES; ++i) {
        parse(1, "PRIVMSG #c :m" + std::to_string(i));
        answer("OK 5");
        expected.push_back(forwardLine("1", "alice", "#c", "m" + std::to_string(i)));
        if (i % 64 == 63) daemon.take();
    }
    pumpAWhile();
    EXPECT_EQ(heldForHops(), LINES);
    EXPECT_EQ(roomForLines(NO_SLOT), 0);
    node5.startListening();
    Lines got;
    for (int round = 0; round < 20 && got.size() < expected.size(); ++round) {
        const Lines more = node5.take(expected.size() - got.size());
        got.insert(got.end(), more.begin(), more.end());
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(heldForHops(), 0);
    expectSilence();
}

TEST(ReadNodeId, UnsignedDecimalAndZeroForAnythingElse)
{
    const std::vector<std::pair<const char *, uint32_t>> cases = {
        {"7", 7u},
        {"007", 7u},
        {"+5", 5u},
        {"  12", 0u},
        {"\t3", 0u},
        {" +8", 0u},
        {"12abc", 0u},
        {"1x", 0u},
        {"4 2", 0u},
        {"3 ", 0u},
        {"2147483647", 2147483647u},
        {"2147483648", 2147483648u},
        {"4294967295", 4294967295u},
        {"0004294967295", 4294967295u},
        {"4294967295x", 0u},
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
