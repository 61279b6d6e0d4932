// TOPIC, AWAY, NAMES and WHOIS in the client profile, on one node and across nodes: each command's
// numerics, the notices that carry topics and away texts between nodes, and the reasons of a QUIT
// or PART that other nodes' members see as typed.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "core/clock.h"
#include "irc/away.h"
#include "irc/member_notices.h"
#include "irc/network_members.h"
#include "irc/node_queries.h"
#include "irc/topics.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;
using Lines = std::vector<std::string>;

constexpr char ZED[] = "zed!z@far.example";

std::string notice(const std::string &sender, const std::string &keyword, const std::string &text, int src = 2)
{
    return "FORWARD " + std::to_string(src) + " :" + sender + " " + keyword + " &quorvel-nodes " + text;
}
// The 333 of the channel's topic as the table holds it.
std::string topicTime(const std::string &channel)
{
    const Topic *t = findTopic(channel.c_str());
    return t ? std::to_string(t->setAtMs / 1000) : "none";
}

class OneNode : public IrcSession {
protected:
    OneNode()
    {
        takeProfile();
        registerUser(1, "bob");
        registerUser(2, "carol");
        registerUser(3, "dave");
        joinAs(1, "#a");
        joinAs(2, "#a");
        joinAs(3, "#b");
        answerDaemon();
    }
    void answerDaemon()
    {
        while (messageWaiting()) parse(DAEMON_SLOT, "OK");
        daemon.take();
    }
};

TEST_F(OneNode, TopicRefusalsChangeNothing)
{
    // bob opened #a and is its operator; carol is a member without privileges.
    EXPECT_EQ(reply(1, "MODE #a +t"), crlf(":" + prefixOf("bob") + " MODE #a +t"));
    client(2).take();
    const ReplyRow rows[] = {
        {1, "TOPIC", numeric("461 bob TOPIC :Not enough parameters")},
        {1, "TOPIC #none", numeric("403 bob #none :No such channel")},
        {1, "TOPIC #none :hi", numeric("403 bob #none :No such channel")},
        {1, "TOPIC #b :hi", numeric("442 bob #b :You're not on that channel")},
        {1, "TOPIC #a", numeric("331 bob #a :No topic is set")},
        {1, "TOPIC #b", numeric("331 bob #b :No topic is set")},  // asked by one who is not in it
        {2, "TOPIC #a :hi", numeric("482 carol #a :You're not channel operator")},  // +t
        {2, "TOPIC #A :hi", numeric("482 carol #A :You're not channel operator")},
        {2, "TOPIC #a", numeric("331 carol #a :No topic is set")},  // +t still lets members read it
    };
    for (const ReplyRow &r : rows) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(reply(r.slot, r.line), r.expected);
        EXPECT_EQ(findTopic("#a"), nullptr);
        EXPECT_EQ(findTopic("#b"), nullptr);
        EXPECT_EQ(client(1).take() + client(2).take() + client(3).take(), "");
    }
}

TEST_F(OneNode, OnAPlusTChannelTheOperatorSetsTheTopicAndAMemberOnceOpped)
{
    reply(1, "MODE #a +t");
    client(2).take();
    EXPECT_EQ(reply(1, "TOPIC #a :by the op"), crlf(":" + prefixOf("bob") + " TOPIC #a :by the op"));
    EXPECT_EQ(client(2).take(), crlf(":" + prefixOf("bob") + " TOPIC #a :by the op"));
    reply(1, "MODE #a +o CAROL");  // any case names her
    EXPECT_EQ(client(2).take(), crlf(":" + prefixOf("bob") + " MODE #a +o carol"));
    EXPECT_EQ(reply(2, "TOPIC #a :by carol"), crlf(":" + prefixOf("carol") + " TOPIC #a :by carol"));
    reply(1, "MODE #a -t");
    reply(1, "MODE #a -o carol");
    client(2).take();
    EXPECT_EQ(reply(2, "TOPIC #a :open again"), crlf(":" + prefixOf("carol") + " TOPIC #a :open again"));
}

