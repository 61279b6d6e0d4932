// PRIVMSG and FORWARD on the running node: local delivery, the daemon's answers paired with the
// waiting messages, and the one-line connections to the neighbours those answers name. The
// neighbours are listeners of the test's own, named in the node's configuration file.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <initializer_list>
#include <thread>
#include <string>
#include <vector>

#include "support/fake_daemon.h"
#include "support/fake_peers.h"
#include "support/irc_client.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr Millis SETTLE(50);
// Neighbours: 2 and 3 take connections, 4 refuses them, 5 never completes one; 9 is no neighbour.
constexpr const char *CLOSED_NODE = "4";
constexpr const char *STALLED_NODE = "5";

class Messages : public ::testing::Test {
protected:
    void SetUp() override
    {
        self = {freePort(), daemon.port(), freePort()};
        const std::string config = configLine(1, self) + configLine(2, {freePort(), freePort(), peer2.port()}) +
                                   configLine(3, {freePort(), freePort(), peer3.port()}) +
                                   configLine(4, {freePort(), freePort(), closed.port()}) +
                                   configLine(5, {freePort(), freePort(), stalled.port()});
        node.start({"1", node.writeConfig(config)});
        spare = waitUntilServing(daemon, self.server);
        ASSERT_TRUE(spare.valid()) << node.err();
    }

    Client &registered(const std::string &nick)
    {
        LineSocket s = spare.valid() ? std::move(spare) : connectWithRetry(self.server);
        EXPECT_TRUE(s.valid()) << nick;
        Client &c = clients.emplace_back(std::move(s), nick);
        EXPECT_TRUE(signOn(c)) << nick;
        expectDaemon({"ADDUSER " + nick});
        return c;
    }

    // The first member creates the channel; the joiner's own three lines are read, and the
    // notice to each member already there.
    void join(Client &c, const std::string &chan, std::initializer_list<Client *> members = {})
    {
        c.say("JOIN " + chan);
        for (Client *m : members) EXPECT_EQ(m->sock.readLine(), joinLine(c.nick, chan)) << "to " << m->nick;
        std::string names;
        for (Client *m : members) names += m->nick + " ";
        EXPECT_EQ(c.sock.readLine(), joinLine(c.nick, chan));
        EXPECT_EQ(c.sock.readLine(), namesLine(c.nick, chan, names + c.nick));
        EXPECT_EQ(c.sock.readLine(), namesEnd(c.nick, chan));
        if (members.size() == 0) expectDaemon({"ADDCHAN " + chan});
    }

    // Exactly these lines reach the daemon next, and nothing follows them.
    void expectDaemon(const std::vector<std::string> &want)
    {
        for (const std::string &line : want) EXPECT_EQ(daemon.nextLine(), line + "\r\n");
        EXPECT_EQ(daemon.nextLine(SETTLE), "");
    }

    void answer(const std::string &lines) { ASSERT_TRUE(daemon.send(lines)); }

    static void expectQuiet(std::initializer_list<Client *> listeners)
    {
        Millis window = SETTLE;
        for (Client *c : listeners) {
            EXPECT_EQ(c->sock.drain(window), "") << "to " << c->nick;
            window = Millis(1);
        }
    }

    // One connection to the peer, carrying exactly the line, then closed by the node.
    static void expectForward(PeerListener &peer, const std::string &line, Millis timeout = Millis(3000))
    {
        std::optional<Delivery> d = peer.next(timeout);
        ASSERT_TRUE(d.has_value()) << "no connection for " << line;
        EXPECT_EQ(d->bytes, line);
        EXPECT_TRUE(d->ended);
    }

