// Channel operators in the client profile: the first member's op, MODE, KICK, INVITE and their
// refusals, the modes JOIN and PRIVMSG obey, WHO for masks, and the notices that carry all of it
// between nodes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "irc/channel_modes.h"
#include "irc/network_members.h"
#include "irc/who_masks.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;
using Lines = std::vector<std::string>;

std::string from(const std::string &nick, const std::string &rest) { return crlf(":" + prefixOf(nick) + " " + rest); }
std::string notice(const std::string &sender, const std::string &keyword, const std::string &text, int src = 2)
{
    return "FORWARD " + std::to_string(src) + " :" + sender + " " + keyword + " &quorvel-nodes " + text;
}

// alice opened #a and is its operator, bob is a member, carol is in no channel.
class Operators : public IrcSession {
protected:
    Operators()
    {
        takeProfile();
        curr_nodeID = 1;
    }
    void SetUp() override
    {
        for (auto [slot, nick] : {std::pair{1, "alice"}, {2, "bob"}, {3, "carol"}}) registerUser(slot, nick);
        joinAs(1, "#a");
        joinAs(2, "#a");
    }
    // The line every member of #a here sees, and nobody else.
    void expectSeenInA(const std::string &line)
    {
        EXPECT_EQ(client(1).take(), line);
        EXPECT_EQ(client(2).take(), line);
        EXPECT_EQ(client(3).take(), "");
    }
};

TEST_F(Operators, TheFirstMemberIsOperatorAndNamesShowIt)
{
    EXPECT_EQ(reply(3, "JOIN #a"), from("carol", "JOIN #a") + numeric("353 carol = #a :@alice bob carol") +
                                       numeric("366 carol #a :End of /NAMES list"));
    EXPECT_EQ(isChannelOperator(1, checkChannel("#a")), 1);
    EXPECT_EQ(isChannelOperator(2, checkChannel("#a")), 0);
    // The operator that leaves takes its privilege with it, and the channel keeps none.
    parse(1, "PART #a");
    parse(1, "JOIN #a");
    EXPECT_EQ(isChannelOperator(1, checkChannel("#a")), 0);
}

TEST_F(Operators, ModeRefusalsEachGetTheirNumericAndChangeNothing)
{
    const ReplyRow rows[] = {
        {2, "MODE #a", numeric("324 bob #a +")},
        {3, "MODE #zz +m", numeric("403 carol #zz :No such channel")},
        {2, "MODE #a +m", numeric("482 bob #a :You're not channel operator")},
        {3, "MODE #a +m", numeric("482 carol #a :You're not channel operator")},
        {1, "MODE #a +x", numeric("472 alice x :is unknown mode char to me")},
        {1, "MODE #a +o", numeric("461 alice MODE :Not enough parameters")},
        {1, "MODE #a +k", numeric("461 alice MODE :Not enough parameters")},
        {1, "MODE #a +l", numeric("461 alice MODE :Not enough parameters")},
        {1, "MODE #a +o dave", numeric("401 alice dave :No such nick/channel")},
        {1, "MODE #a +v carol", numeric("441 alice carol #a :They aren't on that channel")},
        {1, "MODE #a +l 0", numeric("696 alice #a l 0 :Invalid mode parameter")},
        {1, "MODE #a +l many", numeric("696 alice #a l many :Invalid mode parameter")},
        {1, "MODE #a +k a,b", numeric("696 alice #a k a,b :Invalid mode parameter")},
        {1, "MODE #a b", numeric("368 alice #a :End of channel ban list")},
        {1, "MODE #a -m", ""},  // not set: nothing to tell
    };
    for (const ReplyRow &r : rows) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(reply(r.slot, r.line), r.expected);
        drain();
        EXPECT_EQ(reply(2, "MODE #a"), numeric("324 bob #a +"));
    }
}

