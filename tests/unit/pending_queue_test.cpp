// The queue of messages that wait for the routing daemon: each answer line is paired with the
// oldest waiting message and finishes it, whatever the line says, and the queue never overwrites.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/framing.h"
#include "routing/pending_queue.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;
using Lines = std::vector<std::string>;

// alice and bob are here in slots 1 and 2; every other nick lives elsewhere. Node 3 is a
// neighbour whose IRC port is a loopback listener.
class Queue : public IrcSession {
protected:
    void SetUp() override
    {
        curr_nodeID = 1;
        registerUser(1, "alice");
        registerUser(2, "bob");
        addNeighbour(3, node3.port());
    }

    void expectSilence()
    {
        for (int slot = 0; slot < MAX_CONNECTIONS; ++slot) EXPECT_EQ(client(slot).take(), "") << "slot " << slot;
        EXPECT_EQ(node3.take(), Lines{});
    }

    // One message from `slot` for each name, checked against the requests the daemon got. The
    // daemon's end is emptied as it goes, so that its socket never fills.
    void queueFor(int slot, const std::string &prefix, int first, int count)
    {
        std::string expected;
        for (int i = first; i < first + count; ++i) {
            parse(slot, "PRIVMSG " + prefix + std::to_string(i) + " :m");
            expected += "NEXTHOP " + prefix + std::to_string(i) + "\r\n";
            if ((i - first) % 32 == 31 || i == first + count - 1) {
                ASSERT_EQ(daemon.take(), expected) << "up to " << i;
                expected.clear();
            }
        }
    }
    // `count` answers "NONE", each of which must tell `slot` about the next name in turn.
    void answerNone(int slot, const std::string &prefix, int first, int count)
    {
        std::string expected;
        for (int i = first; i < first + count; ++i) {
            parse(DAEMON_SLOT, "NONE");
            expected += noSuchTarget(prefix + std::to_string(i));
            if ((i - first) % 32 == 31 || i == first + count - 1) {
                ASSERT_EQ(client(slot).take(), expected) << "up to " << i;
                expected.clear();
            }
        }
    }

    HopListener node3;
};

TEST_F(Queue, AnswersPairWithTheOldestWaitingMessage)
{
    parse(1, "PRIVMSG a :one");
    parse(2, "PRIVMSG b :two");
    EXPECT_EQ(daemon.take(), "NEXTHOP a\r\nNEXTHOP b\r\n");
    EXPECT_EQ(waitingCount(), 2);

    // Both answers in one read, as the daemon may well write them.
    daemon.send("NONE\r\nOK 3 7\r\n");
    recvData(DAEMON_SLOT);
    EXPECT_EQ(client(1).take(), noSuchTarget("a"));
    EXPECT_EQ(node3.take(1), Lines{"FORWARD 1 :bob PRIVMSG b two\r\n"});
    expectSilence();
    EXPECT_EQ(msgQueue.replySlot, 2);
    EXPECT_EQ(msgQueue.slots[0].pending, 0);
    EXPECT_EQ(msgQueue.slots[1].pending, 0);
    EXPECT_EQ(waitingCount(), 0);
}

// A daemon with the network's key challenges a node that has none: the challenge is no answer to
// pair, and the link is given up, so that what waits is answered at once.
TEST_F(Queue, ChallengeOfAKeyedDaemonIsNoAnswerAndEndsTheLink)
{
    parse(1, "PRIVMSG a :one");
    daemon.take();
    daemon.send("CHALLENGE 00ff\r\n");
    recvData(DAEMON_SLOT);
    EXPECT_EQ(waitingCount(), 1);
    EXPECT_EQ(client(1).take(), "");
    dropBrokenPeers();
    EXPECT_EQ(connections[DAEMON_SLOT].sock, 0);
    EXPECT_EQ(client(1).take(), noSuchTarget("a"));
    EXPECT_EQ(waitingCount(), 0);
}

TEST_F(Queue, NoneNamesTheTargetWhateverFollowsIt)
{
    joinAs(2, "#chan");
    const std::vector<std::pair<std::string, std::string>> cases = {
        // the message, and the target its 401 names
        {"PRIVMSG carol :x", "carol"},
        {"PRIVMSG #chan :x", "#chan"},
        {"PRIVMSG #elsewhere :x", "#elsewhere"},
        {"PRIVMSG #abcdefghijklmnop :x", "#abcdefghij"},
    };
    for (const char *answer : {"NONE", "NONE extra words", "   NONE   OK 3 1"}) {
        for (const auto &[line, named] : cases) {
            SCOPED_TRACE(std::string(answer) + " for " + line);
            parse(1, line);
            drain();
            const int front = msgQueue.replySlot;
            parse(DAEMON_SLOT, answer);
            EXPECT_EQ(client(1).take(), noSuchTarget(named));
            expectSilence();
            EXPECT_EQ(msgQueue.replySlot, front + 1);
            EXPECT_EQ(waitingCount(), 0);
        }
    }
}

