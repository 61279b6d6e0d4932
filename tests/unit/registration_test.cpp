// NICK, USER and QUIT: the nickname rules, registration in either order, nick changes and leaving.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/framing.h"
#include "irc/registration.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;

const std::string NOT_ENOUGH = numeric("461 USER :Not enough parameters");

std::string badNick(const std::string &nick) { return numeric("432 " + nick + " :Erroneus nickname"); }
std::string nickInUse(const std::string &nick) { return numeric("433 " + nick + " :Nickname is already in use"); }

class Registration : public IrcSession {};

TEST(NickFormat, LetterThenLettersDigitsAndTheNineSpecials)
{
    for (const char *nick : {"a", "Z", "alice", "B0b9", "a-[]\\`^{|}", "zA1-", "x{}"}) {
        SCOPED_TRACE(nick);
        EXPECT_EQ(checkNickFormat(nick), 1);
    }
    // The first character must be a letter: the specials and the ASCII neighbours of the letter
    // ranges are refused there, and later on only the nine specials pass among the punctuation.
    for (const char *nick : {"", "1abc", "-abc", ":abc", "[abc", "`abc", "{abc", "^abc", "_abc", "@abc", "a_b",
                             "a@b", "a.b", "a!", "a/", "a:", "a~", "a b", "a\xe9", "\xc3\xa9t\xc3\xa9"}) {
        SCOPED_TRACE(nick);
        EXPECT_EQ(checkNickFormat(nick), 0);
    }
}

TEST_F(Registration, NickIsCutToNineBeforeItIsTested)
{
    EXPECT_EQ(reply(1, "NICK"), numeric("431 :No nickname given"));
    EXPECT_EQ(reply(1, "NICK    "), numeric("431 :No nickname given"));
    EXPECT_EQ(reply(1, "NICK 1abc"), badNick("1abc"));
    EXPECT_EQ(reply(1, "NICK -abc"), badNick("-abc"));
    EXPECT_EQ(reply(1, "NICK :alice"), badNick(":alice"));
    EXPECT_EQ(reply(1, "NICK abcdefgh!xyz"), badNick("abcdefgh!"));
    EXPECT_STREQ(connections[1].nick, "");

    // The tenth character and beyond are never looked at.
    EXPECT_EQ(reply(1, "NICK abcdefghi!!!"), "");
    EXPECT_STREQ(connections[1].nick, "abcdefghi");
    EXPECT_EQ(reply(2, "NICK abcdefghiXYZ"), nickInUse("abcdefghi"));
    EXPECT_EQ(reply(2, "NICK abcdefgh"), "");
    EXPECT_EQ(reply(3, "NICK z"), "");
    EXPECT_STREQ(connections[3].nick, "z");
    EXPECT_EQ(daemon.take(), "");
}

TEST_F(Registration, OwnNickIsTakenButAnotherCaseIsNot)
{
    registerUser(1, "alice");
    EXPECT_EQ(reply(1, "NICK alice"), nickInUse("alice"));
    EXPECT_EQ(reply(2, "NICK alice"), nickInUse("alice"));
    EXPECT_EQ(reply(2, "NICK Alice"), "");
    EXPECT_EQ(reply(3, "NICK ALICE"), "");
    EXPECT_EQ(findUser("Alice"), 2);
    EXPECT_EQ(findUser("alice"), 1);
    EXPECT_EQ(checkNick("aLice"), 1);
    EXPECT_EQ(findUser(DAEMON_NICK), DAEMON_SLOT);  // the lookups do not skip the daemon link
    EXPECT_EQ(daemon.take(), "");
}

TEST_F(Registration, EitherOrderEndsInTheMotdThenOneAddUser)
{
    EXPECT_EQ(reply(1, "NICK alice"), "");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(reply(1, "USER al h s :Alice A"), motd("alice"));
    EXPECT_EQ(daemon.take(), "ADDUSER alice\r\n");
    EXPECT_EQ(connections[1].registered, 1);

    EXPECT_EQ(reply(2, "USER bo h s :Bob B"), "");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(connections[2].registered, 0);
    EXPECT_EQ(reply(2, "NICK bob"), motd("bob"));
    EXPECT_EQ(daemon.take(), "ADDUSER bob\r\n");
    EXPECT_EQ(connections[2].registered, 1);
    EXPECT_STREQ(connections[2].userName, "bo");
    EXPECT_STREQ(connections[2].hostName, STUB_CLIENT_HOST);
    EXPECT_STREQ(connections[2].serverName, "testhost");
    EXPECT_STREQ(connections[2].realName, "Bob B ");
}