TEST_F(OneNode, TopicSetByAMemberReachesTheMembersAndLateJoiners)
{
    const std::string change = crlf(":" + prefixOf("bob") + " TOPIC #a :hello  there :)");
    EXPECT_EQ(reply(1, "TOPIC #a :hello  there :)"), change);
    EXPECT_EQ(client(2).take(), change);
    EXPECT_EQ(client(3).take(), "");
    const std::string shown = numeric("332 dave #a :hello  there :)") +
                              numeric("333 dave #a " + prefixOf("bob") + " " + topicTime("#a"));
    EXPECT_EQ(reply(3, "TOPIC #a"), shown);
    EXPECT_EQ(reply(3, "JOIN #a"), crlf(":" + prefixOf("dave") + " JOIN #a") + shown +
                                       numeric("353 dave = #a :@bob carol dave") + numeric("366 dave #a :End of /NAMES list"));
    // Cleared: members see the empty topic, and a query hears there is none.
    drain();
    EXPECT_EQ(reply(2, "TOPIC #a :"), crlf(":" + prefixOf("carol") + " TOPIC #a :"));
    EXPECT_EQ(reply(2, "TOPIC #a"), numeric("331 carol #a :No topic is set"));
}

TEST_F(OneNode, ASecondSetInOneMillisecondStillOrdersLater)
{
    parse(1, "TOPIC #a :one");
    const long long first = findTopic("#a")->setAtMs;
    parse(1, "TOPIC #a :two");
    EXPECT_GT(findTopic("#a")->setAtMs, first);
    EXPECT_STREQ(findTopic("#a")->text, "two");
}

TEST_F(OneNode, AChannelThatEndedTakesItsTopicWithIt)
{
    parse(3, "TOPIC #b :old");
    parse(3, "PART #b");
    answerDaemon();
    drain();
    EXPECT_EQ(reply(3, "JOIN #b"), crlf(":" + prefixOf("dave") + " JOIN #b") + numeric("353 dave = #b :@dave") +
                                       numeric("366 dave #b :End of /NAMES list"));
    EXPECT_EQ(findTopic("#b"), nullptr);
}

TEST_F(OneNode, NamesAnswersEachChannelOfTheList)
{
    struct Row {
        const char *line;
        std::string expected;
    };
    const Row rows[] = {
        {"NAMES", numeric("366 dave * :End of /NAMES list")},
        {"NAMES #a", numeric("353 dave = #a :@bob carol") + numeric("366 dave #a :End of /NAMES list")},
        {"NAMES #none", numeric("366 dave #none :End of /NAMES list")},
        {"NAMES #b,#none,#a", numeric("353 dave = #b :@dave") + numeric("366 dave #b :End of /NAMES list") +
                                  numeric("366 dave #none :End of /NAMES list") + numeric("353 dave = #a :@bob carol") +
                                  numeric("366 dave #a :End of /NAMES list")},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(reply(3, r.line), r.expected);
    }
}