    // A neighbour's one-shot connection: the line, then the end of its stream. The node answers
    // only the byte that says it took the line, and closes its side.
    void forwardFromPeer(const std::string &line) { EXPECT_EQ(answerToPeer(line), "+") << line; }
    // What the node writes back on a neighbour's one-shot connection before its end.
    std::string answerToPeer(const std::string &line)
    {
        LineSocket peer = LineSocket::connectTo(self.server);
        EXPECT_TRUE(peer.valid());
        EXPECT_TRUE(peer.send(line));
        peer.shutdownWrite();
        return answerThenEnd(peer);
    }
    static std::string answerThenEnd(LineSocket &peer)
    {
        const std::string answer = peer.drain(Millis(2000));
        EXPECT_TRUE(peer.atEnd());
        return answer;
    }

    // Returns once the node has handled every daemon line sent before it: the daemon link is read
    // in the same pass of the loop as the clients, right after them.
    static void sync(Client &c)
    {
        c.say("PRIVMSG " + c.nick + " :sync");
        EXPECT_EQ(c.sock.readLine(), privmsgLine(c.nick, c.nick, "sync"));
    }

    FakeDaemon daemon;
    PeerListener peer2, peer3;
    ClosedPort closed;
    StalledListener stalled;
    NodePorts self;
    NodeProcess node;
    LineSocket spare;
    std::deque<Client> clients;  // references to earlier clients stay valid
};

}  // namespace

TEST_F(Messages, LocalUsersGetMessagesAtOnceAndTheDaemonHearsNothing)
{
    Client &alice = registered("alice"), &bob = registered("bob");

    alice.say("PRIVMSG bob :hello there");
    EXPECT_EQ(bob.sock.readLine(), privmsgLine("alice", "bob", "hello there"));
    bob.say("PRIVMSG alice hi   back");
    EXPECT_EQ(alice.sock.readLine(), privmsgLine("bob", "alice", "hi back"));
    // Each recipient sees its own nick, the sender included when it names itself.
    alice.say("PRIVMSG bob,alice :to us both");
    EXPECT_EQ(bob.sock.readLine(), privmsgLine("alice", "bob", "to us both"));
    EXPECT_EQ(alice.sock.readLine(), privmsgLine("alice", "alice", "to us both"));

    expectDaemon({});
    expectQuiet({&alice, &bob});
    EXPECT_TRUE(peer2.quiet(Millis(1)));
    EXPECT_TRUE(peer3.quiet(Millis(1)));
}

TEST_F(Messages, RemoteNickWaitsForTheDaemonThenGoesToTheNamedHop)
{
    Client &alice = registered("alice");

    alice.say("PRIVMSG carol :hello there");
    expectDaemon({"NEXTHOP carol"});
    EXPECT_TRUE(peer2.quiet());  // nothing leaves before the answer
    answer("OK 2 1\n");
    expectForward(peer2, forwardLine("1", "alice", "carol", "hello there"));

    // The second number is the daemon's own; only the first names the hop.
    alice.say("PRIVMSG dan :second   one");
    expectDaemon({"NEXTHOP dan"});
    answer("OK 3 9\n");
    expectForward(peer3, forwardLine("1", "alice", "dan", "second one"));

    EXPECT_TRUE(peer2.quiet());
    EXPECT_TRUE(peer3.quiet(Millis(1)));
    expectQuiet({&alice});
}

TEST_F(Messages, NoneTellsTheSenderAndNobodyElse)
{
    Client &alice = registered("alice"), &bob = registered("bob");

    alice.say("PRIVMSG carol :hi");
    expectDaemon({"NEXTHOP carol"});
    answer("NONE\n");
    EXPECT_EQ(alice.sock.readLine(), noSuchTarget("carol"));

    // Words after NONE change nothing; a channel nobody hosts is named in the reply the same way.
    bob.say("PRIVMSG #nowhere :anyone?");
    expectDaemon({"NEXTHOPS 1 #nowhere"});
    answer("NONE at all\r\n");
    EXPECT_EQ(bob.sock.readLine(), noSuchTarget("#nowhere"));

    expectQuiet({&alice, &bob});
    EXPECT_TRUE(peer2.quiet(Millis(1)));
    EXPECT_TRUE(peer3.quiet(Millis(1)));
    expectDaemon({});
}

