// WHOIS and INVITE of a user this node knows nothing of: the question to the nick's node, the
// answers that node gives for its own users, the numerics the asker hears, and what happens when
// no answer comes or no room is left.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/clock.h"
#include "irc/channel_modes.h"
#include "irc/node_queries.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;
using Lines = std::vector<std::string>;


// Every question and answer goes to node 2.
class NodeQueries : public TwoNodeSession {
protected:
    NodeQueries() { drain(); }
    std::string lineToNode2()
    {
        toNode2();
        const Lines got = node2.take(1);
        return got.empty() ? "" : got[0];
    }
    // The token of the question that went to node 2, its last word.
    std::string askedToken()
    {
        const std::string question = lineToNode2();
        const size_t from = question.rfind(' ') + 1;
        return question.substr(from, question.size() - from - 2);
    }
};

TEST_F(NodeQueries, AnAnswerFromTheUsersNodeBecomesTheWhoisNumerics)
{
    struct Row {
        const char *answer;
        std::string expected;
    };
    const std::string head = numeric("311 carol zed z far.example * :Zed Zed") + numeric("312 carol zed node2 :quorvel node 2");
    const std::string end = numeric("318 carol zed :End of WHOIS list");
    const Row rows[] = {
        {"* 7 :Zed Zed", head + end},
        {"#x,@#y,+#z 7 :Zed Zedgone fishing", head + numeric("319 carol zed :#x @#y +#z") + numeric("301 carol zed :gone fishing") + end},
        // A length past the texts (a cut line) takes what came.
        {"* 99 :Zed Zed", head + end},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.answer);
        EXPECT_EQ(reply(2, "WHOIS zed"), "");
        const std::string question = lineToNode2();
        const std::string token = question.substr(question.rfind(' ') + 1, question.size() - question.rfind(' ') - 3);
        EXPECT_EQ(question, "FORWARD 1 :" + prefixOf("carol") + " WHOIS zed " + token + "\r\n");
        // An answer under another token, or of another kind, is nobody's.
        EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far.example 311 carol 999 " + std::string(r.answer)), 1);
        EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far.example 341 carol " + token), 1);
        EXPECT_EQ(client(2).take(), "");
        EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far.example 311 carol " + token + " " + r.answer), 1);
        EXPECT_EQ(client(2).take(), r.expected);
        // Answered once: neither a repeat nor the time-out says more.
        EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far.example 311 carol " + token + " " + r.answer), 1);
        expireNodeQueries(nowMillis() + 60000);
        EXPECT_EQ(client(2).take(), "");
    }
}

TEST_F(NodeQueries, AnAnswerThatDoesNotReadOrComesFromAnotherNickLeavesTheQuestionWaiting)
{
    struct Row {
        const char *sender;
        const char *words;  // after the token
    };
    const Row rows[] = {
        {"yan!y@far.example", "* 7 :Zed Zed"},  // a nick not asked, with the right token
        {"zed!z@far.example", ""},              // no channels
        {"zed!z@far.example", "*"},             // no length
        {"zed!z@far.example", "* x :Zed"},      // a length that is no number
        {"zed!z@far.example", "* 7x :Zed"},
        {"zed!z@far.example", "* -1 :Zed"},
    };
    const std::string end = numeric("318 carol zed :End of WHOIS list");
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.sender) + " " + r.words);
        EXPECT_EQ(reply(2, "WHOIS zed"), "");
        const std::string token = askedToken();
        EXPECT_EQ(forwardFrom("FORWARD 2 :" + std::string(r.sender) + " 311 carol " + token + " " + r.words), 1);
        EXPECT_EQ(client(2).take(), "");
        expireNodeQueries(nowMillis() + 60000);
        EXPECT_EQ(client(2).take(), numeric("401 carol zed :No such nick/channel") + end);
    }
    // The asked nick in another case is the same user.
    EXPECT_EQ(reply(2, "WHOIS ZED"), "");
    const std::string token = askedToken();
    EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far.example 311 carol " + token + " * 3 :Zed"), 1);
    EXPECT_EQ(client(2).take(), numeric("311 carol zed z far.example * :Zed") + numeric("312 carol zed node2 :quorvel node 2") +
                                    numeric("318 carol zed :End of WHOIS list"));
}