TEST_F(OneNode, AwayAnswersMessagesAndWhoisUntilTheUserIsBack)
{
    struct Row {
        int slot;
        const char *line;
        std::string toSender, toBob;
    };
    const std::string whoisBob = numeric("311 carol bob bob_u client.test * :Real bob") +
                                 numeric("312 carol bob testhost :quorvel node 0") + numeric("319 carol bob :@#a");
    const Row rows[] = {
        {1, "AWAY :out for lunch", numeric("306 bob :You have been marked as being away"), ""},
        {2, "PRIVMSG bob :hi", numeric("301 carol bob :out for lunch"), crlf(":" + prefixOf("carol") + " PRIVMSG bob :hi")},
        {2, "NOTICE bob :hi", "", crlf(":" + prefixOf("carol") + " NOTICE bob :hi")},
        {2, "PRIVMSG #a :all", "", crlf(":" + prefixOf("carol") + " PRIVMSG #a :all")},
        {2, "WHOIS bob", whoisBob + numeric("301 carol bob :out for lunch") + numeric("318 carol bob :End of WHOIS list"), ""},
        {1, "AWAY", numeric("305 bob :You are no longer marked as being away"), ""},
        {2, "PRIVMSG bob :back?", "", crlf(":" + prefixOf("carol") + " PRIVMSG bob :back?")},
        {1, "AWAY :again", numeric("306 bob :You have been marked as being away"), ""},
        {1, "AWAY :", numeric("305 bob :You are no longer marked as being away"), ""},
        {2, "WHOIS bob", whoisBob + numeric("318 carol bob :End of WHOIS list"), ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(reply(r.slot, r.line), r.toSender);
        answerDaemon();
        if (r.slot != 1) {
            EXPECT_EQ(client(1).take(), r.toBob);
        }
        drain();
    }
}

TEST_F(OneNode, TheNextPeerOfASlotIsNotAway)
{
    parse(1, "AWAY :gone");
    ClientEnd fresh = takeOverSlot(1);
    registerUser(1, "erin");
    fresh.take();
    EXPECT_EQ(reply(2, "PRIVMSG erin :hi"), "");
}

TEST_F(OneNode, QuitAndPartReasonsReachTheMembersAsTyped)
{
    parse(2, "PART #a :see  you");
    EXPECT_EQ(client(1).take(), crlf(":" + prefixOf("carol") + " PART #a :see  you"));
    joinAs(2, "#a");
    client(1).take();
    parse(2, "QUIT :gone: home");
    EXPECT_EQ(client(1).take(), crlf(":" + prefixOf("carol") + " QUIT :gone: home"));
    // Without a reason, the standard text; the quitter is a member that sees it too.
    parse(1, "QUIT");
    EXPECT_EQ(client(1).take(), crlf(":" + prefixOf("bob") + " QUIT :bob has left the channel"));
}

class AcrossNodes : public TwoNodeSession {
protected:
    AcrossNodes()
    {
        EXPECT_EQ(forwardFrom(notice(ZED, "JOIN", "#a")), 1);
        EXPECT_EQ(forwardFrom(notice("yan!y@h", "JOIN", "#far")), 1);
        answerDaemon();
        drain();
    }
    void answerDaemon()
    {
        while (messageWaiting()) parse(DAEMON_SLOT, "OK");
        daemon.take();
    }
};

TEST_F(AcrossNodes, ATopicSetHereGoesToEveryNodeAndComesAgainEachRefresh)
{
    parse(1, "TOPIC #a :from here");
    toNode2();
    const std::string stamp = std::to_string(findTopic("#a")->setAtMs);
    const std::string told = notice(prefixOf("bob"), "TOPIC", "#a " + stamp + " 1 :from here", 1) + "\r\n";
    EXPECT_EQ(node2.take(1), Lines{told});
    refreshMembers(nowMillis());
    toNode2();
    // The refresh sends the channel's modes between its members and its topic.
    const std::string modes = notice("modes", "MODES", "#a 1 1 + @bob", 1) + "\r\n";
    EXPECT_EQ(node2.take(3), (Lines{notice(prefixOf("bob"), "JOIN", "#a", 1) + "\r\n", modes, told}));
}

TEST_F(AcrossNodes, ANewerTopicWinsWhicheverOrderTheNoticesCome)
{
    struct Row {
        std::string text;
        std::string seenHere;  // by bob, in #a
        const char *kept;
    };
    const Row rows[] = {
        {"#a 5000 2 :first", crlf(std::string(":") + ZED + " TOPIC #a :first"), "first"},
        {"#a 4000 3 :older", "", "first"},
        {"#a 5000 1 :same time, lower node", "", "first"},
        {"#a 5000 3 :same time, higher node", crlf(std::string(":") + ZED + " TOPIC #a :same time, higher node"), "same time, higher node"},
        {"#a 5000 3 :same time, higher node", "", "same time, higher node"},  // a refresh
        {"#a 6000 2 :", crlf(std::string(":") + ZED + " TOPIC #a :"), ""},
        // Malformed: not kept, not handed on.
        {"#a x 2 :t", "", ""},
        {"#a 7000", "", ""},
        {"nochan 7000 2 :t", "", ""},
        {"#a 7000 0 :t", "", ""},
        {"#a -5 2 :t", "", ""},
        {"#a 99999999999999999999 2 :t", "", ""},
        {"#a " + std::to_string(std::time(nullptr) * 1000 + 2LL * 24 * 3600 * 1000) + " 2 :t", "", ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(forwardFrom(notice(ZED, "TOPIC", r.text)), 1);
        answerDaemon();
        EXPECT_EQ(client(1).take(), r.seenHere);
        EXPECT_STREQ(findTopic("#a")->text, r.kept);
    }
}

// A table full of other nodes' topics still takes one set here, in place of a channel with no
// members here.
TEST_F(AcrossNodes, ATopicSetHereAlwaysFindsAPlace)
{
    sizeTopics(1);
    EXPECT_EQ(forwardFrom(notice("yan!y@h", "TOPIC", "#far 5000 2 :far")), 1);
    answerDaemon();
    ASSERT_NE(findTopic("#far"), nullptr);
    drain();
    EXPECT_EQ(reply(1, "TOPIC #a :here"), crlf(":" + prefixOf("bob") + " TOPIC #a :here"));
    toNode2();
    node2.take(1);
    EXPECT_STREQ(findTopic("#a")->text, "here");
    EXPECT_EQ(findTopic("#far"), nullptr);
    // Full of a channel here, a notice for another finds no place and changes nothing.
    EXPECT_EQ(forwardFrom(notice("yan!y@h", "TOPIC", "#far 6000 2 :far")), 1);
    answerDaemon();
    EXPECT_EQ(findTopic("#far"), nullptr);
    EXPECT_STREQ(findTopic("#a")->text, "here");
}

TEST_F(AcrossNodes, AValidTopicNoticeGoesOnDownTheTreeAndAnInvalidOneDoesNot)
{
    EXPECT_EQ(forwardFrom(notice(ZED, "TOPIC", "#a 5000 2 :t")), 1);
    EXPECT_EQ(daemon.take(), "NEXTHOPS 2 &quorvel-nodes\r\n");
    answerDaemon();
    EXPECT_EQ(forwardFrom(notice(ZED, "TOPIC", "#a 5000 :t")), 1);
    EXPECT_EQ(daemon.take(), "");
}

TEST_F(AcrossNodes, ALateJoinerHereSeesTheTopicOfAChannelOfAnotherNode)
{
    EXPECT_EQ(forwardFrom(notice("yan!y@h", "TOPIC", "#far 1700000000123 2 :far away")), 1);
    answerDaemon();
    EXPECT_EQ(reply(2, "TOPIC #far"), numeric("332 carol #far :far away") + numeric("333 carol #far yan!y@h 1700000000"));
    EXPECT_EQ(reply(2, "JOIN #far"), crlf(":" + prefixOf("carol") + " JOIN #far") + numeric("332 carol #far :far away") +
                                         numeric("333 carol #far yan!y@h 1700000000") + numeric("353 carol = #far :carol @yan") +
                                         numeric("366 carol #far :End of /NAMES list"));
    toNode2();
    node2.take(1);
    EXPECT_EQ(reply(2, "TOPIC #far :mine now"), crlf(":" + prefixOf("carol") + " TOPIC #far :mine now"));
    toNode2();
    node2.take(1);
}

TEST_F(AcrossNodes, AwayTravelsBothWays)
{
    parse(1, "AWAY :afk");
    toNode2();
    EXPECT_EQ(node2.take(1), Lines{notice(prefixOf("bob"), "AWAY", ":afk", 1) + "\r\n"});
    parse(1, "AWAY");
    toNode2();
    EXPECT_EQ(node2.take(1), Lines{notice(prefixOf("bob"), "AWAY", "-", 1) + "\r\n"});
    drain();

    struct Row {
        std::string notice;
        std::string toCarol;  // her PRIVMSG to zed
    };
    const Row rows[] = {
        {notice(ZED, "AWAY", ":at lunch"), numeric("301 carol zed :at lunch")},
        {notice(ZED, "AWAY", ":at lunch", 3), numeric("301 carol zed :at lunch")},
        {notice(ZED, "AWAY", "-", 3), numeric("301 carol zed :at lunch")},  // only zed's own node speaks for it
        {notice(ZED, "AWAY", "x"), numeric("301 carol zed :at lunch")},     // no notice's text
        {notice(ZED, "AWAY", "-"), ""},
    };
    addNeighbour(3, 1);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.notice);
        EXPECT_EQ(forwardFrom(r.notice), 1);
        answerDaemon();
        EXPECT_EQ(reply(2, "PRIVMSG zed :hi"), r.toCarol);
        parse(DAEMON_SLOT, "NONE");
        drain();
    }
}