TEST_F(Operators, ModeChangesReachEveryMemberAndShowInTheModes)
{
    struct Row {
        const char *line;
        std::string seen;  // by every member, empty when nothing changed
        std::string modes;
    };
    const Row rows[] = {
        {"MODE #a +mnt", "MODE #a +mnt", "+mnt"},
        {"MODE #a +m", "", "+mnt"},
        {"MODE #a +k-t secret", "MODE #a +k-t secret", "+mnk secret"},
        {"MODE #a +l 5", "MODE #a +l 5", "+mnkl secret 5"},
        {"MODE #a -k+x-l any", "MODE #a -kl *", "+mn"},
        {"MODE #a +ov bob bob", "MODE #a +ov bob bob", "+mn"},
        {"MODE #a -o bob", "MODE #a -o bob", "+mn"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.line);
        parse(1, r.line);
        EXPECT_EQ(client(2).take(), r.seen.empty() ? "" : from("alice", r.seen));
        drain();
        EXPECT_EQ(reply(2, "MODE #a"), numeric("324 bob #a " + r.modes));
    }
    EXPECT_EQ(reply(3, "JOIN #a"), from("carol", "JOIN #a") + numeric("353 carol = #a :@alice +bob carol") +
                                       numeric("366 carol #a :End of /NAMES list"));
    // An operator made by MODE may use it, and privileges follow a new nick.
    parse(1, "MODE #a +o carol");
    parse(3, "NICK cora");
    parse(DAEMON_SLOT, "NONE");
    drain();
    EXPECT_EQ(isChannelOperator(3, checkChannel("#a")), 1);
    parse(3, "MODE #a -o alice");
    EXPECT_EQ(client(1).take(), crlf(":cora!carol_u@" + std::string(STUB_CLIENT_HOST) + " MODE #a -o alice"));
    EXPECT_EQ(reply(1, "MODE #a +i"), numeric("482 alice #a :You're not channel operator"));
}

TEST_F(Operators, JoinObeysInviteKeyAndLimit)
{
    parse(1, "MODE #a +i");
    drain();
    EXPECT_EQ(reply(3, "JOIN #a"), numeric("473 carol #a :Cannot join channel (+i)"));
    EXPECT_EQ(reply(1, "INVITE carol #a"), numeric("341 alice carol #a"));
    EXPECT_EQ(client(3).take(), from("alice", "INVITE carol :#a"));
    EXPECT_EQ(reply(3, "JOIN #a"), from("carol", "JOIN #a") + numeric("353 carol = #a :@alice bob carol") +
                                       numeric("366 carol #a :End of /NAMES list"));
    // The invitation let carol in once.
    parse(3, "PART #a");
    drain();
    EXPECT_EQ(reply(3, "JOIN #a"), numeric("473 carol #a :Cannot join channel (+i)"));

    parse(1, "MODE #a -i+k sesame");
    drain();
    EXPECT_EQ(reply(3, "JOIN #a"), numeric("475 carol #a :Cannot join channel (+k)"));
    EXPECT_EQ(reply(3, "JOIN #a wrong"), numeric("475 carol #a :Cannot join channel (+k)"));
    EXPECT_EQ(reply(3, "JOIN #b,#a x,sesame"), from("carol", "JOIN #b") + numeric("353 carol = #b :@carol") +
                                                   numeric("366 carol #b :End of /NAMES list") + from("carol", "JOIN #a") +
                                                   numeric("353 carol = #a :@alice bob carol") +
                                                   numeric("366 carol #a :End of /NAMES list"));
    parse(3, "PART #a");
    parse(1, "MODE #a -k+l * 2");
    drain();
    EXPECT_EQ(reply(3, "JOIN #a"), numeric("471 carol #a :Cannot join channel (+l)"));
}

TEST_F(Operators, ModeratedAndNoOutsideMessagesAreRefused)
{
    parse(1, "MODE #a +n");
    drain();
    EXPECT_EQ(reply(3, "PRIVMSG #a :hi"), numeric("404 carol #a :Cannot send to channel"));
    EXPECT_EQ(reply(3, "NOTICE #a :hi"), "");  // a NOTICE draws no reply
    parse(1, "MODE #a +m");
    drain();
    EXPECT_EQ(reply(2, "PRIVMSG #a :hi"), numeric("404 bob #a :Cannot send to channel"));
    EXPECT_EQ(client(1).take(), "");
    parse(1, "MODE #a +v bob");
    drain();
    parse(2, "PRIVMSG #a :hi");
    EXPECT_EQ(client(1).take(), from("bob", "PRIVMSG #a :hi"));
    parse(1, "PRIVMSG #a :op");
    EXPECT_EQ(client(2).take(), from("alice", "PRIVMSG #a :op"));
}

