// PRIVMSG: the refusals, how the text is put together, local delivery, and what goes to the
// routing daemon and into the queue for targets that are not (or not only) here.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/framing.h"
#include "routing/pending_queue.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;

const std::string NOT_REGISTERED = expected::notRegistered(SERVER);
const std::string NO_RECIPIENT = numeric("411 :No recipient given (PRIVMSG)");
const std::string NO_TEXT = numeric("412 :No text to send");

// alice, bob and erin are on this node in slots 1 to 3; slot 4 is left to each test. carol is
// a nick that lives on another node.
class Privmsg : public IrcSession {
protected:
    void SetUp() override
    {
        curr_nodeID = 1;
        for (auto [slot, nick] : {std::pair{1, "alice"}, {2, "bob"}, {3, "erin"}}) registerUser(slot, nick);
    }

    // Nothing was written to any peer, the daemon link included.
    void expectSilence()
    {
        for (int slot = 0; slot < MAX_CONNECTIONS; ++slot) EXPECT_EQ(client(slot).take(), "") << "slot " << slot;
    }
};

TEST_F(Privmsg, MissingTargetOrTextIsRefusedAndNothingElseHappens)
{
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"PRIVMSG", NO_RECIPIENT},       {"PRIVMSG     ", NO_RECIPIENT}, {"PRIVMSG bob", NO_TEXT},
        {"PRIVMSG bob :", NO_TEXT},      {"PRIVMSG bob    ", NO_TEXT},   {"PRIVMSG bob : :: :", NO_TEXT},
        {"PRIVMSG carol", NO_TEXT},      {"PRIVMSG #chan :", NO_TEXT},
    };
    for (const auto &[line, expected] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(reply(1, line), expected);
        expectSilence();
        EXPECT_EQ(waitingCount(), 0);
    }
}

TEST_F(Privmsg, UnregisteredSenderGetsOnly451)
{
    ClientEnd &dave = client(4);
    for (bool withNick : {false, true}) {
        if (withNick) parse(4, "NICK dave");  // a nick alone does not register
        for (const char *line : {"PRIVMSG", "PRIVMSG bob", "PRIVMSG bob :", "PRIVMSG bob :hi", "PRIVMSG carol :hi",
                                 "PRIVMSG #chan :hi"}) {
            SCOPED_TRACE(std::string(line) + (withNick ? " (with a nick)" : ""));
            parse(4, line);
            EXPECT_EQ(dave.take(), NOT_REGISTERED);
            expectSilence();
            EXPECT_EQ(waitingCount(), 0);
        }
    }
}

TEST_F(Privmsg, TextIsRebuiltFromItsWords)
{
    const std::vector<std::pair<const char *, const char *>> cases = {
        {"PRIVMSG bob hello world", "hello world"},
        {"PRIVMSG bob :hello      world", "hello world"},
        {"PRIVMSG bob :x:y z", "x y z"},
        {"PRIVMSG bob :x :y", "x :y"},
        {"PRIVMSG bob :hi   there    ", "hi there"},
        {"PRIVMSG bob   :: : lead", "lead"},
        {"PRIVMSG bob a:b:c d", "a b:c d"},
        {"PRIVMSG bob :tab\there", "tab\there"},
        {"PRIVMSG   bob   one", "one"},
    };
    for (const auto &[line, text] : cases) {
        SCOPED_TRACE(line);
        parse(1, line);
        EXPECT_EQ(client(2).take(), privmsg("alice", "bob", text));
        expectSilence();
    }
}

TEST_F(Privmsg, TargetListOfCommasOnlySendsNothingAtAll)
{
    for (const char *line : {"PRIVMSG , :hi", "PRIVMSG ,,,, :hi", "PRIVMSG , hi there"}) {
        SCOPED_TRACE(line);
        parse(1, line);
        expectSilence();
        EXPECT_EQ(waitingCount(), 0);
    }
}

TEST_F(Privmsg, EveryLocalNickInTheListIsServedUnderItsOwnName)
{
    for (const char *line : {"PRIVMSG alice,bob :hi", "PRIVMSG ,,alice,,bob, :hi"}) {
        SCOPED_TRACE(line);
        parse(3, line);
        EXPECT_EQ(client(1).take(), privmsg("erin", "alice", "hi"));
        EXPECT_EQ(client(2).take(), privmsg("erin", "bob", "hi"));
        expectSilence();
    }
    // The sender's own nick is delivered back to it.
    EXPECT_EQ(reply(1, "PRIVMSG alice :me"), privmsg("alice", "alice", "me"));
    expectSilence();
    EXPECT_EQ(waitingCount(), 0);
}