TEST_F(NodeQueries, TheUsersNodeAnswersForItsOwnUsers)
{
    parse(1, "AWAY :out");
    parse(1, "MODE #a +v carol");  // carol is not in #a: no change, and bob stays its operator
    drain();
    toNode2();
    node2.take(1);
    struct Row {
        const char *question;
        std::string toNode2;  // the answer, or "" when none goes
        std::string toBob;
    };
    const std::string bob = "FORWARD 1 :" + prefixOf("bob");
    const Row rows[] = {
        {"WHOIS bob 7", bob + " 311 zed 7 @#a 8 :Real bobout\r\n", ""},
        {"WHOIS BOB 8", bob + " 311 zed 8 @#a 8 :Real bobout\r\n", ""},
        {"INVITE bob 9 #q", bob + " 341 zed 9\r\n", crlf(":zed!z@far INVITE bob :#q")},
        {"WHOIS bob x", "", ""},            // no token
        {"INVITE bob 10 nochan", "", ""},  // no channel
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.question);
        EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far " + std::string(r.question)), 1);
        EXPECT_EQ(client(1).take(), r.toBob);
        if (!r.toNode2.empty()) EXPECT_EQ(lineToNode2(), r.toNode2);
        else EXPECT_EQ(waitingCount(), 0);
    }
}

TEST_F(NodeQueries, AWhoisAnswerReadsForAUserInAsManyChannelsAsTheJoinsAllow)
{
    // Every channel of the longest name, and carol operator of each: not all of them fit the line.
    takeProfile({PROFILE_LIMITS.channels, PROFILE_LIMITS.members, LIMITS_CEILING.joins});
    std::string list;
    for (int i = 0; i < LIMITS_CEILING.joins; ++i) {
        const std::string n = std::to_string(10000 + i).substr(1);
        list += (i > 0 ? ",#chan" : "#chan") + n;
    }
    joinAs(2, list);
    toNode2();
    node2.take(1);
    const std::string question = "4294967295";
    EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far WHOIS carol " + question), 1);
    const std::string answer = lineToNode2();
    // The channels that went are whole, and the real name's length and text follow them.
    const std::string head = "FORWARD 1 :" + prefixOf("carol") + " 311 zed " + question + " @#chan0000";
    const std::string tail = " 10 :Real carol\r\n";
    ASSERT_EQ(answer.rfind(head, 0), 0u) << answer;
    ASSERT_GE(answer.size(), head.size() + tail.size()) << answer;
    EXPECT_EQ(answer.substr(answer.size() - tail.size()), tail) << answer;
    const std::string more = answer.substr(head.size(), answer.size() - head.size() - tail.size());
    const std::string entry = ",@#chan0000";
    EXPECT_EQ(more.size() % entry.size(), 0u) << answer;
    for (size_t at = 0; at + entry.size() <= more.size(); at += entry.size())
        EXPECT_EQ(more.compare(at, 7, entry, 0, 7), 0) << more;
}

TEST_F(NodeQueries, AQuestionsOrAnswersKeywordForAChannelIsReadAsAnyOtherWord)
{
    // Questions, answers and the undelivered answer go to a nick: for a channel their keyword
    // would reach its members as a line of a command no client sent.
    for (const char *keyword : {"WHOIS", "INVITE", "311", "341", "401", "ANY"}) {
        SCOPED_TRACE(keyword);
        EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far " + std::string(keyword) + " #a 5"), 1);
        EXPECT_EQ(client(1).take(), crlf(":zed!z@far PRIVMSG #a :5"));
        parse(DAEMON_SLOT, "OK");  // no other node hosts a member
        daemon.take();
    }
}

// A question for a user here is answered by a line that needs routing, as a line for elsewhere
// does: past other nodes' room it is declined, so that its node sends it again, and never takes
// the clients' shares nor is dropped unanswered.
TEST_F(NodeQueries, AQuestionPastOtherNodesRoomIsDeclinedLikeALineForElsewhere)
{
    int taken = 0;
    while (taken < MSG_QUEUE_SLOTS && takeLine("FORWARD 2 :zed!z@far PRIVMSG yan m") == FirstLine::Taken) ++taken;
    const int bobsRoom = roomForLines(1);
    EXPECT_GT(bobsRoom, 0);
    for (const char *question : {"WHOIS bob 7", "INVITE bob 8 #q"}) {
        SCOPED_TRACE(question);
        EXPECT_EQ(takeLine("FORWARD 2 :zed!z@far " + std::string(question)), FirstLine::Declined);
    }
    EXPECT_EQ(client(1).take(), "");  // not invited: the line was not taken
    EXPECT_EQ(roomForLines(1), bobsRoom);
    // An answer, which asks for nothing more, is still taken.
    EXPECT_EQ(takeLine("FORWARD 2 :zed!z@far 311 bob 9 * 1 :x"), FirstLine::Taken);
    daemon.take();
    while (messageWaiting()) parse(DAEMON_SLOT, "NONE");
}

