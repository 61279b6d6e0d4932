// The channel table: members leaving, channels deleted while the others keep their order, dropped
// connections, and in the client profile a user in many channels whose QUIT and NICK reach each
// member once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "irc/channels.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;
using Names = std::vector<std::string>;

class Channels : public IrcSession {
protected:
    void SetUp() override
    {
        for (auto [slot, nick] : {std::pair{1, "alice"}, {2, "bob"}, {3, "carol"}}) registerUser(slot, nick);
    }
};

TEST_F(Channels, MiddleMemberLeavesAndTheOthersCloseUp)
{
    for (int slot : {1, 2, 3}) joinAs(slot, "#a");
    parse(2, "PART");
    for (int slot : {1, 2, 3}) EXPECT_EQ(client(slot).take(), leftNotice("bob")) << slot;
    EXPECT_EQ(client(4).take(), "");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(membersOf("#a"), (Names{"alice", "carol"}));
    EXPECT_EQ(rooms[checkChannel("#a")].userCount, 2);
    EXPECT_EQ(channelsOf(2), Names{});
    EXPECT_EQ(channelsOf(1), Names{"#a"});
    EXPECT_EQ(host.roomCount, 1);
}

// Also: after the deletion the rest are found under their names, a renamed member keeps its
// place, and a new channel comes last though it takes the slot that was freed.
TEST_F(Channels, DeletingTheFirstOfThreeKeepsTheOthersInOrder)
{
    registerUser(4, "dave");
    joinAs(1, "#a");
    for (int slot : {2, 3}) joinAs(slot, "#b");
    joinAs(4, "#c");
    const int slotOfA = checkChannel("#a");
    parse(1, "PART");
    EXPECT_EQ(client(1).take(), leftNotice("alice"));
    EXPECT_EQ(daemon.take(), "REMOVECHAN #a\r\n");
    EXPECT_EQ(channelNames(), (Names{"#b", "#c"}));
    EXPECT_EQ(membersOf("#b"), (Names{"bob", "carol"}));
    EXPECT_EQ(membersOf("#c"), (Names{"dave"}));
    EXPECT_EQ(rooms[slotOfA].userCount, 0);
    EXPECT_STREQ(rooms[slotOfA].name, "");

    EXPECT_EQ(reply(1, "LIST"), numeric("321 alice Channel :Users Name") + numeric("322 alice #c :1") +
                                    numeric("322 alice #b :2") + numeric("323 alice :End of /LIST"));
    EXPECT_GT(checkChannel("#b"), 0);
    EXPECT_GT(checkChannel("#c"), 0);
    EXPECT_NE(checkChannel("#b"), checkChannel("#c"));
    EXPECT_EQ(checkChannel("#a"), -1);
    EXPECT_EQ(checkChannel(""), -1);

    parse(2, "NICK bert");
    EXPECT_EQ(membersOf("#b"), (Names{"bert", "carol"}));
    EXPECT_EQ(client(3).take(), crlf(":bob!bob_u@client.test NICK bert"));

    joinAs(1, "#d");
    EXPECT_EQ(checkChannel("#d"), slotOfA);
    EXPECT_EQ(channelNames(), (Names{"#b", "#c", "#d"}));
    EXPECT_EQ(reply(1, "LIST"), numeric("321 alice Channel :Users Name") + numeric("322 alice #d :1") +
                                    numeric("322 alice #c :1") + numeric("322 alice #b :2") +
                                    numeric("323 alice :End of /LIST"));
}

TEST_F(Channels, MemberOfTheLastChannelIsFoundThere)
{
    registerUser(4, "dave");
    joinAs(1, "#a");
    joinAs(2, "#b");
    for (int slot : {3, 4}) joinAs(slot, "#c");
    parse(4, "PART");
    for (int slot : {3, 4}) EXPECT_EQ(client(slot).take(), leftNotice("dave")) << slot;
    EXPECT_EQ(membersOf("#c"), (Names{"carol"}));
    parse(3, "PART");
    EXPECT_EQ(client(3).take(), leftNotice("carol"));
    EXPECT_EQ(daemon.take(), "REMOVECHAN #c\r\n");
    EXPECT_EQ(channelNames(), (Names{"#a", "#b"}));
    EXPECT_EQ(membersOf("#a"), (Names{"alice"}));
    EXPECT_EQ(membersOf("#b"), (Names{"bob"}));
}

TEST_F(Channels, PartOutsideAChannelChangesNothing)
{
    parse(1, "PART");
    EXPECT_EQ(host.roomCount, 0);
    for (int slot : {2, 3}) joinAs(slot, "#a");
    parse(1, "PART #a");
    for (int slot : {0, 1, 2, 3}) EXPECT_EQ(client(slot).take(), "") << slot;
    EXPECT_EQ(membersOf("#a"), (Names{"bob", "carol"}));
}

TEST_F(Channels, ConnectionClosingBeforeRegistrationTouchesNoChannel)
{
    for (int slot : {1, 2}) joinAs(slot, "#a");
    parse(4, "USER u h s :Someone");
    ASSERT_STREQ(connections[4].nick, "");
    resetConnection(4);
    EXPECT_TRUE(client(4).hungUp());

    ClientEnd silent = attachClient(4);
    resetConnection(4);
    EXPECT_TRUE(silent.hungUp());
    for (int slot : {0, 1, 2, 3}) EXPECT_EQ(client(slot).take(), "") << slot;
    EXPECT_EQ(membersOf("#a"), (Names{"alice", "bob"}));
    EXPECT_EQ(host.roomCount, 1);
}