TEST_F(Messages, TwoWaitingMessagesAreAnsweredInTheOrderTheyWereAsked)
{
    Client &alice = registered("alice"), &bob = registered("bob");

    alice.say("PRIVMSG ann :first");
    bob.say("PRIVMSG ben :second");
    expectDaemon({"NEXTHOP ann", "NEXTHOP ben"});
    answer("NONE\nOK 3 7\n");
    EXPECT_EQ(alice.sock.readLine(), noSuchTarget("ann"));
    expectForward(peer3, forwardLine("1", "bob", "ben", "second"));
    expectQuiet({&alice, &bob});
    EXPECT_TRUE(peer2.quiet(Millis(1)));
}

TEST_F(Messages, ChannelMessageReachesLocalMembersAndEveryNextHop)
{
    Client &alice = registered("alice"), &bob = registered("bob"), &dave = registered("dave");
    join(alice, "#c");
    join(bob, "#c", {&alice});

    alice.say("PRIVMSG #c :hi all");
    EXPECT_EQ(bob.sock.readLine(), privmsgLine("alice", "#c", "hi all"));
    expectDaemon({"NEXTHOPS 1 #c"});
    answer("OK 2 3\n");
    expectForward(peer2, forwardLine("1", "alice", "#c", "hi all"));
    expectForward(peer3, forwardLine("1", "alice", "#c", "hi all"));
    expectQuiet({&alice, &dave});

    // A sender outside the channel reaches every member; a hop named twice gets two connections.
    dave.say("PRIVMSG #c :from outside");
    EXPECT_EQ(alice.sock.readLine(), privmsgLine("dave", "#c", "from outside"));
    EXPECT_EQ(bob.sock.readLine(), privmsgLine("dave", "#c", "from outside"));
    expectDaemon({"NEXTHOPS 1 #c"});
    answer("OK 2 2\n");
    expectForward(peer2, forwardLine("1", "dave", "#c", "from outside"));
    expectForward(peer2, forwardLine("1", "dave", "#c", "from outside"));

    // A bare OK means nobody further: that message ends here, and the next answer is the next one's.
    dave.say("PRIVMSG #c :stays");
    dave.say("PRIVMSG #c :travels");
    for (Client *member : {&alice, &bob}) {
        EXPECT_EQ(member->sock.readLine(), privmsgLine("dave", "#c", "stays"));
        EXPECT_EQ(member->sock.readLine(), privmsgLine("dave", "#c", "travels"));
    }
    expectDaemon({"NEXTHOPS 1 #c", "NEXTHOPS 1 #c"});
    answer("OK\nOK 3\n");
    expectForward(peer3, forwardLine("1", "dave", "#c", "travels"));

    EXPECT_TRUE(peer2.quiet());
    EXPECT_TRUE(peer3.quiet(Millis(1)));
    expectQuiet({&alice, &bob, &dave});
}

TEST_F(Messages, ForwardFromAPeerIsDeliveredWithoutRegistration)
{
    Client &alice = registered("alice"), &bob = registered("bob");
    join(alice, "#c");
    join(bob, "#c", {&alice});

    forwardFromPeer(forwardLine("2", "zed", "alice", "hello from afar"));
    EXPECT_EQ(alice.sock.readLine(), privmsgLine("zed", "alice", "hello from afar"));
    expectDaemon({});

    // The third word plays no part.
    forwardFromPeer("FORWARD 2 :zed XYZ bob any  word\r\n");
    EXPECT_EQ(bob.sock.readLine(), privmsgLine("zed", "bob", "any word"));
    expectDaemon({});

    // Members here get it, and the daemon is asked about the channel with the source node as it came.
    forwardFromPeer(forwardLine("2", "zed", "#c", "hi room"));
    EXPECT_EQ(alice.sock.readLine(), privmsgLine("zed", "#c", "hi room"));
    EXPECT_EQ(bob.sock.readLine(), privmsgLine("zed", "#c", "hi room"));
    expectDaemon({"NEXTHOPS 2 #c"});
    answer("OK 3\n");
    expectForward(peer3, forwardLine("2", "zed", "#c", "hi room"));

    expectQuiet({&alice, &bob});
    EXPECT_TRUE(peer2.quiet(Millis(1)));
}

