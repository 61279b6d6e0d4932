// The channel table: members leaving, channels deleted and moved down, and dropped connections.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "irc/channels.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;
using Names = std::vector<std::string>;

bool slotIsBlank(int roomSlot)
{
    static const Room blank{};
    return std::memcmp(&rooms[roomSlot], &blank, sizeof blank) == 0;
}

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
    EXPECT_EQ(membersOf(1), (Names{"alice", "carol"}));
    EXPECT_EQ(rooms[1].userCount, 2);
    EXPECT_EQ(rooms[1].users[2][0], '\0');
    EXPECT_STREQ(connections[2].channel, "");
    EXPECT_STREQ(connections[1].channel, "#a");
    EXPECT_EQ(host.roomCount, 1);
}

// Also: after the deletion the rest are found under their names, and a renamed member keeps its place.
TEST_F(Channels, DeletingTheFirstOfThreeMovesTheOthersDown)
{
    registerUser(4, "dave");
    joinAs(1, "#a");
    for (int slot : {2, 3}) joinAs(slot, "#b");
    joinAs(4, "#c");
    parse(1, "PART");
    EXPECT_EQ(client(1).take(), leftNotice("alice"));
    EXPECT_EQ(daemon.take(), "REMOVECHAN #a\r\n");
    EXPECT_EQ(host.roomCount, 2);
    EXPECT_STREQ(rooms[1].name, "#b");
    EXPECT_EQ(rooms[1].userCount, 2);
    EXPECT_EQ(membersOf(1), (Names{"bob", "carol"}));
    EXPECT_STREQ(rooms[2].name, "#c");
    EXPECT_EQ(membersOf(2), (Names{"dave"}));
    EXPECT_TRUE(slotIsBlank(3));

    EXPECT_EQ(reply(1, "LIST"), numeric("321 alice Channel :Users Name") + numeric("322 alice #c :1") +
                                    numeric("322 alice #b :2") + numeric("323 alice :End of /LIST"));
    EXPECT_EQ(checkChannel("#b"), 1);
    EXPECT_EQ(checkChannel("#c"), 2);
    EXPECT_EQ(checkChannel("#a"), -1);
    EXPECT_EQ(checkChannel(""), -1);

    parse(2, "NICK bert");
    EXPECT_EQ(membersOf(1), (Names{"bert", "carol"}));
    EXPECT_EQ(client(3).take(), crlf(":bob!bob_u@client.test NICK bert"));
    nickChannel(1, "carol", "cara");
    EXPECT_EQ(membersOf(1), (Names{"bert", "cara"}));
    EXPECT_EQ(client(3).take(), "");  // renaming the entry tells nobody
}

TEST_F(Channels, MemberOfTheLastChannelIsFoundThere)
{
    registerUser(4, "dave");
    joinAs(1, "#a");
    joinAs(2, "#b");
    for (int slot : {3, 4}) joinAs(slot, "#c");
    parse(4, "PART");
    for (int slot : {3, 4}) EXPECT_EQ(client(slot).take(), leftNotice("dave")) << slot;
    EXPECT_EQ(membersOf(3), (Names{"carol"}));
    parse(3, "PART");
    EXPECT_EQ(client(3).take(), leftNotice("carol"));
    EXPECT_EQ(daemon.take(), "REMOVECHAN #c\r\n");
    EXPECT_EQ(host.roomCount, 2);
    EXPECT_TRUE(slotIsBlank(3));
    EXPECT_EQ(membersOf(1), (Names{"alice"}));
    EXPECT_EQ(membersOf(2), (Names{"bob"}));
}

TEST_F(Channels, PartOutsideAChannelChangesNothing)
{
    parse(1, "PART");
    EXPECT_EQ(host.roomCount, 0);
    for (int slot : {2, 3}) joinAs(slot, "#a");
    parse(1, "PART #a");
    for (int slot : {0, 1, 2, 3}) EXPECT_EQ(client(slot).take(), "") << slot;
    EXPECT_EQ(membersOf(1), (Names{"bob", "carol"}));
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
    EXPECT_EQ(membersOf(1), (Names{"alice", "bob"}));
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
    EXPECT_EQ(membersOf(1), (Names{"alice", "carol"}));

    // A drop tells the daemon of the user before the channel, unlike QUIT.
    resetConnection(1);
    resetConnection(3);
    EXPECT_EQ(daemon.take(), "REMOVEUSER alice\r\nREMOVEUSER carol\r\nREMOVECHAN #a\r\n");
    EXPECT_EQ(host.roomCount, 0);
    EXPECT_TRUE(slotIsBlank(1));
}

}  // namespace
