// JOIN, PART, LIST and WHO as clients send them: names, moves between channels, listings and a
// table that is full.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "irc/channels.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;
using Names = std::vector<std::string>;

const std::string BAD_PREFIX = numeric("431 :Channel name should be preceded by & or # for servers");
const std::string NO_SUCH_CHANNEL = numeric("431 :No such channel exists on this server");

std::string listReply(const std::string &nick, const std::vector<std::pair<std::string, int>> &entries)
{
    std::string text = numeric("321 " + nick + " Channel :Users Name");
    for (const auto &[name, count] : entries) text += numeric("322 " + nick + " " + name + " :" + std::to_string(count));
    return text + numeric("323 " + nick + " :End of /LIST");
}

std::string whoEntry(const std::string &asker, const std::string &channel, const std::string &member,
                     const std::string &host = STUB_CLIENT_HOST)
{
    return expected::whoLine(SERVER, asker, channel, userNameOf(member), host, member, realNameOf(member));
}

std::string whoEnd(const std::string &asker, const std::string &channel) { return expected::whoEnd(SERVER, asker, channel); }

class ChannelCommands : public IrcSession {
protected:
    void SetUp() override
    {
        for (auto [slot, nick] : {std::pair{1, "alice"}, {2, "bob"}, {3, "carol"}}) registerUser(slot, nick);
    }
};

TEST_F(ChannelCommands, JoinCutsTheNameButWhoComparesItWhole)
{
    EXPECT_EQ(reply(1, "JOIN #abcdefghijk"), joinReplies("alice", "#abcdefgh", "alice"));
    EXPECT_EQ(daemon.take(), "ADDCHAN #abcdefgh\r\n");
    EXPECT_STREQ(connections[1].channel, "#abcdefgh");

    EXPECT_EQ(reply(2, "JOIN #abcdefghXYZ"), joinReplies("bob", "#abcdefgh", "alice bob"));
    EXPECT_EQ(client(1).take(), joinLine("bob", "#abcdefgh"));
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(host.roomCount, 1);

    EXPECT_EQ(reply(3, "WHO #abcdefghijk"), NO_SUCH_CHANNEL);
    EXPECT_EQ(reply(3, "WHO #abcdefgh extra"),
              whoEntry("carol", "#abcdefgh", "alice") + whoEntry("carol", "#abcdefgh", "bob") +
                  whoEnd("carol", "#abcdefgh"));
    EXPECT_EQ(reply(3, "WHO"), NO_SUCH_CHANNEL);
    EXPECT_EQ(reply(3, "WHO #abcdefg"), NO_SUCH_CHANNEL);

    // A comma is part of the name, so this is one channel and not two.
    EXPECT_EQ(reply(3, "JOIN #x,#y"), joinReplies("carol", "#x,#y", "carol"));
    EXPECT_EQ(daemon.take(), "ADDCHAN #x,#y\r\n");
}