TEST_F(Messages, ForwardForANickNotHereGoesOnWithItsSourceNode)
{
    Client &alice = registered("alice");

    forwardFromPeer(forwardLine("2", "zed", "carol", "relayed  text"));
    expectDaemon({"NEXTHOP carol"});
    answer("OK 3 1\n");
    expectForward(peer3, forwardLine("2", "zed", "carol", "relayed text"));

    // The source node goes to the daemon and on to the next hop as its decimal number.
    forwardFromPeer(forwardLine("+003", "zed", "#far", "via three"));
    expectDaemon({"NEXTHOPS 3 #far"});
    answer("OK 2\n");
    expectForward(peer2, forwardLine("3", "zed", "#far", "via three"));

    expectQuiet({&alice});
    EXPECT_TRUE(peer3.quiet(Millis(1)));
}

TEST_F(Messages, NoneForARelayedMessageIsWrittenToNobody)
{
    Client &alice = registered("alice");

    // The peer's connection is still open when the NONE comes: nothing but the acknowledgement.
    LineSocket peer = LineSocket::connectTo(self.server);
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(peer.send(forwardLine("2", "zed", "ghost", "boo")));
    expectDaemon({"NEXTHOP ghost"});
    answer("NONE\n");
    sync(alice);
    peer.shutdownWrite();
    EXPECT_EQ(answerThenEnd(peer), "+");

    // The peer has gone and a user has taken its slot when the NONE comes: the user is not told.
    forwardFromPeer(forwardLine("2", "zed", "ghost", "again"));
    expectDaemon({"NEXTHOP ghost"});
    Client &erin = registered("erin");
    answer("NONE\n");

    // The queue has moved past both: the next answer is alice's own.
    alice.say("PRIVMSG carol :still paired");
    expectDaemon({"NEXTHOP carol"});
    answer("NONE\n");
    EXPECT_EQ(alice.sock.readLine(), noSuchTarget("carol"));
    expectQuiet({&alice, &erin});
}

TEST_F(Messages, UnreachableHopsAreSkippedAndEveryAnswerFinishesOneMessage)
{
    Client &alice = registered("alice");
    join(alice, "#c");

    // A refused hop and one that is no neighbour do not keep the message from the others.
    alice.say("PRIVMSG #c :first");
    expectDaemon({"NEXTHOPS 1 #c"});
    answer(std::string("OK ") + CLOSED_NODE + " 9 2 3\n");
    expectForward(peer2, forwardLine("1", "alice", "#c", "first"));
    expectForward(peer3, forwardLine("1", "alice", "#c", "first"));

    // Were a failed hop to leave its message waiting, the second answer would send "one" to node 2.
    // The nick message whose hop refused is asked for again, behind the message that follows it.
    alice.say("PRIVMSG carol :one");
    alice.say("PRIVMSG dan :two");
    expectDaemon({"NEXTHOP carol", "NEXTHOP dan"});
    answer(std::string("OK ") + CLOSED_NODE + " 1\nOK 2 1\n");
    expectForward(peer2, forwardLine("1", "alice", "dan", "two"));
    EXPECT_EQ(daemon.nextLine(), "NEXTHOP carol\r\n");
    answer("OK 3 1\n");
    expectForward(peer3, forwardLine("1", "alice", "carol", "one"));
    EXPECT_TRUE(peer2.quiet());
    EXPECT_TRUE(peer3.quiet(Millis(1)));

    // A hop of 0 and a hop outside the table each use up one answer and tell the sender; an
    // unknown word uses one up without a word.
    for (const char *nick : {"carol", "dan", "erin", "fay"}) alice.say(std::string("PRIVMSG ") + nick + " :n " + nick);
    expectDaemon({"NEXTHOP carol", "NEXTHOP dan", "NEXTHOP erin", "NEXTHOP fay"});
    answer("OK 0 5\nOK 9 1\nOk 2 1\nOK 3 1\n");
    EXPECT_EQ(alice.sock.readLine(), noSuchTarget("carol"));
    EXPECT_EQ(alice.sock.readLine(), noSuchTarget("dan"));
    expectForward(peer3, forwardLine("1", "alice", "fay", "n fay"));
    EXPECT_TRUE(peer2.quiet());
    EXPECT_TRUE(peer3.quiet(Millis(1)));
    expectQuiet({&alice});
    expectDaemon({});
}