TEST_F(Queue, AnyOtherFirstWordFinishesTheFrontAndDoesNothingElse)
{
    for (const char *answer : {"none", "NONE:", "Ok 3 1", "OKAY 3 1", "OK:", "ok", "XYZ 3", "", "     "}) {
        for (const char *line : {"PRIVMSG carol :x", "PRIVMSG #c :x"}) {
            SCOPED_TRACE(std::string("'") + answer + "' for " + line);
            parse(1, line);
            drain();
            const int front = msgQueue.replySlot;
            parse(DAEMON_SLOT, answer);
            expectSilence();
            EXPECT_EQ(msgQueue.slots[front].pending, 0);
            EXPECT_EQ(msgQueue.replySlot, front + 1);
        }
    }
}

// Too long to be read, but still one answer: the one after it belongs to the next message.
TEST_F(Queue, AnOverlongAnswerStillFinishesOneMessage)
{
    parse(1, "PRIVMSG carol :x");
    parse(1, "PRIVMSG dave :y");
    drain();
    daemon.send("OK " + std::string(600, '3') + "\nNONE\n");
    recvData(DAEMON_SLOT);  // the first 512 bytes: a fragment that fills the buffer
    recvData(DAEMON_SLOT);  // given up, its rest skipped, then the NONE
    EXPECT_EQ(client(1).take(), noSuchTarget("dave"));
    EXPECT_EQ(waitingCount(), 0);
    EXPECT_EQ(node3.take(), Lines{});
}

TEST_F(Queue, BareOkFinishesAChannelMessageWithoutForwarding)
{
    for (const char *answer : {"OK", "OK     "}) {
        SCOPED_TRACE(answer);
        parse(1, "PRIVMSG #c :x");
        drain();
        parse(DAEMON_SLOT, answer);
        expectSilence();
        EXPECT_EQ(waitingCount(), 0);
    }
    EXPECT_EQ(msgQueue.replySlot, 2);
}

TEST_F(Queue, AnswersNobodyAskedForChangeNothing)
{
    // Nothing was ever queued: the first slot is empty and belongs to nobody, not the daemon link.
    for (const char *answer : {"NONE", "OK 3 1", "OK 3", "junk"}) {
        SCOPED_TRACE(answer);
        parse(DAEMON_SLOT, answer);
        expectSilence();
        EXPECT_EQ(msgQueue.replySlot, 0);
        EXPECT_EQ(msgQueue.slots[0].pending, 0);
    }

    // An answered message is not answered again: neither a second 401 nor a second forward.
    parse(1, "PRIVMSG carol :x");
    parse(1, "PRIVMSG #c :x");
    drain();
    parse(DAEMON_SLOT, "NONE");
    parse(DAEMON_SLOT, "OK 3");
    EXPECT_EQ(client(1).take(), noSuchTarget("carol"));
    EXPECT_EQ(node3.take(1), Lines{"FORWARD 1 :alice PRIVMSG #c x\r\n"});
    for (const char *answer : {"NONE", "OK 3 1", "OK 3"}) {
        SCOPED_TRACE(std::string("extra ") + answer);
        parse(DAEMON_SLOT, answer);
        expectSilence();
        EXPECT_EQ(msgQueue.replySlot, 2);
        EXPECT_EQ(msgQueue.slots[1].pending, 0);
    }

    // The next message still gets the next answer.
    parse(2, "PRIVMSG dave :x");
    drain();
    parse(DAEMON_SLOT, "NONE");
    EXPECT_EQ(client(2).take(), noSuchTarget("dave"));
    expectSilence();
}