// A user away before it joins: the other nodes hear of the away text right after the JOIN, and
// again with each refresh.
TEST_F(AcrossNodes, AnAwayUserThatJoinsIsAwayOnTheOtherNodesAtOnce)
{
    parse(2, "AWAY :busy");
    EXPECT_EQ(daemon.take(), "");  // in no channel: no other node knows carol
    parse(2, "JOIN #c");
    toNode2();
    const std::string joined = notice(prefixOf("carol"), "JOIN", "#c", 1) + "\r\n";
    const std::string away = notice(prefixOf("carol"), "AWAY", ":busy", 1) + "\r\n";
    EXPECT_EQ(node2.take(2), (Lines{joined, away}));
    refreshMembers(nowMillis());
    toNode2();
    const std::string modes = notice("modes", "MODES", "#a 1 1 + @bob , #c 1 1 + @carol", 1) + "\r\n";
    EXPECT_EQ(node2.take(4), (Lines{notice(prefixOf("bob"), "JOIN", "#a", 1) + "\r\n", joined, away, modes}));
}

TEST_F(AcrossNodes, WhoisOfAMemberOfAnotherNodeComesFromItsNotices)
{
    EXPECT_EQ(forwardFrom(notice(ZED, "JOIN", "#b")), 1);
    EXPECT_EQ(forwardFrom(notice(ZED, "AWAY", ":brb")), 1);
    answerDaemon();
    EXPECT_EQ(reply(2, "WHOIS zed"), numeric("311 carol zed z far.example * :*") +
                                         numeric("312 carol zed node2 :quorvel node 2") + numeric("319 carol zed :#a @#b") +
                                         numeric("301 carol zed :brb") + numeric("318 carol zed :End of WHOIS list"));
    // Nobody this node knows of: the nick's node is asked, and none answers in time.
    EXPECT_EQ(reply(2, "WHOIS nobody"), "");
    toNode2();
    EXPECT_EQ(node2.take(1), Lines{"FORWARD 1 :" + prefixOf("carol") + " WHOIS nobody 1\r\n"});
    expireNodeQueries(nowMillis() + 60000);
    EXPECT_EQ(client(2).take(), numeric("401 carol nobody :No such nick/channel") +
                                    numeric("318 carol nobody :End of WHOIS list"));
}