// A hop whose connects hang holds up only its own lines: other hops and the clients are served
// while its connect waits, and its nick message is asked for again once that connect gives up.
TEST_F(Messages, HangingHopDelaysOnlyItsOwnMessages)
{
    if (!stalled.hangs()) GTEST_SKIP() << "connects to a full backlog on loopback complete or fail here; no hanging connect";
    Client &alice = registered("alice"), &bob = registered("bob");
    join(alice, "#c");

    alice.say("PRIVMSG carol :stuck");
    expectDaemon({"NEXTHOP carol"});
    answer(std::string("OK ") + STALLED_NODE + " 1\n");

    // Meanwhile: a channel message naming the hanging hop among others, a nick message for another
    // hop, and the clients' own lines all go on.
    alice.say("PRIVMSG #c :through");
    expectDaemon({"NEXTHOPS 1 #c"});
    answer(std::string("OK ") + STALLED_NODE + " 2 3\n");
    expectForward(peer2, forwardLine("1", "alice", "#c", "through"));
    expectForward(peer3, forwardLine("1", "alice", "#c", "through"));
    bob.say("PRIVMSG dan :other hop");
    expectDaemon({"NEXTHOP dan"});
    answer("OK 2 1\n");
    expectForward(peer2, forwardLine("1", "bob", "dan", "other hop"));
    alice.say("PRIVMSG bob :local");
    EXPECT_EQ(bob.sock.readLine(), privmsgLine("alice", "bob", "local"));

    // Once the connect gives up, the daemon is asked about carol again, and a hop that takes it gets it.
    EXPECT_EQ(daemon.nextLine(Millis(5000)), "NEXTHOP carol\r\n");
    answer("OK 3 1\n");
    expectForward(peer3, forwardLine("1", "alice", "carol", "stuck"));
    expectQuiet({&alice, &bob});
    EXPECT_TRUE(peer2.quiet(Millis(1)));
    EXPECT_TRUE(node.running());
}

TEST_F(Messages, LongForwardLineIsCutInsideItsTextAndKeepsItsLineEnd)
{
    Client &alice = registered("alice");
    const std::string prefix = forwardLine("1", "alice", "carol", "");  // with its CR LF
    const size_t room = 511 - prefix.size();  // characters of text that fit in a full line

    // A text that fills the line exactly travels whole.
    std::string fits;
    while (fits.size() < room) fits += fits.size() % 8 == 7 ? ' ' : static_cast<char>('a' + fits.size() % 26);
    if (fits.back() == ' ') fits.back() = 'z';
    alice.say("PRIVMSG carol :" + fits);
    expectDaemon({"NEXTHOP carol"});
    answer("OK 2 1\n");
    expectForward(peer2, forwardLine("1", "alice", "carol", fits));

    const std::string longer = fits + " past end";  // the client's line still fits its own limit
    alice.say("PRIVMSG carol :" + longer);
    expectDaemon({"NEXTHOP carol"});
    answer("OK 2 1\n");
    const std::string whole = forwardLine("1", "alice", "carol", longer);
    std::optional<Delivery> d = peer2.next();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->bytes, whole.substr(0, 509) + "\r\n");
    EXPECT_EQ(d->bytes.size(), 511u);
    EXPECT_TRUE(d->ended);
}