TEST_F(Registration, SecondNickBeforeUserReplacesTheFirst)
{
    EXPECT_EQ(reply(1, "NICK alice"), "");
    EXPECT_EQ(reply(1, "NICK alicia"), "");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(reply(2, "NICK alice"), "");  // the first nick is free again
    EXPECT_EQ(reply(1, "USER al h s :A"), motd("alicia"));
    EXPECT_EQ(daemon.take(), "ADDUSER alicia\r\n");
}

TEST_F(Registration, UserWithoutAllFourParametersNeverCompletes)
{
    parse(1, "NICK alice");
    for (const char *line : {"USER", "USER   ", "USER al", "USER al h", "USER al h s", "USER al h s Alice",
                             "USER al h s Alice :A"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(reply(1, line), NOT_ENOUGH);
        EXPECT_EQ(connections[1].registered, 0);
    }
    // What was stored before the refusal stays; the real name, never reached, stays empty.
    EXPECT_STREQ(connections[1].userName, "al");
    EXPECT_STREQ(connections[1].serverName, "testhost");
    EXPECT_STREQ(connections[1].realName, "");

    // A failing USER still looks the host up first.
    EXPECT_EQ(reply(2, "USER"), NOT_ENOUGH);
    EXPECT_STREQ(connections[2].hostName, STUB_CLIENT_HOST);
    EXPECT_EQ(reply(2, "NICK bob"), "");
    EXPECT_EQ(connections[2].registered, 0);
    EXPECT_EQ(daemon.take(), "");
}

TEST_F(Registration, RealNameIsTheWordsEachFollowedByOneSpace)
{
    parse(1, "USER al h s :John     Smith");
    EXPECT_STREQ(connections[1].realName, "John Smith ");
    parse(1, "USER al h s :");
    EXPECT_STREQ(connections[1].realName, " ");
    parse(1, "USER al h s   :a   b:c  d   ");
    EXPECT_STREQ(connections[1].realName, "a b:c d ");
    parse(1, "USER al h s : x");
    EXPECT_STREQ(connections[1].realName, " x ");
    // Only the first of the four parameters is kept from the ones before the trailing one.
    EXPECT_STREQ(connections[1].userName, "al");
    EXPECT_EQ(client(1).take(), "");
}

TEST_F(Registration, SecondUserAfterRegistrationIsRefusedAndChangesNothing)
{
    registerUser(1, "alice");
    EXPECT_EQ(reply(1, "USER other h s :Other"), numeric("462 :You may not reregister"));
    EXPECT_EQ(reply(1, "USER"), numeric("462 :You may not reregister"));
    EXPECT_STREQ(connections[1].userName, "alice_u");
    EXPECT_STREQ(connections[1].realName, "Real alice ");
    EXPECT_EQ(daemon.take(), "");
}

TEST_F(Registration, NickChangeReachesEveryMemberAndTheDaemon)
{
    for (auto [slot, nick] : {std::pair{1, "alice"}, {2, "bob"}, {3, "carol"}}) {
        registerUser(slot, nick);
        joinAs(slot, "#a");
    }
    // The second rename shows that the user's name and host in the prefix stay those of the
    // registration, whatever the nick has become.
    const std::vector<std::pair<std::string, std::string>> renames = {{"bob", "bobby"}, {"bobby", "bo"}};
    for (const auto &[from, to] : renames) {
        SCOPED_TRACE(to);
        parse(2, "NICK " + to);
        const std::string renamed = crlf(":" + from + "!bob_u@client.test NICK " + to);
        for (int slot : {1, 2, 3}) EXPECT_EQ(client(slot).take(), renamed) << slot;
        EXPECT_EQ(client(4).take(), "");
        EXPECT_EQ(daemon.take(), "REMOVEUSER " + from + "\r\nADDUSER " + to + "\r\n");
        EXPECT_EQ(membersOf("#a"), (std::vector<std::string>{"alice", to, "carol"}));
    }
}

TEST_F(Registration, NickChangeOutsideAChannelOnlyTellsTheDaemon)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    EXPECT_EQ(reply(1, "NICK alicia"), "");
    EXPECT_EQ(client(2).take(), "");
    EXPECT_EQ(daemon.take(), "REMOVEUSER alice\r\nADDUSER alicia\r\n");
    EXPECT_EQ(connections[1].registered, 1);
}

TEST_F(Registration, QuitBeforeRegistrationIsRefusedAndKeepsTheConnection)
{
    parse(1, "NICK alice");
    const int sock = connections[1].sock;
    EXPECT_EQ(reply(1, "QUIT :bye"), numeric("451 :You have not registered"));
    EXPECT_EQ(connections[1].sock, sock);
    EXPECT_STREQ(connections[1].nick, "alice");
    EXPECT_EQ(daemon.take(), "");
}