TEST_F(Privmsg, FirstNickNotHereIsAskedForAndEndsTheList)
{
    parse(2, "PRIVMSG carol,alice :hi");
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    expectSilence();
    EXPECT_EQ(waitingCount(), 1);

    parse(2, "PRIVMSG alice,carol,erin :hi");
    EXPECT_EQ(client(1).take(), privmsg("bob", "alice", "hi"));
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    expectSilence();  // erin came after carol
    EXPECT_EQ(waitingCount(), 2);
}

TEST_F(Privmsg, QueuedMessageHoldsWhatItsAnswerNeeds)
{
    curr_nodeID = 4000000000u;  // above the signed 32-bit range, and written as such
    parse(2, "PRIVMSG carol :hello    there");
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    joinAs(3, "#chan");
    parse(1, "PRIVMSG #chan :x:y");
    EXPECT_EQ(client(3).take(), privmsg("alice", "#chan", "x y"));
    EXPECT_EQ(daemon.take(), "NEXTHOPS 4000000000 #chan\r\n");
    expectSilence();

    EXPECT_EQ(msgQueue.replySlot, 0);
    EXPECT_EQ(msgQueue.nextSlot, 2);
    expectQueued(0, 2, "carol", "hello there", "bob", "4000000000");
    expectQueued(1, 1, "#chan", "x y", "alice", "4000000000");
}

TEST_F(Privmsg, ChannelReachesEveryMemberButTheSenderAndTheDaemon)
{
    registerUser(4, "dave");
    for (int slot : {1, 2, 3}) joinAs(slot, "#chan");
    struct Case {
        int sender;
        const char *nick;
        const char *text;
        std::vector<int> reached;
    };
    const std::vector<Case> cases = {
        {1, "alice", "from a member", {2, 3}},
        {4, "dave", "from outside", {1, 2, 3}},
        {2, "bob", "hi", {1, 3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.nick);
        parse(c.sender, std::string("PRIVMSG #chan :") + c.text);
        for (int slot : c.reached) EXPECT_EQ(client(slot).take(), privmsg(c.nick, "#chan", c.text)) << slot;
        EXPECT_EQ(daemon.take(), "NEXTHOPS 1 #chan\r\n");
        expectSilence();
    }
    EXPECT_EQ(waitingCount(), 3);
}

TEST_F(Privmsg, ChannelTargetIsAskedForEvenWhenAbsentAndEndsTheList)
{
    joinAs(2, "#chan");
    parse(3, "PRIVMSG #chan,alice :hi");
    EXPECT_EQ(client(2).take(), privmsg("erin", "#chan", "hi"));
    EXPECT_EQ(daemon.take(), "NEXTHOPS 1 #chan\r\n");
    expectSilence();  // alice came after the channel
    // A channel that has no member here gets only the request.
    for (const char *target : {"#gone", "&amp"}) {
        SCOPED_TRACE(target);
        parse(1, std::string("PRIVMSG ") + target + ",bob :hi");
        EXPECT_EQ(daemon.take(), std::string("NEXTHOPS 1 ") + target + "\r\n");
        expectSilence();
    }
    EXPECT_EQ(waitingCount(), 3);
    EXPECT_STREQ(msgQueue.slots[2].target, "&amp");
}

TEST_F(Privmsg, LongChannelTargetIsAskedForByItsFirstElevenCharacters)
{
    const std::vector<std::pair<const char *, const char *>> cases = {
        {"#abcdefghij", "#abcdefghij"},
        {"#abcdefghijk", "#abcdefghij"},
        {"#abcdefghijklmnopqrstuvwxyz", "#abcdefghij"},
    };
    int slot = 0;
    for (const auto &[target, asked] : cases) {
        SCOPED_TRACE(target);
        parse(1, std::string("PRIVMSG ") + target + " :hi");
        EXPECT_EQ(daemon.take(), std::string("NEXTHOPS 1 ") + asked + "\r\n");
        EXPECT_STREQ(msgQueue.slots[slot++].target, asked);
        expectSilence();
    }
}

TEST_F(Privmsg, NamesMatchExactlyWithCase)
{
    joinAs(2, "#chan");
    parse(1, "PRIVMSG Bob :hi");
    EXPECT_EQ(daemon.take(), "NEXTHOP Bob\r\n");
    parse(1, "PRIVMSG #Chan :hi");
    EXPECT_EQ(daemon.take(), "NEXTHOPS 1 #Chan\r\n");
    parse(1, "PRIVMSG bobx :hi");
    EXPECT_EQ(daemon.take(), "NEXTHOP bobx\r\n");
    expectSilence();
    EXPECT_EQ(waitingCount(), 3);
}

TEST_F(Privmsg, DaemonLinkIsNoRecipient)
{
    parse(1, std::string("PRIVMSG ") + DAEMON_NICK + " :hi");
    EXPECT_EQ(daemon.take(), std::string("NEXTHOP ") + DAEMON_NICK + "\r\n");
    expectSilence();
    EXPECT_EQ(waitingCount(), 1);
    EXPECT_STREQ(msgQueue.slots[0].target, DAEMON_NICK);
}

TEST_F(Privmsg, WithTheDaemonLinkDownTheSenderIsToldAtOnce)
{
    joinAs(3, "#chan");
    daemon.closeMine();
    recvData(DAEMON_SLOT);  // end of stream: the link is gone
    ASSERT_EQ(connections[DAEMON_SLOT].sock, 0);
    expectSilence();

    EXPECT_EQ(reply(1, "PRIVMSG carol :hi"), noSuchTarget("carol"));
    parse(2, "PRIVMSG alice,carol,erin :hi");
    EXPECT_EQ(client(1).take(), privmsg("bob", "alice", "hi"));
    EXPECT_EQ(client(2).take(), noSuchTarget("carol"));
    EXPECT_EQ(client(3).take(), "");  // erin came after carol
    EXPECT_EQ(reply(1, "PRIVMSG #gone :hi"), noSuchTarget("#gone"));
    // A channel message that reached members here is no failure; one that reached nobody is.
    EXPECT_EQ(reply(1, "PRIVMSG #chan :hi"), "");
    EXPECT_EQ(client(3).take(), privmsg("alice", "#chan", "hi"));
    EXPECT_EQ(reply(3, "PRIVMSG #chan :only me"), noSuchTarget("#chan"));
    // Local nicks still work.
    parse(1, "PRIVMSG bob :hi");
    EXPECT_EQ(client(2).take(), privmsg("alice", "bob", "hi"));
    expectSilence();
    // A peer node's line for a nick here is delivered; any other it keeps to try again, a channel's
    // whole, as the members here would get it twice.
    HopListener node2(false);
    addNeighbour(2, node2.port());
    EXPECT_EQ(takeLine("FORWARD 2 :zed PRIVMSG #chan hi"), FirstLine::Declined);
    EXPECT_EQ(takeLine("FORWARD 2 :zed PRIVMSG carol hi"), FirstLine::Declined);
    EXPECT_EQ(takeLine("FORWARD 2 :zed PRIVMSG #gone hi"), FirstLine::Declined);
    expectSilence();
    EXPECT_EQ(takeLine("FORWARD 2 :zed PRIVMSG bob hi"), FirstLine::Taken);
    EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "hi"));
    expectSilence();
    EXPECT_EQ(msgQueue.nextSlot, 0);
    EXPECT_EQ(waitingCount(), 0);
}