TEST_F(Operators, KickAndInviteRefusals)
{
    joinAs(3, "#b");
    const ReplyRow rows[] = {
        {1, "KICK", numeric("461 alice KICK :Not enough parameters")},
        {1, "KICK #a", numeric("461 alice KICK :Not enough parameters")},
        {1, "KICK #zz bob", numeric("403 alice #zz :No such channel")},
        {1, "KICK #b carol", numeric("442 alice #b :You're not on that channel")},
        {2, "KICK #a alice", numeric("482 bob #a :You're not channel operator")},
        {1, "KICK #a carol", numeric("441 alice carol #a :They aren't on that channel")},
        {1, "KICK #a dave", numeric("401 alice dave :No such nick/channel")},
        {1, "INVITE", numeric("461 alice INVITE :Not enough parameters")},
        {1, "INVITE carol", numeric("461 alice INVITE :Not enough parameters")},
        {1, "INVITE dave #a", numeric("401 alice dave :No such nick/channel")},
        {1, "INVITE carol #b", numeric("442 alice #b :You're not on that channel")},
        {1, "INVITE bob #a", numeric("443 alice bob #a :is already on channel")},
        {1, "INVITE carol a", numeric("403 alice a :No such channel")},
    };
    for (const ReplyRow &r : rows) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(reply(r.slot, r.line), r.expected);
        EXPECT_EQ(client(3).take(), "");
    }
    EXPECT_EQ(membersOf("#a"), (std::vector<std::string>{"alice", "bob"}));
    parse(1, "MODE #a +i");
    drain();
    EXPECT_EQ(reply(2, "INVITE carol #a"), numeric("482 bob #a :You're not channel operator"));
    EXPECT_EQ(client(3).take(), "");
}

TEST_F(Operators, KickedMemberSeesItAndLeaves)
{
    parse(1, "KICK #a bob :be gone");
    expectSeenInA(from("alice", "KICK #a bob :be gone"));
    EXPECT_EQ(membersOf("#a"), std::vector<std::string>{"alice"});
    EXPECT_EQ(reply(2, "PRIVMSG #a :still?"), "");  // an outsider may speak without +n
    joinAs(2, "#a");
    parse(1, "KICK #a bob");  // the reason is the kicker's nick
    expectSeenInA(from("alice", "KICK #a bob :alice"));
    // The operator kicks itself, the last member: the channel is gone.
    parse(1, "KICK #a alice");
    EXPECT_EQ(client(1).take(), from("alice", "KICK #a alice :alice"));
    EXPECT_EQ(checkChannel("#a"), -1);
}

// Channels and nicks typed in any case reach the same channel and member; the lines the members
// see name both as they are held.
TEST_F(Operators, NamesInAnyCaseFindTheChannelAndTheMember)
{
    struct Row {
        int slot;
        const char *line;
        std::string reply;
        std::string seenInA;  // by every member of #a
    };
    const Row rows[] = {
        {1, "MODE #A +v BOB", "", from("alice", "MODE #a +v bob")},
        {1, "MODE #A -v Bob", "", from("alice", "MODE #a -v bob")},
        {1, "MODE #A +o BOB", "", from("alice", "MODE #a +o bob")},
        {2, "MODE #A -o ALICE", "", from("bob", "MODE #a -o alice")},
        {1, "MODE #A +i", numeric("482 alice #A :You're not channel operator"), ""},
        {2, "MODE #A +i", "", from("bob", "MODE #a +i")},
        {3, "JOIN #A", numeric("473 carol #A :Cannot join channel (+i)"), ""},
        {2, "INVITE CAROL #A", numeric("341 bob CAROL #A"), ""},
        {2, "INVITE ALICE #A", numeric("443 bob ALICE #A :is already on channel"), ""},
        {2, "KICK #A ALICE :out", "", from("bob", "KICK #a alice :out")},
        {2, "KICK #A ALICE", numeric("441 bob ALICE #a :They aren't on that channel"), ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(reply(r.slot, r.line), r.reply + r.seenInA);  // the sender is a member too
        EXPECT_EQ(client(r.slot == 1 ? 2 : 1).take(), r.seenInA);
    }
    EXPECT_EQ(client(3).take(), from("bob", "INVITE carol :#a"));
    EXPECT_EQ(reply(3, "JOIN #a"), from("carol", "JOIN #a") + numeric("353 carol = #a :@bob carol") +
                                       numeric("366 carol #a :End of /NAMES list"));
    EXPECT_EQ(privilegeOf("#A", "BOB"), PRIV_OP);
}

// Masks belong to the client profile, whose casemapping folds the letters.
TEST(WhoMask, StarsAndQuestionMarksMatchWithoutCase)
{
    replyMode = Replies::Client;
    struct Row {
        const char *mask, *text;
        bool matches;
    };
    const Row rows[] = {
        {"bob", "bob", true},     {"bob", "BOB", true},     {"bob", "bobby", false}, {"b*", "bobby", true},
        {"*y", "bobby", true},    {"b?b", "bob", true},     {"b?b", "bb", false},    {"*", "", true},
        {"*o*b*", "bobby", true}, {"*x*", "bobby", false},  {"", "a", false},        {"a**b", "ab", true},
        {"*.test", "client.test", true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.mask) + " " + r.text);
        EXPECT_EQ(matchesMask(r.mask, r.text), r.matches);
    }
    replyMode = Replies::Exact;
}

