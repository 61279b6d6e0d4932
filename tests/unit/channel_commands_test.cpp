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
    EXPECT_EQ(channelsOf(1), Names{"#abcdefgh"});

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
    EXPECT_EQ(channelsOf(1), Names{"#a"});
    EXPECT_EQ(membersOf("#a"), (Names{"alice", "bob"}));
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
    EXPECT_EQ(channelsOf(1), Names{"#a"});
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
    EXPECT_EQ(membersOf("#a"), (Names{"alice", "bob"}));
    EXPECT_EQ(membersOf("#abcdefgh"), (Names{"carol"}));
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
    EXPECT_EQ(channelNames(), Names{"#b"});
    EXPECT_EQ(membersOf("#b"), (Names{"bob", "alice"}));
    EXPECT_EQ(channelsOf(1), Names{"#b"});
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
    EXPECT_EQ(membersOf("#a"), (Names{"bob"}));
    EXPECT_EQ(membersOf("#c"), (Names{"alice"}));
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
    EXPECT_EQ(membersOf("#a"), (Names{"alice"}));
}

TEST_F(ChannelCommands, PartIgnoresTheNameItIsGiven)
{
    joinAs(1, "#a");
    joinAs(2, "#b");
    parse(1, "PART #b");
    EXPECT_EQ(client(1).take(), leftNotice("alice"));
    EXPECT_EQ(client(2).take(), "");
    EXPECT_EQ(daemon.take(), "REMOVECHAN #a\r\n");
    EXPECT_EQ(channelsOf(1), Names{});
    EXPECT_EQ(membersOf("#b"), (Names{"bob"}));
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

// Four client slots cannot fill the table of the exact replies; a smaller one shows its refusals.
TEST_F(ChannelCommands, FullTableRefusesANewChannelUnlessLeavingFreesASlot)
{
    sizeChannelTables({2, MAX_MEMBERS, 1}, 0);
    joinAs(1, "#a");
    joinAs(2, "#a");
    joinAs(3, "#c");  // the second channel: at the limit
    EXPECT_EQ(host.roomCount, 2);

    const std::string tableFull = numeric("405 alice #e :Cannot create channel, the channel table is full");
    EXPECT_EQ(reply(1, "JOIN #e"), tableFull);
    EXPECT_EQ(reply(1, "JOIN #efghijklmn"), numeric("405 alice #efghijkl :Cannot create channel, the channel table is full"));
    EXPECT_EQ(client(2).take(), "");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(membersOf("#a"), (Names{"alice", "bob"}));
    EXPECT_EQ(channelsOf(1), Names{"#a"});

    // carol alone in #c leaves it first, so her new channel fits.
    parse(3, "JOIN #e");
    EXPECT_EQ(client(3).take(), leftNotice("carol") + joinReplies("carol", "#e", "carol"));
    EXPECT_EQ(daemon.take(), "REMOVECHAN #c\r\nADDCHAN #e\r\n");
    EXPECT_EQ(channelNames(), (Names{"#a", "#e"}));
    // An existing channel can still be entered when the table is full.
    EXPECT_EQ(reply(1, "JOIN #e"), leftNotice("alice") + joinReplies("alice", "#e", "carol alice"));
}

TEST_F(ChannelCommands, FullChannelRefusesOneMemberMore)
{
    sizeChannelTables({MAX_ROOMS, 2, 1}, 0);
    joinAs(1, "#a");
    joinAs(2, "#b");
    joinAs(3, "#b");
    EXPECT_EQ(reply(1, "JOIN #b"), numeric("471 alice #b :Cannot join channel, the channel is full"));
    EXPECT_EQ(client(2).take(), "");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(membersOf("#a"), (Names{"alice"}));
    EXPECT_EQ(membersOf("#b"), (Names{"bob", "carol"}));
    EXPECT_EQ(reply(3, "JOIN #b"), "");  // its own channel, full or not, is joined silently

    // The last member is still let in.
    parse(2, "PART");
    drain();
    EXPECT_EQ(reply(1, "JOIN #b"), leftNotice("alice") + joinReplies("alice", "#b", "carol alice"));
    EXPECT_EQ(channelsOf(1), Names{"#b"});
}

// The client profile: JOIN and PART take lists, JOIN 0 leaves every channel, and each refusal
// is answered on its own and changes nothing.
class ProfileChannelCommands : public IrcSession {
protected:
    ProfileChannelCommands() { takeProfile(); }
    void SetUp() override
    {
        for (auto [slot, nick] : {std::pair{1, "alice"}, {2, "bob"}, {3, "carol"}}) registerUser(slot, nick);
    }
    static std::string joined(const std::string &nick, const std::string &channel, const std::string &names)
    {
        return crlf(":" + prefixOf(nick) + " JOIN " + channel) + expected::namesLine(SERVER, nick, channel, names) +
               expected::namesEnd(SERVER, nick, channel);
    }
    static std::string parted(const std::string &nick, const std::string &channel, const std::string &reason = "")
    {
        return crlf(":" + prefixOf(nick) + " PART " + channel + (reason.empty() ? "" : " :" + reason));
    }
};

TEST_F(ProfileChannelCommands, JoinListEntersEveryChannelAndKeepsTheOthers)
{
    // A name over the limit is refused, not cut: a cut one would be another channel.
    EXPECT_EQ(reply(1, "JOIN #a,#b,#abcdefghijk,#abcdefgh key1,key2"),
              joined("alice", "#a", "@alice") + joined("alice", "#b", "@alice") +
                  numeric("479 alice #abcdefghijk :Illegal channel name") + joined("alice", "#abcdefgh", "@alice"));
    EXPECT_EQ(daemon.take(), "ADDCHAN #a\r\nADDCHAN #b\r\nADDCHAN #abcdefgh\r\n");
    EXPECT_EQ(reply(2, "JOIN #b,,#a"), joined("bob", "#b", "@alice bob") + joined("bob", "#a", "@alice bob"));
    EXPECT_EQ(client(1).take(), crlf(":" + prefixOf("bob") + " JOIN #b") + crlf(":" + prefixOf("bob") + " JOIN #a"));
    // A channel it is in already is passed over without a word; a bad name is refused alone.
    EXPECT_EQ(reply(2, "JOIN #a,x,#c"), numeric("431 bob :Channel name should be preceded by & or # for servers") +
                                            joined("bob", "#c", "@bob"));
    EXPECT_EQ(channelsOf(1), (Names{"#a", "#b", "#abcdefgh"}));
    EXPECT_EQ(channelsOf(2), (Names{"#b", "#a", "#c"}));
    EXPECT_EQ(reply(3, "LIST"), listReply("carol", {{"#c", 1}, {"#abcdefgh", 1}, {"#b", 2}, {"#a", 2}}));
    EXPECT_EQ(client(1).take(), "");
}

TEST_F(ProfileChannelCommands, JoinZeroPartsEveryChannel)
{
    joinAs(1, "#a,#b,#c");
    joinAs(2, "#b");
    daemon.take();
    EXPECT_EQ(reply(1, "JOIN 0"), parted("alice", "#a") + parted("alice", "#b") + parted("alice", "#c"));
    EXPECT_EQ(client(2).take(), parted("alice", "#b"));
    EXPECT_EQ(daemon.take(), "REMOVECHAN #a\r\nREMOVECHAN #c\r\n");
    EXPECT_EQ(channelsOf(1), Names{});
    EXPECT_EQ(membersOf("#b"), Names{"bob"});
    // Only alone: in a list it is a name like any other, and without its prefix.
    EXPECT_EQ(reply(1, "JOIN #x,0,#y"), joined("alice", "#x", "@alice") +
                                            numeric("431 alice :Channel name should be preceded by & or # for servers") +
                                            joined("alice", "#y", "@alice"));
    EXPECT_EQ(channelsOf(1), (Names{"#x", "#y"}));
    EXPECT_EQ(reply(3, "JOIN 0"), "");
}

TEST_F(ProfileChannelCommands, PartTakesAListAndAReasonAndRefusesEachNameOnItsOwn)
{
    joinAs(1, "#a,#b,#c");
    joinAs(2, "#b");
    daemon.take();
    EXPECT_EQ(reply(1, "PART #a,#b :see you"), parted("alice", "#a", "see you") + parted("alice", "#b", "see you"));
    EXPECT_EQ(client(2).take(), parted("alice", "#b", "see you"));
    EXPECT_EQ(daemon.take(), "REMOVECHAN #a\r\n");
    const std::pair<const char *, std::string> refused[] = {
        {"PART", numeric("461 alice PART :Not enough parameters")},
        {"PART #zz", numeric("403 alice #zz :No such channel")},
        {"PART #b", numeric("442 alice #b :You're not on that channel")},
        {"PART #abcdefghijk", numeric("403 alice #abcdefghijk :No such channel")},  // not cut to #abcdefgh
        {"PART #zz,#c,#b", numeric("403 alice #zz :No such channel") + parted("alice", "#c") +
                               numeric("442 alice #b :You're not on that channel")},
    };
    for (const auto &[line, answer] : refused) {
        SCOPED_TRACE(line);
        EXPECT_EQ(reply(1, line), answer);
        EXPECT_EQ(client(2).take(), "");
    }
    EXPECT_EQ(daemon.take(), "REMOVECHAN #c\r\n");
    EXPECT_EQ(channelsOf(1), Names{});
    EXPECT_EQ(membersOf("#b"), Names{"bob"});
}

// A user in as many channels as it may be, a full channel and a full table: each refusal is one
// numeric to the requester, and nobody else, the daemon or the tables see any change.
TEST_F(ProfileChannelCommands, RefusedJoinsChangeNothing)
{
    sizeChannelTables({3, 2, 2}, MAX_NEIGHBORS);
    joinAs(1, "#a,#b");
    joinAs(2, "#a");
    joinAs(3, "#c");
    daemon.take();
    struct Row {
        int slot;
        const char *line;
        std::string answer;
    };
    const Row rows[] = {
        {1, "JOIN #c", numeric("405 alice #c :You have joined too many channels")},
        {3, "JOIN #a", numeric("471 carol #a :Cannot join channel (+l)")},
        {3, "JOIN #d", numeric("405 carol #d :Cannot create channel, the channel table is full")},
        {2, "JOIN #d,#a,#x", numeric("405 bob #d :Cannot create channel, the channel table is full") +
                                 numeric("405 bob #x :Cannot create channel, the channel table is full")},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(reply(r.slot, r.line), r.answer);
        for (int slot : {0, 1, 2, 3}) EXPECT_EQ(client(slot).take(), "") << slot;
        EXPECT_EQ(channelNames(), (Names{"#a", "#b", "#c"}));
        EXPECT_EQ(membersOf("#a"), (Names{"alice", "bob"}));
        EXPECT_EQ(channelsOf(1), (Names{"#a", "#b"}));
        EXPECT_EQ(channelsOf(2), Names{"#a"});
        EXPECT_EQ(channelsOf(3), Names{"#c"});
    }
    // A refusal in a list leaves the rest of it to go on; the user's own limit comes first.
    EXPECT_EQ(reply(2, "JOIN #d,#b"), numeric("405 bob #d :Cannot create channel, the channel table is full") +
                                          joined("bob", "#b", "@alice bob"));
    EXPECT_EQ(reply(2, "JOIN #c"), numeric("405 bob #c :You have joined too many channels"));
    // A channel deleted frees its slot of the table.
    EXPECT_EQ(reply(3, "PART #c"), parted("carol", "#c"));
    EXPECT_EQ(reply(3, "JOIN #d"), joined("carol", "#d", "@carol"));
}

}  // namespace