TEST_F(Registration, QuitOfTheLastMemberRemovesTheChannelThenTheUser)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    joinAs(1, "#a");
    joinAs(2, "#b");
    parse(1, "QUIT :going now");
    EXPECT_EQ(client(1).take(), leftNotice("alice"));
    EXPECT_TRUE(client(1).hungUp());
    EXPECT_EQ(daemon.take(), "REMOVECHAN #a\r\nREMOVEUSER alice\r\n");
    EXPECT_EQ(client(2).take(), "");
    EXPECT_EQ(connections[1].sock, 0);
    EXPECT_EQ(connections[1].registered, 0);
    EXPECT_STREQ(connections[1].nick, "");
    EXPECT_EQ(channelNames(), std::vector<std::string>{"#b"});
}

TEST_F(Registration, VerboseOneReportsTheDetailsOfEveryCompleteUser)
{
    argList.verbose = 1;
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    parse(1, "USER al h s :Alice  A");
    parse(1, "USER al h");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Command[1]: USER al h s :Alice  A\n"
              "\nUser Registered As: \n\tuserName: al\n\thostName: client.test\n\tserverName: testhost"
              "\n\trealName: Alice A \n\n"
              "Command[1]: USER al h\n");

    argList.verbose = 2;
    testing::internal::CaptureStdout();
    parse(2, "USER bo h s :Bob");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// While the host name is looked up, the client's later lines wait, so its replies come in the
// order it asked: the MOTD first, then the answers to what it sent behind USER.
TEST_F(Registration, LinesBehindAPendingLookupWaitForItsAnswer)
{
    stubDefersLookups = true;
    client(1).send("NICK alice\r\nUSER u h s :Alice\r\nWHO #none\r\nJOIN #a\r\n");
    recvData(1);
    stubDefersLookups = false;
    EXPECT_EQ(client(1).take(), "");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(connections[1].registered, 0);

    hostNameFound(1, connections[1].serial, "late.test");
    EXPECT_STREQ(connections[1].hostName, "late.test");
    EXPECT_EQ(client(1).take(), motd("alice") + numeric("431 :No such channel exists on this server") +
                                    joinReplies("alice", "#a", "alice"));
    EXPECT_EQ(daemon.take(), "ADDUSER alice\r\nADDCHAN #a\r\n");
}

// An answer that comes after its client left is not given to whoever holds the slot now, and a
// refused USER still waits for its name before the next line.
TEST_F(Registration, LateLookupAnswersReachOnlyTheirOwnConnection)
{
    stubDefersLookups = true;
    connections[2].serial = 41;
    parse(2, "USER u h s");
    EXPECT_EQ(client(2).take(), NOT_ENOUGH);
    EXPECT_EQ(connections[2].holdInput, 1);
    hostNameFound(2, 40, "stale.test");
    EXPECT_STREQ(connections[2].hostName, "");
    EXPECT_EQ(connections[2].holdInput, 1);
    hostNameFound(2, 41, nullptr);
    stubDefersLookups = false;
    EXPECT_STREQ(connections[2].hostName, "127.0.0.1");
    EXPECT_EQ(connections[2].holdInput, 0);
    EXPECT_EQ(client(2).take(), "");
}

TEST_F(Registration, HostNameFallsBackToTheAddressAndEveryFieldIsBounded)
{
    std::snprintf(connections[1].ip, sizeof connections[1].ip, "%s", "10.9.8.7");
    parse(1, "NICK alice");
    EXPECT_EQ(reply(1, "USER al h s :A"), motd("alice"));
    EXPECT_STREQ(connections[1].hostName, "10.9.8.7");

    std::snprintf(connections[2].ip, sizeof connections[2].ip, "%s", STUB_LONG_NAME_IP);
    const std::string longWord(600, 'w');
    parse(2, "USER " + longWord + " h s :" + longWord + " " + longWord);
    EXPECT_EQ(std::string(connections[2].hostName), std::string(511, 'h'));
    EXPECT_EQ(std::string(connections[2].userName), std::string(511, 'w'));
    EXPECT_EQ(std::string(connections[2].realName), std::string(511, 'w'));
    parse(2, "NICK abcdefghijklmnop");
    EXPECT_STREQ(connections[2].nick, "abcdefghi");
    EXPECT_EQ(connections[2].registered, 1);
    // Neighbouring fields were not overrun.
    EXPECT_STREQ(connections[2].serverName, "testhost");
    EXPECT_STREQ(connections[2].ip, STUB_LONG_NAME_IP);
}

}  // namespace