TEST_F(Operators, WhoForANickOrAMask)
{
    const std::string whoBob = numeric("352 carol * bob_u client.test testhost bob H :0 Real bob");
    const std::string whoCarol = numeric("352 carol * carol_u client.test testhost carol H :0 Real carol");
    EXPECT_EQ(reply(3, "WHO bob"), whoBob + numeric("315 carol bob :End of /WHO list."));
    EXPECT_EQ(reply(3, "WHO BOB"), whoBob + numeric("315 carol BOB :End of /WHO list."));
    EXPECT_EQ(reply(3, "WHO *o*"), whoBob + whoCarol + numeric("315 carol *o* :End of /WHO list."));
    EXPECT_EQ(reply(3, "WHO nobody"), numeric("315 carol nobody :End of /WHO list."));
    EXPECT_EQ(reply(3, "WHO #zz"), numeric("431 carol :No such channel exists on this server"));
}

TEST_F(IrcSession, ExactRepliesKnowNoOperators)
{
    registerUser(1, "alice");
    EXPECT_EQ(reply(1, "JOIN #a"), joinReplies("alice", "#a", "alice"));
    EXPECT_EQ(reply(1, "WHO alice"), numeric("431 :No such channel exists on this server"));
    EXPECT_EQ(reply(1, "KICK #a alice"), numeric("421 KICK :Unknown command"));
    EXPECT_EQ(reply(1, "INVITE bob #a"), numeric("421 INVITE :Unknown command"));
}

// Two nodes: node 2 is a listener of the test's, and its notices come as FORWARD lines.
class OperatorsAcross : public Operators {
protected:
    OperatorsAcross() { addNeighbour(2, node2.port()); }
    void SetUp() override
    {
        for (auto [slot, nick] : {std::pair{1, "alice"}, {2, "bob"}}) registerUser(slot, nick);
    }
    void registerUser(int slot, const std::string &nick)
    {
        parse(slot, "NICK " + nick);
        parse(DAEMON_SLOT, "NONE");
        parse(slot, "USER " + userNameOf(nick) + " somehost someserver :" + realNameOf(nick));
        drain();
    }
    void answerNodeRequests()
    {
        while (messageWaiting()) parse(DAEMON_SLOT, "OK 2");
        daemon.take();
    }
    // What node 2 got from this node since the last call, each line without its CR LF; node 2's
    // own notices, passed back along the test's tree, are left out.
    Lines toNode2(size_t expected)
    {
        answerNodeRequests();
        Lines got;
        for (std::string &line : node2.take(expected)) {
            if (line.size() >= 2) line.resize(line.size() - 2);
            if (line.rfind("FORWARD 1 ", 0) == 0) got.push_back(line);
        }
        return got;
    }
    HopListener node2;
};