TEST_F(Messages, DaemonLineWithNothingWaitingDoesNothing)
{
    Client &alice = registered("alice");
    constexpr int SLOTS = 512;

    // Nothing was ever queued: a NONE must not become a 401 written to the daemon link itself.
    answer("NONE\nOK 2 1\n");
    expectDaemon({});
    expectQuiet({&alice});
    EXPECT_TRUE(peer2.quiet(Millis(1)));

    // Once every slot has been used and answered, the front is an old message again, which the
    // lines that follow must not send a second time.
    // In parts, as a burst larger than one client's share of the queue waits in its socket.
    constexpr int PARTS = 16;
    for (int part = 0; part < PARTS; ++part) {
        std::string batch;
        for (int i = 0; i < SLOTS / PARTS; ++i) batch += "PRIVMSG carol :n" + std::to_string(i) + "\r\n";
        ASSERT_TRUE(alice.sock.send(batch));
        for (int i = 0; i < SLOTS / PARTS; ++i) ASSERT_EQ(daemon.nextLine(), "NEXTHOP carol\r\n") << i;
        std::string answers = part == 0 ? "OK 2 1\n" : "NONE\n";
        for (int i = 1; i < SLOTS / PARTS; ++i) answers += "NONE\n";
        answer(answers);
        if (part == 0) expectForward(peer2, forwardLine("1", "alice", "carol", "n0"));
        for (int i = part == 0 ? 1 : 0; i < SLOTS / PARTS; ++i)
            ASSERT_EQ(alice.sock.readLine(), noSuchTarget("carol")) << i;
    }

    answer("OK 2 1\nNONE\n");
    sync(alice);
    EXPECT_TRUE(peer2.quiet());
    expectQuiet({&alice});

    // Nor do the stray lines count against the next message.
    alice.say("PRIVMSG dan :next");
    expectDaemon({"NEXTHOP dan"});
    answer("OK 3 1\n");
    expectForward(peer3, forwardLine("1", "alice", "dan", "next"));
    EXPECT_TRUE(peer2.quiet(Millis(1)));
}

TEST_F(Messages, WhileTheDaemonLinkIsDownRemoteTargetsGet401AtOnce)
{
    Client &alice = registered("alice"), &bob = registered("bob");
    join(bob, "#c");

    // A message waiting when the link goes will never be answered: its sender is told.
    alice.say("PRIVMSG carol :waiting");
    expectDaemon({"NEXTHOP carol"});
    daemon.stopListening();
    daemon.closeLink();
    EXPECT_EQ(alice.sock.readLine(), noSuchTarget("carol"));

    const auto sent = Clock::now();
    alice.say("PRIVMSG carol :again");
    EXPECT_EQ(alice.sock.readLine(Millis(500)), noSuchTarget("carol"));
    EXPECT_LT(Clock::now() - sent, Millis(250));

    // Members here still get a channel message, and its sender no 401; a channel with none does.
    alice.say("PRIVMSG #c :members here");
    EXPECT_EQ(bob.sock.readLine(), privmsgLine("alice", "#c", "members here"));
    alice.say("PRIVMSG #none :nobody");
    EXPECT_EQ(alice.sock.readLine(), noSuchTarget("#none"));
    alice.say("PRIVMSG bob :local");
    EXPECT_EQ(bob.sock.readLine(), privmsgLine("alice", "bob", "local"));

    // A neighbour's line that needs the daemon is declined, a channel's whole, so that the
    // neighbour keeps it; one for a user here is taken.
    EXPECT_EQ(answerToPeer(forwardLine("2", "zed", "carol", "onwards")), "-");
    EXPECT_EQ(answerToPeer(forwardLine("2", "zed", "#c", "to all")), "-");
    EXPECT_EQ(answerToPeer(forwardLine("2", "zed", "bob", "to you")), "+");
    EXPECT_EQ(bob.sock.readLine(), privmsgLine("zed", "bob", "to you"));

    expectQuiet({&alice, &bob});
    EXPECT_TRUE(peer2.quiet(Millis(1)));
    EXPECT_TRUE(peer3.quiet(Millis(1)));
    EXPECT_TRUE(node.running());
}