TEST_F(Channels, DroppedMemberIsRemovedFromTheDaemonAndFromItsChannel)
{
    for (int slot : {1, 2, 3}) joinAs(slot, "#a");
    resetConnection(2);
    EXPECT_EQ(daemon.take(), "REMOVEUSER bob\r\n");
    // The leaver is told too, as on QUIT: a peer that is already gone just never reads it.
    for (int slot : {1, 2, 3}) EXPECT_EQ(client(slot).take(), leftNotice("bob")) << slot;
    EXPECT_TRUE(client(2).hungUp());
    EXPECT_EQ(connections[2].sock, 0);
    EXPECT_EQ(membersOf("#a"), (Names{"alice", "carol"}));

    // A drop tells the daemon of the user before the channel, unlike QUIT.
    resetConnection(1);
    resetConnection(3);
    EXPECT_EQ(daemon.take(), "REMOVEUSER alice\r\nREMOVEUSER carol\r\nREMOVECHAN #a\r\n");
    EXPECT_EQ(host.roomCount, 0);
    EXPECT_EQ(channelNames(), Names{});
}

// In the client profile a user stays in every channel it joins; whoever shares channels with it
// sees its NICK and its QUIT once, however many channels they share, and whoever shares none
// sees nothing.
class ManyChannels : public IrcSession {
protected:
    ManyChannels() { takeProfile(); }
    void SetUp() override
    {
        for (auto [slot, nick] : {std::pair{1, "alice"}, {2, "bob"}, {3, "carol"}, {4, "dave"}}) registerUser(slot, nick);
        joinAs(1, "#a,#b,#c");
        joinAs(2, "#c,#a,#b");
        joinAs(3, "#b");
        joinAs(4, "#d");
        daemon.take();
    }
};

TEST_F(ManyChannels, NickAndQuitReachEachMemberOnce)
{
    EXPECT_EQ(channelsOf(1), (Names{"#a", "#b", "#c"}));
    EXPECT_EQ(membersOf("#b"), (Names{"alice", "bob", "carol"}));
    parse(1, "NICK alicia");
    parse(DAEMON_SLOT, "NONE");
    const std::string renamed = crlf(":alice!alice_u@client.test NICK :alicia");
    for (int slot : {1, 2, 3}) EXPECT_EQ(client(slot).take(), renamed) << slot;
    EXPECT_EQ(client(4).take(), "");
    EXPECT_EQ(membersOf("#b"), (Names{"alicia", "bob", "carol"}));

    parse(1, "QUIT");
    const std::string quit = crlf(":alicia!alice_u@client.test QUIT :alicia has left the channel");
    for (int slot : {1, 2, 3}) EXPECT_EQ(client(slot).take(), quit) << slot;
    EXPECT_EQ(client(4).take(), "");
    EXPECT_EQ(daemon.take(), "NEXTHOP alicia\r\nREMOVEUSER alice\r\nADDUSER alicia\r\nREMOVEUSER alicia\r\n");
    EXPECT_EQ(membersOf("#a"), (Names{"bob"}));
    EXPECT_EQ(membersOf("#b"), (Names{"bob", "carol"}));
    EXPECT_EQ(membersOf("#c"), (Names{"bob"}));
}

// A message to one of the sender's channels reaches that channel's members only.
TEST_F(ManyChannels, ChannelMessagesReachTheirOwnChannelsMembers)
{
    const std::pair<const char *, std::vector<int>> rows[] = {{"#a", {2}}, {"#b", {2, 3}}, {"#d", {4}}};
    for (const auto &[channel, members] : rows) {
        SCOPED_TRACE(channel);
        parse(1, std::string("PRIVMSG ") + channel + " :hi");
        const std::string line = crlf(":alice!alice_u@client.test PRIVMSG " + std::string(channel) + " :hi");
        for (int slot : {1, 2, 3, 4}) {
            const bool member = std::find(members.begin(), members.end(), slot) != members.end();
            EXPECT_EQ(client(slot).take(), member ? line : "") << slot;
        }
        EXPECT_EQ(daemon.take(), "NEXTHOPS 0 " + std::string(channel) + "\r\n");
        parse(DAEMON_SLOT, "OK");
    }
}

// A dropped connection leaves every channel like QUIT; the channels it alone was in go, in the
// order it joined them.
TEST_F(ManyChannels, DroppedUserLeavesEveryChannelAndEmptiedOnesAreRemoved)
{
    joinAs(4, "#e,#b");
    resetConnection(4);
    const std::string quit = crlf(":dave!dave_u@client.test QUIT :dave has left the channel");
    for (int slot : {1, 2, 3}) EXPECT_EQ(client(slot).take(), quit) << slot;
    EXPECT_EQ(daemon.take(), "REMOVEUSER dave\r\nREMOVECHAN #d\r\nREMOVECHAN #e\r\n");
    EXPECT_EQ(channelNames(), (Names{"#a", "#b", "#c"}));
    EXPECT_EQ(channelsOf(4), Names{});
}

}  // namespace