TEST_F(OperatorsAcross, ChangesKicksAndInvitesGoToTheOtherNodeAsNotices)
{
    const std::string alice = prefixOf("alice");
    joinAs(1, "#a");
    EXPECT_EQ(toNode2(1), (Lines{notice(alice, "JOIN", "#a", 1)}));  // its op goes without saying
    ASSERT_EQ(forwardFrom(notice("zed!z@far", "JOIN", "#a")), 1);
    answerNodeRequests();
    drain();
    parse(1, "MODE #a +mv zed");
    EXPECT_EQ(client(1).take(), from("alice", "MODE #a +mv zed"));
    parse(1, "KICK #a zed :bye now");
    EXPECT_EQ(client(1).take(), from("alice", "KICK #a zed :bye now"));
    EXPECT_EQ(countNetworkMembers("#a"), 0);
    // zed is in no channel now, so no notice tells of it: zed's node is asked, and answers.
    parse(1, "INVITE zed #a");
    EXPECT_EQ(client(1).take(), "");
    ASSERT_EQ(forwardFrom("FORWARD 2 :zed!z@far 341 alice 1"), 1);
    EXPECT_EQ(client(1).take(), numeric("341 alice zed #a"));
    ASSERT_EQ(forwardFrom(notice("zed!z@far", "JOIN", "#z")), 1);
    parse(1, "INVITE zed #a");
    EXPECT_EQ(client(1).take(), numeric("341 alice zed #a"));
    EXPECT_EQ(toNode2(6), (Lines{notice(alice, "MODE", "#a 2 +mv zed", 1), notice(alice, "KICK", "#a zed bye now", 1),
                                 "FORWARD 1 :" + alice + " INVITE zed 1 #a", notice(alice, "INVITE", "zed #a", 1)}));
}

TEST_F(OperatorsAcross, AnotherNodesNoticesChangeTheTableAndReachTheMembersHere)
{
    // The member that opens a channel is its operator here too.
    ASSERT_EQ(forwardFrom(notice("zed!z@far", "JOIN", "#a")), 1);
    EXPECT_EQ(privilegeOf("#a", "zed"), PRIV_OP);
    ASSERT_EQ(forwardFrom(notice("modes", "MODES", "#a 4 2 +nk key @zed")), 1);
    answerNodeRequests();
    EXPECT_EQ(reply(2, "JOIN #a"), numeric("475 bob #a :Cannot join channel (+k)"));
    EXPECT_EQ(reply(2, "JOIN #a key"), from("bob", "JOIN #a") + numeric("353 bob = #a :bob @zed") +
                                           numeric("366 bob #a :End of /NAMES list"));
    answerNodeRequests();
    // An older view changes nothing; the MODE of an operator there is shown and taken.
    ASSERT_EQ(forwardFrom(notice("modes", "MODES", "#a 3 9 +i")), 1);
    ASSERT_EQ(forwardFrom(notice("zed!z@far", "MODE", "#a 5 +o-k bob *")), 1);
    answerNodeRequests();
    EXPECT_EQ(client(2).take(), crlf(":zed!z@far MODE #a +o-k bob *"));
    EXPECT_EQ(reply(2, "MODE #a"), numeric("324 bob #a +n"));
    EXPECT_EQ(isChannelOperator(2, checkChannel("#a")), 1);
    ASSERT_EQ(forwardFrom(notice("zed!z@far", "INVITE", "alice #a")), 1);
    EXPECT_EQ(client(1).take(), crlf(":zed!z@far INVITE alice :#a"));
    ASSERT_EQ(forwardFrom(notice("zed!z@far", "KICK", "#a bob no reason")), 1);
    answerNodeRequests();
    EXPECT_EQ(client(2).take(), crlf(":zed!z@far KICK #a bob :no reason"));
    EXPECT_EQ(checkChannel("#a"), -1);
    EXPECT_EQ(reply(1, "JOIN #a"), from("alice", "JOIN #a") + numeric("353 alice = #a :alice @zed") +
                                       numeric("366 alice #a :End of /NAMES list"));
    answerNodeRequests();
}

// Two nodes that open the same channel at once: the higher node's first member stays its operator
// on both.
TEST_F(OperatorsAcross, TwoFoundersAreSettledByTheHigherNode)
{
    joinAs(1, "#a");
    answerNodeRequests();
    ASSERT_EQ(forwardFrom(notice("modes", "MODES", "#a 1 2 + @zed")), 1);
    EXPECT_EQ(client(1).take(), numeric("MODE #a -o alice"));  // the members here see alice's op go
    ASSERT_EQ(forwardFrom(notice("zed!z@far", "JOIN", "#a")), 1);
    answerNodeRequests();
    EXPECT_EQ(isChannelOperator(1, checkChannel("#a")), 0);
    EXPECT_EQ(privilegeOf("#a", "zed"), PRIV_OP);
    // A lower node's view of the same age does not take it back.
    addNeighbour(3, 1);
    ASSERT_EQ(forwardFrom(notice("modes", "MODES", "#a 1 1 + @alice", 3)), 1);
    answerNodeRequests();
    EXPECT_EQ(isChannelOperator(1, checkChannel("#a")), 0);
}

}  // namespace