// A burst larger than the queue is not refused: what the queue cannot take yet waits in the
// sender's socket, and every message is asked for, in order, as answers free slots.
TEST_F(Messages, BurstLargerThanTheQueueWaitsForRoomAndKeepsThePairing)
{
    Client &alice = registered("alice");
    constexpr int SLOTS = 512;
    constexpr int BURST = 700;

    std::string batch;
    for (int i = 0; i < BURST; ++i) batch += "PRIVMSG u" + std::to_string(i) + " :n\r\n";
    ASSERT_TRUE(alice.sock.send(batch));
    int asked = 0;
    int answered = 0;
    for (int round = 0; round < 4 * BURST && answered < BURST; ++round) {
        const std::string line = daemon.nextLine(asked > answered ? Millis(100) : Millis(2000));
        if (!line.empty()) {
            ASSERT_EQ(line, "NEXTHOP u" + std::to_string(asked) + "\r\n");
            ++asked;
            ASSERT_LE(asked - answered, SLOTS) << "more requests than the queue holds";
            continue;
        }
        // The node went quiet with a full enough queue: answers free the slots.
        ASSERT_GT(asked, answered) << "the node stopped asking";
        std::string nones;
        for (int i = answered; i < asked; ++i) nones += "NONE\n";
        answer(nones);
        for (; answered < asked; ++answered)
            ASSERT_EQ(alice.sock.readLine(), noSuchTarget("u" + std::to_string(answered)));
    }
    EXPECT_EQ(answered, BURST);

    alice.say("PRIVMSG dan :room now");
    expectDaemon({"NEXTHOP dan"});
    answer("OK 2 1\n");
    expectForward(peer2, forwardLine("1", "alice", "dan", "room now"));
    expectQuiet({&alice});
}

TEST_F(Messages, LostDaemonLinkComesBackAndHearsOfEveryUserAndChannel)
{
    Client &alice = registered("alice"), &bob = registered("bob");
    join(bob, "#c");
    // A client half way through registration has not been announced, and is not now.
    LineSocket halfway = connectWithRetry(self.server);
    ASSERT_TRUE(halfway.send("NICK carl\r\n"));
    sync(alice);

    daemon.closeLink();
    const auto lost = Clock::now();
    ASSERT_TRUE(daemon.acceptLink(Millis(3000)));
    EXPECT_LT(Clock::now() - lost, Millis(1600));
    expectDaemon({"ADDUSER alice", "ADDUSER bob", "ADDCHAN #c"});

    // Answers on the new link are paired as before.
    alice.say("PRIVMSG dora :over the new link");
    expectDaemon({"NEXTHOP dora"});
    answer("OK 2 1\n");
    expectForward(peer2, forwardLine("1", "alice", "dora", "over the new link"));
    EXPECT_TRUE(node.running());
}

TEST_F(Messages, NodeServesItsClientsWhileTheDaemonIsGoneAndLinksAgainWhenItReturns)
{
    Client &alice = registered("alice"), &bob = registered("bob");
    daemon.stopListening();
    daemon.closeLink();

    // Refused attempts to link again must never hold up the clients.
    for (int i = 0; i < 12; ++i) {
        const auto sent = Clock::now();
        alice.say("PRIVMSG bob :n" + std::to_string(i));
        EXPECT_EQ(bob.sock.readLine(), privmsgLine("alice", "bob", "n" + std::to_string(i)));
        EXPECT_LT(Clock::now() - sent, Millis(200)) << i;
        std::this_thread::sleep_for(Millis(200));
    }

    daemon.listenAgain();
    const auto back = Clock::now();
    ASSERT_TRUE(daemon.acceptLink(Millis(3000)));
    EXPECT_LT(Clock::now() - back, Millis(1600));
    expectDaemon({"ADDUSER alice", "ADDUSER bob"});
    alice.say("PRIVMSG dora :after");
    expectDaemon({"NEXTHOP dora"});
}