TEST_F(NodeQueries, AnInvitationFromAnotherNodeLetsItsUserIntoAnInviteOnlyChannel)
{
    EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far JOIN &quorvel-nodes #b"), 1);
    EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far MODE &quorvel-nodes #b 2 +i"), 1);
    toNode2();
    drain();
    EXPECT_EQ(hasModeFlag("#b", MODE_INVITE), 1);
    EXPECT_EQ(reply(2, "JOIN #b"), numeric("473 carol #b :Cannot join channel (+i)"));
    EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far INVITE carol 4 #b"), 1);
    EXPECT_EQ(client(2).take(), crlf(":zed!z@far INVITE carol :#b"));
    EXPECT_EQ(reply(2, "JOIN #b").rfind(":" + prefixOf("carol") + " JOIN #b\r\n", 0), 0u);
}

TEST_F(NodeQueries, InviteOfAUserNobodyHereKnowsWaitsForItsNode)
{
    EXPECT_EQ(reply(1, "INVITE zed #a"), "");
    EXPECT_EQ(lineToNode2(), "FORWARD 1 :" + prefixOf("bob") + " INVITE zed 1 #a\r\n");
    EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far 341 bob 1"), 1);
    EXPECT_EQ(client(1).take(), numeric("341 bob zed #a"));
    // The refusals of the channel come first; only then is the other node asked.
    EXPECT_EQ(reply(2, "INVITE zed #a"), numeric("442 carol #a :You're not on that channel"));
    EXPECT_EQ(reply(1, "INVITE yan a"), numeric("403 bob a :No such channel"));  // its node could not answer
    EXPECT_EQ(reply(1, "INVITE yan #a"), "");
    expireNodeQueries(nowMillis() + 60000);
    EXPECT_EQ(client(1).take(), numeric("401 bob yan :No such nick/channel"));
}

TEST_F(NodeQueries, AWordThatIsNoNickIsAnsweredAtOnce)
{
    for (const char *word : {"#a", "ten_chars1", "9lives", "a,b"}) {
        SCOPED_TRACE(word);
        const std::string w = word;
        EXPECT_EQ(reply(2, "WHOIS " + w), numeric("401 carol " + w + " :No such nick/channel") +
                                              numeric("318 carol " + w + " :End of WHOIS list"));
        EXPECT_EQ(reply(1, "INVITE " + w + " #a"), numeric("401 bob " + w + " :No such nick/channel"));
        EXPECT_EQ(waitingCount(), 0);
    }
}

TEST_F(NodeQueries, ANickNoNodeHostsIsAnsweredWhenTheDaemonSaysSo)
{
    const ReplyRow rows[] = {
        {2, "WHOIS zed", numeric("401 carol zed :No such nick/channel") + numeric("318 carol zed :End of WHOIS list")},
        {1, "INVITE yan #a", numeric("401 bob yan :No such nick/channel")},
    };
    for (const ReplyRow &r : rows) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(reply(r.slot, r.line), "");
        parse(DAEMON_SLOT, "NONE");
        daemon.take();
        EXPECT_EQ(client(r.slot).take(), r.expected);
        expireNodeQueries(nowMillis() + 60000);  // ended once, not again
        EXPECT_EQ(client(r.slot).take(), "");
    }
}

TEST_F(NodeQueries, UnansweredQuestionsEndIn401AndAFullTableIn263)
{
    // A question whose asker left tells nobody.
    parse(2, "WHOIS gone");
    parse(2, "QUIT");
    drain();
    expireNodeQueries(nowMillis() + 60000);
    toNode2();
    node2.take(2);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(reply(1, "WHOIS z" + std::to_string(i)), "") << i;
    EXPECT_EQ(reply(1, "WHOIS z32"), numeric("263 bob WHOIS :Server load is temporarily too heavy. Please wait a while and try again") +
                                         numeric("318 bob z32 :End of WHOIS list"));
    EXPECT_EQ(reply(1, "INVITE z33 #a"),
              numeric("263 bob INVITE :Server load is temporarily too heavy. Please wait a while and try again"));
    expireNodeQueries(nowMillis() + 60000);
    std::string expected;
    for (int i = 0; i < 32; ++i)
        expected += numeric("401 bob z" + std::to_string(i) + " :No such nick/channel") +
                    numeric("318 bob z" + std::to_string(i) + " :End of WHOIS list");
    EXPECT_EQ(awaitLines(1, 64), expected);
}

TEST_F(NodeQueries, WhoisMarksTheChannelsWhereTheUserIsOperatorOrVoiced)
{
    joinAs(2, "#a,#c");
    parse(1, "MODE #a +v carol");
    drain();
    EXPECT_EQ(reply(1, "WHOIS carol").find(numeric("319 bob carol :+#a @#c")) != std::string::npos, true);
    EXPECT_EQ(reply(2, "WHOIS bob").find(numeric("319 carol bob :@#a")) != std::string::npos, true);
}

}  // namespace