// WHO's flags as clients read them: G for away, then @ or + in the channel asked of; none for a
// nick or a mask, which names no channel.
TEST_F(AcrossNodes, WhoFlagsShowAwayAndPrivilegeHereAndElsewhere)
{
    parse(2, "JOIN #a");
    parse(1, "MODE #a +v carol");
    parse(1, "AWAY :afk");
    EXPECT_EQ(forwardFrom(notice(ZED, "AWAY", ":brb")), 1);
    toNode2();
    drain();
    const struct {
        const char *line;
        std::string answer;
    } rows[] = {
        {"WHO #a", numeric("352 carol #a bob_u client.test testhost bob G@ :0 Real bob") +
                       numeric("352 carol #a carol_u client.test testhost carol H+ :0 Real carol") +
                       numeric("352 carol #a z far.example * zed G :0 *") + numeric("315 carol #a :End of /WHO list.")},
        {"WHO #far", numeric("352 carol #far y h * yan H@ :0 *") + numeric("315 carol #far :End of /WHO list.")},
        {"WHO zed", numeric("352 carol * z far.example * zed G :0 *") + numeric("315 carol zed :End of /WHO list.")},
        {"WHO bob", numeric("352 carol * bob_u client.test testhost bob G :0 Real bob") +
                        numeric("315 carol bob :End of /WHO list.")},
    };
    for (const auto &r : rows) EXPECT_EQ(reply(2, r.line), r.answer) << r.line;
}