TEST_F(ChannelCommands, NameWithoutPrefixIsRefusedAndTheUserStaysPut)
{
    joinAs(1, "#a");
    joinAs(2, "#a");
    for (const char *line : {"JOIN", "JOIN   ", "JOIN foo", "JOIN a#b", "JOIN :#a", "JOIN +a"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(reply(1, line), BAD_PREFIX);
    }
    EXPECT_EQ(client(2).take(), "");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_STREQ(connections[1].channel, "#a");
    EXPECT_EQ(membersOf(1), (Names{"alice", "bob"}));
}

// The daemons carry no name with a control byte, so such a channel could never be reached from
// another node: it is refused before it exists.
TEST_F(ChannelCommands, NameWithControlByteIsRefusedWith479)
{
    joinAs(1, "#a");
    EXPECT_EQ(reply(1, "JOIN #b\x1d"), numeric("479 alice #b\x1d :Illegal channel name"));
    EXPECT_EQ(reply(1, "JOIN #\x01x"), numeric("479 alice #\x01x :Illegal channel name"));
    EXPECT_EQ(reply(1, "JOIN #b\tc"), numeric("479 alice #b\tc :Illegal channel name"));
    EXPECT_EQ(daemon.take(), "");
    EXPECT_STREQ(connections[1].channel, "#a");
}

TEST_F(ChannelCommands, JoiningTheOwnChannelAgainIsSilent)
{
    joinAs(1, "#a");
    joinAs(2, "#a");
    joinAs(3, "#abcdefgh");
    for (auto [slot, line] : {std::pair{1, "JOIN #a"}, {2, "JOIN #a extra"}, {3, "JOIN #abcdefghZZ"}}) {
        SCOPED_TRACE(line);
        parse(slot, line);
        for (int peer : {0, 1, 2, 3}) EXPECT_EQ(client(peer).take(), "") << peer;
    }
    EXPECT_EQ(membersOf(1), (Names{"alice", "bob"}));
    EXPECT_EQ(membersOf(2), (Names{"carol"}));
}

TEST_F(ChannelCommands, AmpersandChannelsWorkLikeHashChannels)
{
    EXPECT_EQ(reply(1, "JOIN &x"), joinReplies("alice", "&x", "alice"));
    EXPECT_EQ(daemon.take(), "ADDCHAN &x\r\n");
    EXPECT_EQ(reply(2, "JOIN &x"), joinReplies("bob", "&x", "alice bob"));
    EXPECT_EQ(reply(3, "LIST"), listReply("carol", {{"&x", 2}}));
    EXPECT_EQ(reply(3, "WHO &x"), whoEntry("carol", "&x", "alice") + whoEntry("carol", "&x", "bob") + whoEnd("carol", "&x"));
    parse(1, "PART");
    parse(2, "PART &x");
    EXPECT_EQ(daemon.take(), "REMOVECHAN &x\r\n");
    EXPECT_EQ(host.roomCount, 0);
}

TEST_F(ChannelCommands, LeavingAnEmptiedChannelForAnExistingOne)
{
    joinAs(1, "#a");
    joinAs(2, "#b");
    parse(1, "JOIN #b");
    EXPECT_EQ(client(1).take(), leftNotice("alice") + joinReplies("alice", "#b", "bob alice"));
    EXPECT_EQ(daemon.take(), "REMOVECHAN #a\r\n");
    EXPECT_EQ(client(2).take(), joinLine("alice", "#b"));
    // #b has moved down into the slot that #a left.
    EXPECT_EQ(host.roomCount, 1);
    EXPECT_EQ(membersOf(1), (Names{"bob", "alice"}));
    EXPECT_STREQ(connections[1].channel, "#b");
}

TEST_F(ChannelCommands, LeavingASharedChannelForANewOne)
{
    joinAs(1, "#a");
    joinAs(2, "#a");
    parse(1, "JOIN #c");
    EXPECT_EQ(client(1).take(), leftNotice("alice") + joinReplies("alice", "#c", "alice"));
    EXPECT_EQ(daemon.take(), "ADDCHAN #c\r\n");
    EXPECT_EQ(client(2).take(), leftNotice("alice"));
    EXPECT_EQ(reply(2, "LIST"), listReply("bob", {{"#c", 1}, {"#a", 1}}));
    EXPECT_EQ(membersOf(1), (Names{"bob"}));
    EXPECT_EQ(membersOf(2), (Names{"alice"}));
}

TEST_F(ChannelCommands, ListAndWhoAnswerAnUnregisteredClientWithAnEmptyNick)
{
    EXPECT_EQ(reply(1, "LIST"), numeric("321 alice Channel :Users Name") + numeric("323 alice :End of /LIST"));
    joinAs(1, "#a");
    EXPECT_EQ(reply(4, "LIST #zzz"), numeric("321  Channel :Users Name") + numeric("322  #a :1") +
                                         numeric("323  :End of /LIST"));
    EXPECT_EQ(reply(4, "WHO #a"), whoEntry("", "#a", "alice") + whoEnd("", "#a"));
    EXPECT_EQ(reply(4, "WHO #b"), NO_SUCH_CHANNEL);
    EXPECT_EQ(reply(4, "JOIN #a"), numeric("451 :You have not registered"));
    EXPECT_EQ(reply(4, "PART"), numeric("451 :You have not registered"));
    EXPECT_EQ(membersOf(1), (Names{"alice"}));
}

TEST_F(ChannelCommands, PartIgnoresTheNameItIsGiven)
{
    joinAs(1, "#a");
    joinAs(2, "#b");
    parse(1, "PART #b");
    EXPECT_EQ(client(1).take(), leftNotice("alice"));
    EXPECT_EQ(client(2).take(), "");
    EXPECT_EQ(daemon.take(), "REMOVECHAN #a\r\n");
    EXPECT_STREQ(connections[1].channel, "");
    EXPECT_EQ(membersOf(1), (Names{"bob"}));
    EXPECT_EQ(reply(1, "PART #b"), "");
}

TEST_F(ChannelCommands, WhoShowsEachMemberFromItsOwnRecord)
{
    std::snprintf(connections[4].ip, sizeof connections[4].ip, "%s", "10.9.8.7");
    registerUser(4, "dave");
    joinAs(1, "#a");
    joinAs(4, "#a");
    EXPECT_EQ(reply(3, "WHO #a"),
              whoEntry("carol", "#a", "alice") + whoEntry("carol", "#a", "dave", "10.9.8.7") + whoEnd("carol", "#a"));
    // A renamed member is shown under its new nick, with the rest of its record unchanged.
    parse(4, "NICK dan");
    drain();
    EXPECT_EQ(reply(3, "WHO #a"), whoEntry("carol", "#a", "alice") +
                                      numeric("352 carol #a dave_u 10.9.8.7 testhost dan H :0 Real dave ") +
                                      whoEnd("carol", "#a"));
}

TEST_F(ChannelCommands, FullTableRefusesANewChannelUnlessLeavingFreesASlot)
{
    joinAs(1, "#a");
    joinAs(2, "#a");
    for (int r : {2, 3}) fakeRoom(r, "#f" + std::to_string(r), 1);
    joinAs(3, "#c");  // the fourth channel: at the limit
    EXPECT_EQ(host.roomCount, 4);

    const std::string tableFull = numeric("405 alice #e :Cannot create channel, the channel table is full");
    EXPECT_EQ(reply(1, "JOIN #e"), tableFull);
    EXPECT_EQ(reply(1, "JOIN #efghijklmn"), numeric("405 alice #efghijkl :Cannot create channel, the channel table is full"));
    EXPECT_EQ(client(2).take(), "");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(membersOf(1), (Names{"alice", "bob"}));
    EXPECT_STREQ(connections[1].channel, "#a");

    // carol alone in #c leaves it first, so her new channel fits.
    parse(3, "JOIN #e");
    EXPECT_EQ(client(3).take(), leftNotice("carol") + joinReplies("carol", "#e", "carol"));
    EXPECT_EQ(daemon.take(), "REMOVECHAN #c\r\nADDCHAN #e\r\n");
    EXPECT_EQ(host.roomCount, 4);
    EXPECT_STREQ(rooms[4].name, "#e");
    // An existing channel can still be entered when the table is full.
    EXPECT_EQ(reply(1, "JOIN #e"), leftNotice("alice") + joinReplies("alice", "#e", "carol alice"));
}

TEST_F(ChannelCommands, FullChannelRefusesTheEleventhMember)
{
    joinAs(1, "#a");
    joinAs(2, "#a");
    fakeRoom(2, "#nine", 9);
    fakeRoom(3, "#ten", 10);
    EXPECT_EQ(reply(1, "JOIN #ten"), numeric("471 alice #ten :Cannot join channel, the channel is full"));
    EXPECT_EQ(client(2).take(), "");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(membersOf(1), (Names{"alice", "bob"}));
    EXPECT_EQ(rooms[3].userCount, 10);

    // The tenth member is still let in; the other ghosts have no connection and get nothing.
    EXPECT_EQ(reply(3, "JOIN #nine"),
              joinReplies("carol", "#nine", "ghost0 ghost1 ghost2 ghost3 ghost4 ghost5 ghost6 ghost7 ghost8 carol"));
    EXPECT_EQ(rooms[2].userCount, 10);
    EXPECT_EQ(reply(3, "JOIN #nine"), "");  // its own channel, full or not, is joined silently
    EXPECT_EQ(reply(3, "JOIN #ten"), numeric("471 carol #ten :Cannot join channel, the channel is full"));
    EXPECT_STREQ(connections[3].channel, "#nine");
}

}  // namespace
