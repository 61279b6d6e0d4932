// parseCmd: which word a line names, the registration gates, and the daemon link's lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/connections.h"
#include "irc/dispatch.h"
#include "support/client_end.h"
#include "support/expected_lines.h"
#include "support/tables.h"

namespace {

constexpr int SLOT = 3;
const std::string NOT_REGISTERED = expected::notRegistered("testhost");
const std::string REREGISTER = ":testhost 462 :You may not reregister\r\n";
std::string unknownCommand(const std::string &word) { return expected::unknownCommand("testhost", word); }

class Dispatch : public ::testing::Test {
protected:
    // parseCmd cuts the line up in place, so each call gets its own writable copy.
    void parse(const std::string &text, int slot = SLOT)
    {
        std::vector<char> line(text.begin(), text.end());
        line.push_back('\0');
        parseCmd(line.data(), slot);
    }
    std::string reply(const std::string &text)
    {
        parse(text);
        return client.take();
    }

    FreshTables tables{"testhost"};
    ClientEnd daemon = attachClient(DAEMON_SLOT);
    ClientEnd client = attachClient(SLOT);
};

TEST_F(Dispatch, WordsAreMatchedExactlyAndQuotedAsSent)
{
    EXPECT_EQ(reply("nick bob"), unknownCommand("nick"));
    EXPECT_EQ(reply("Nick bob"), unknownCommand("Nick"));
    EXPECT_EQ(reply("NICKX bob"), unknownCommand("NICKX"));
    EXPECT_EQ(reply(":prefix NICK bob"), unknownCommand(":prefix"));
    // Only spaces separate words: the tab belongs to the word.
    EXPECT_EQ(reply("NICK\talice"), unknownCommand("NICK\talice"));
    EXPECT_EQ(reply("   HELLO    there  "), unknownCommand("HELLO"));
}

TEST_F(Dispatch, LineOfSpacesDrawsNoReply)
{
    EXPECT_EQ(reply("      "), "");
    EXPECT_EQ(daemon.take(), "");
}

TEST_F(Dispatch, RegisteredCommandsRefuseAnUnregisteredClient)
{
    for (const char *line : {"JOIN #a", "PART #a", "PRIVMSG bob :hi", "QUIT", "  QUIT  :bye"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(reply(line), NOT_REGISTERED);
    }
    EXPECT_NE(connections[SLOT].sock, 0);
}

// The exact replies answer LIST and WHO before registration; the profile refuses them like JOIN.
TEST_F(Dispatch, ListAndWhoNeedRegistrationInTheProfileOnly)
{
    ClientEnd alice = attachClient(1);
    for (const char *line : {"NICK alice", "USER al h s :Al", "JOIN #a"}) parse(line, 1);
    EXPECT_EQ(reply("LIST"), ":testhost 321  Channel :Users Name\r\n:testhost 322  #a :1\r\n:testhost 323  :End of /LIST\r\n");
    const std::string who = reply("WHO #a");
    EXPECT_EQ(who.rfind(":testhost 352  #a al ", 0), 0u) << who;
    EXPECT_NE(who.find("\r\n:testhost 315  #a :End of /WHO list.\r\n"), std::string::npos) << who;
    replyMode = Replies::Client;
    for (const char *line : {"LIST", "WHO #a", "WHO"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(reply(line), ":testhost 451 * :You have not registered\r\n");
    }
}

TEST_F(Dispatch, UserRefusesARegisteredClient)
{
    connections[SLOT].registered = 1;
    EXPECT_EQ(reply("USER x"), REREGISTER);
    EXPECT_EQ(reply("USER"), REREGISTER);
}

// Another node's line is taken before its connection is a client, so on a client's connection,
// registered or not, FORWARD is a word like any unknown one and carries nothing anywhere.
TEST_F(Dispatch, ForwardIsNoClientCommand)
{
    for (int registered : {0, 1}) {
        SCOPED_TRACE(registered ? "registered" : "unregistered");
        connections[SLOT].registered = registered;
        for (const char *line : {"FORWARD 1 :alice PRIVMSG", "FORWARD 1 :alice PRIVMSG bob hi", "FORWARD", "  FORWARD   x"}) {
            SCOPED_TRACE(line);
            EXPECT_EQ(reply(line), unknownCommand("FORWARD"));
            EXPECT_EQ(daemon.take(), "");
        }
        EXPECT_EQ(reply("forward 1 :alice PRIVMSG bob hi"), unknownCommand("forward"));
    }
}

TEST_F(Dispatch, DaemonLinkLinesAreNeverCommands)
{
    for (const char *line : {"NICK bob", "FOO bar", "JOIN #a", "   "}) {
        SCOPED_TRACE(line);
        parse(line, DAEMON_SLOT);
        EXPECT_EQ(daemon.take(), "");
        EXPECT_EQ(client.take(), "");
    }
}

TEST_F(Dispatch, VerboseOneTracesTheRawLine)
{
    argList.verbose = 1;
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    parse("  FOO  bar");
    parse("NICK bob", DAEMON_SLOT);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Command[3]:   FOO  bar\nCommand[0]: NICK bob\n");
    EXPECT_EQ(client.take(), unknownCommand("FOO"));

    argList.verbose = 2;
    testing::internal::CaptureStdout();
    parse("FOO");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(LineCursor, SplitsOnRunsOfSpacesInPlace)
{
    char line[] = "  PRIVMSG   bob\tx  :hi there ";
    LineCursor cur{line};
    EXPECT_STREQ(cur.next(), "PRIVMSG");
    EXPECT_STREQ(cur.next(), "bob\tx");
    EXPECT_STREQ(cur.next(), ":hi");
    char *last = cur.next();
    EXPECT_STREQ(last, "there");
    EXPECT_EQ(cur.next(), nullptr);
    EXPECT_EQ(cur.next(), nullptr);
    // The words are pieces of the line itself.
    EXPECT_EQ(last, line + 23);

    char spaces[] = "    ";
    LineCursor none{spaces};
    EXPECT_EQ(none.next(), nullptr);
}

}  // namespace