TEST_F(AcrossNodes, NamesShowMembersHereAndElsewhere)
{
    EXPECT_EQ(reply(2, "NAMES #a,#far"), numeric("353 carol = #a :@bob zed") + numeric("366 carol #a :End of /NAMES list") +
                                             numeric("353 carol = #far :@yan") + numeric("366 carol #far :End of /NAMES list"));
}

TEST_F(AcrossNodes, ReasonsCrossNodesAsTyped)
{
    struct Row {
        std::string notice;
        std::string seenHere;
    };
    EXPECT_EQ(forwardFrom(notice("yan!y@h", "JOIN", "#a")), 1);
    answerDaemon();
    drain();
    const Row rows[] = {
        {notice(ZED, "PART", "#a :see  you #b"), crlf(std::string(":") + ZED + " PART #a :see  you #b")},
        {notice("yan!y@h", "QUIT", "#a #far :gone: home"), crlf(":yan!y@h QUIT :gone: home")},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.notice);
        EXPECT_EQ(forwardFrom(r.notice), 1);
        answerDaemon();
        EXPECT_EQ(client(1).take(), r.seenHere);
    }
    EXPECT_EQ(findNetworkMember("yan"), -1);
    // This node's own, after its channels.
    joinAs(2, "#a");
    toNode2();
    node2.take(1);
    parse(2, "PART #a :later all");
    toNode2();
    parse(1, "QUIT :bye now");
    toNode2();
    EXPECT_EQ(node2.take(2), (Lines{notice(prefixOf("carol"), "PART", "#a :later all", 1) + "\r\n",
                                    notice(prefixOf("bob"), "QUIT", "#a :bye now", 1) + "\r\n"}));
}

// A notice taken here before under its number (a neighbour sends it again once a broken link is
// back) goes on down the tree but changes nothing here, whatever its kind: an AWAY that came again
// after its user was back would otherwise mark it away once more.
TEST_F(AcrossNodes, ARepeatedNoticeGoesOnButIsTakenOnce)
{
    struct Row {
        const char *keyword;
        const char *text;
        bool repeat;
        std::string seenByBob;
        const char *zedAway;
        bool handedOn;
    };
    const Row rows[] = {
        {"AWAY", ":at lunch", false, "", "at lunch", true},
        {"AWAY", "-", false, "", "", true},
        {"AWAY", ":at lunch", true, "", "", true},  // the first again, after zed came back
        {"TOPIC", "#a 5000 2 :first", true, "", "", true},
        {"TOPIC", "#a 5000 2 :first", false, crlf(std::string(":") + ZED + " TOPIC #a :first"), "", true},
        {"TOPIC", "#a x 2 :t", true, "", "", false},  // a repeat that does not read goes nowhere either
        {"NICK", "zorro", true, "", "", true},
        {"MODES", "#a 5000 2 + @zed", true, "", "", true},
        {"PART", "#a :bye", true, "", "", true},
        {"PART", "#a :bye", false, crlf(std::string(":") + ZED + " PART #a :bye"), nullptr, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.keyword) + " " + r.text + (r.repeat ? " (repeat)" : ""));
        takeMemberNotice(2, Message{"2", ZED, "&quorvel-nodes", r.text, r.keyword, r.repeat});
        EXPECT_EQ(messageWaiting(), r.handedOn ? 1 : 0);
        answerDaemon();
        EXPECT_EQ(client(1).take(), r.seenByBob);
        const int zed = findNetworkMember("zed");
        if (!r.zedAway) {
            EXPECT_EQ(zed, -1);
            continue;
        }
        ASSERT_NE(zed, -1);
        EXPECT_STREQ(networkMembers[zed].awayText, r.zedAway);
    }
    EXPECT_EQ(findNetworkMember("zorro"), -1);
}

}  // namespace