// A CR inside a line survives framing, and it or any other control byte could split or forge a
// line at the next node; the tab is plain text.
TEST_F(Privmsg, ControlBytesInTargetsOrTextAreRefusedWith404)
{
    joinAs(2, "#chan");
    const std::vector<std::pair<std::string, std::string>> cases = {
        // line, then the targets word the 404 quotes
        {"PRIVMSG bob :a\rb", "bob"},
        {"PRIVMSG carol :a\rb", "carol"},
        {"PRIVMSG #chan :\x01" "ACTION waves\x01", "#chan"},
        {"PRIVMSG bob,carol :bell\x07", "bob,carol"},
        {"PRIVMSG bob :x \x1f y", "bob"},
        {"PRIVMSG bo\x01" "b :hi", "bo\x01" "b"},
        // A tab is text, but no name the daemons carry: asking for it would break the request.
        {"PRIVMSG far\taway :hi", "far\taway"},
        {"PRIVMSG #c\x7f :hi", "#c\x7f"},
    };
    for (const auto &[line, targets] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(reply(1, line),
                  numeric("404 alice " + targets + " :Cannot send, the message holds control characters"));
        expectSilence();
        EXPECT_EQ(waitingCount(), 0);
    }
    // A CR in the targets ends the quoted word, so the 404 stays one line.
    EXPECT_EQ(reply(1, "PRIVMSG bob,\rcarol :hi"), ":testhost 404 alice bob,\r\n");
    expectSilence();
    EXPECT_EQ(reply(1, "PRIVMSG bob :a\tb"), "");
    EXPECT_EQ(client(2).take(), privmsg("alice", "bob", "a\tb"));
    expectSilence();
}

}  // namespace