TEST_F(Queue, FullQueueRefusesTheMessageAndTheSlotsComeRoundAgain)
{
    joinAs(2, "#c");
    queueFor(1, "r", 0, MSG_QUEUE_SLOTS);
    EXPECT_EQ(msgQueue.nextSlot, 0);
    EXPECT_EQ(msgQueue.replySlot, 0);
    EXPECT_EQ(waitingCount(), MSG_QUEUE_SLOTS);
    EXPECT_EQ(queueFull(), 1);

    // Nothing is asked and nothing is overwritten; the sender learns why. Members here still get
    // a channel message, since that delivery needs no answer.
    EXPECT_EQ(reply(1, "PRIVMSG late :m"), routingBusy("alice", "late"));
    EXPECT_EQ(reply(1, "PRIVMSG #c :m"), routingBusy("alice", "#c"));
    EXPECT_EQ(client(2).take(), crlf(":alice PRIVMSG #c :m"));
    EXPECT_EQ(reply(1, "PRIVMSG #far :m"), routingBusy("alice", "#far"));
    expectSilence();
    EXPECT_STREQ(msgQueue.slots[0].target, "r0");
    EXPECT_EQ(msgQueue.nextSlot, 0);

    // One answer frees exactly one slot: the oldest, slot 0, which the next message takes.
    answerNone(1, "r", 0, 1);
    queueFor(2, "s", 0, 1);
    EXPECT_STREQ(msgQueue.slots[0].target, "s0");
    EXPECT_EQ(msgQueue.slots[0].owner, 2);
    EXPECT_EQ(msgQueue.nextSlot, 1);
    EXPECT_EQ(reply(2, "PRIVMSG late :m"), routingBusy("bob", "late"));
    expectSilence();

    // The rest are answered in the order they were asked, across the end of the table.
    answerNone(1, "r", 1, MSG_QUEUE_SLOTS - 1);
    EXPECT_EQ(msgQueue.replySlot, 0);
    answerNone(2, "s", 0, 1);
    EXPECT_EQ(msgQueue.replySlot, 1);
    EXPECT_EQ(waitingCount(), 0);
    expectSilence();

    queueFor(1, "t", 0, 1);
    EXPECT_STREQ(msgQueue.slots[1].target, "t0");
    EXPECT_EQ(waitingCount(), 1);
}

TEST_F(Queue, NoReplyGoesToAPeerThatDidNotSendTheMessage)
{
    registerUser(3, "erin");
    parse(1, "PRIVMSG carol :from alice");
    parse(2, "PRIVMSG dave :from bob");
    parse(3, "PRIVMSG frank :from erin");
    EXPECT_EQ(forwardFrom("FORWARD 3 :zed PRIVMSG gina hi"), 1);  // from another node: no slot owns it
    EXPECT_EQ(msgQueue.slots[3].owner, NO_SLOT);
    EXPECT_EQ(waitingCount(), 4);

    resetConnection(1);                 // alice has gone and her slot stays free
    ClientEnd zed = takeOverSlot(2);    // bob has gone and a new client has his slot
    parse(2, "NICK zed");
    parse(2, "USER z h s :Zed");
    parse(3, "NICK erin2");             // the same connection under a new nick is still the sender
    drain();
    zed.take();

    for (int i = 0; i < 4; ++i) parse(DAEMON_SLOT, "NONE");
    EXPECT_EQ(zed.take(), "");
    EXPECT_EQ(client(3).take(), noSuchTarget("frank"));
    expectSilence();
    EXPECT_EQ(waitingCount(), 0);
}

TEST_F(Queue, LosingTheDaemonLinkAnswersEveryWaitingMessage)
{
    parse(1, "PRIVMSG carol :x");
    parse(2, "PRIVMSG #far :x");
    parse(1, "PRIVMSG frank :x");
    EXPECT_EQ(forwardFrom("FORWARD 3 :zed PRIVMSG gina hi"), 1);
    ClientEnd zed = takeOverSlot(2);
    parse(2, "NICK zed");
    parse(2, "USER z h s :Zed");
    drain();
    zed.take();
    EXPECT_EQ(waitingCount(), 4);

    daemon.closeMine();
    recvData(DAEMON_SLOT);
    ASSERT_EQ(connections[DAEMON_SLOT].sock, 0);
    EXPECT_EQ(client(1).take(), noSuchTarget("carol") + noSuchTarget("frank"));
    EXPECT_EQ(zed.take(), "");
    expectSilence();
    EXPECT_EQ(waitingCount(), 0);
    EXPECT_EQ(msgQueue.replySlot, 4);

    // From now on there is nobody to ask.
    EXPECT_EQ(reply(1, "PRIVMSG carol :again"), noSuchTarget("carol"));
    EXPECT_EQ(msgQueue.nextSlot, 4);
    EXPECT_EQ(waitingCount(), 0);
}

}  // namespace
