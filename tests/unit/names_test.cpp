// Names in the client profile: the ascii casemapping that every table and daemon request goes by,
// names kept as registered in replies, and names over the limit refused rather than cut.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/names.h"
#include "irc/network_members.h"
#include "irc/registration.h"
#include "routing/route_cache.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;


struct NamePair {
    const char *a, *b;
    bool sameExact, sameProfile;
};

TEST(Casemapping, FoldsTheAsciiLettersOnlyAndOnlyInTheProfile)
{
    // ascii, not rfc1459: the brackets and the backslash stay apart from the braces and the bar.
    const NamePair cases[] = {
        {"alice", "alice", true, true},   {"alice", "ALICE", false, true}, {"#Room", "#rOOM", false, true},
        {"a[b]", "a{b}", false, false},   {"a\\b", "a|b", false, false},   {"a^", "a~", false, false},
        {"alice", "alic", false, false},  {"alic", "alice", false, false}, {"", "", true, true},
        {"\xc9t\xc9", "\xe9t\xe9", false, false},  {"@", "`", false, false}, {"Z", "z", false, true},
    };
    for (int profile : {0, 1}) {
        replyMode = profile ? Replies::Client : Replies::Exact;
        for (const NamePair &c : cases) {
            SCOPED_TRACE(std::string(c.a) + " / " + c.b + (profile ? " profile" : " exact"));
            const bool same = profile ? c.sameProfile : c.sameExact;
            EXPECT_EQ(sameName(c.a, c.b), same);
            EXPECT_EQ(sameName(c.b, c.a), same);
            if (same) {
                EXPECT_EQ(hashName(c.a), hashName(c.b));
            }
        }
    }
    char folded[6];
    foldNameInto(folded, sizeof folded, "#ROOM-Long");
    EXPECT_STREQ(folded, "#room");
    replyMode = Replies::Exact;
    foldNameInto(folded, sizeof folded, "#ROOM");
    EXPECT_STREQ(folded, "#ROOM");
}

// At the limit and one past it: the exact replies cut, the profile refuses.
TEST(Casemapping, TakeNameCutsOrRefusesWhatIsTooLong)
{
    struct Case {
        const char *word;
        int profile;
        bool taken;
        const char *kept;
    };
    const Case cases[] = {
        {"abcdefghi", 0, true, "abcdefghi"},  {"abcdefghij", 0, true, "abcdefghi"},
        {"abcdefghi", 1, true, "abcdefghi"},  {"abcdefghij", 1, false, ""},
        {"", 1, true, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.word) + (c.profile ? " profile" : " exact"));
        replyMode = c.profile ? Replies::Client : Replies::Exact;
        char name[NICK_MAX + 1] = {};
        EXPECT_EQ(takeName(name, c.word), c.taken);
        EXPECT_STREQ(name, c.kept);
    }
    replyMode = Replies::Exact;
}

class Names : public IrcSession {
protected:
    Names()
    {
        takeProfile();
        curr_nodeID = 1;
    }
};

// Each table of this node finds a name in any case, and the daemon hears every name folded.
TEST_F(Names, NicksAreFoundInAnyCaseAndKeepTheirOwnInReplies)
{
    parse(1, "NICK Alice");
    EXPECT_EQ(daemon.take(), "NEXTHOP alice\r\n");
    parse(DAEMON_SLOT, "NONE");
    parse(1, "USER alice_u h s :Alice");
    EXPECT_EQ(daemon.take(), "ADDUSER alice\r\n");
    registerUser(2, "bob");
    drain();
    for (const char *nick : {"alice", "ALICE", "aLiCe"}) {
        SCOPED_TRACE(nick);
        EXPECT_EQ(findUser(nick), 1);
        EXPECT_EQ(checkNick(nick), 0);
        EXPECT_EQ(reply(2, std::string("NICK ") + nick), numeric(std::string("433 bob ") + nick + " :Nickname is already in use"));
        parse(2, std::string("PRIVMSG ") + nick + " :hi");
        EXPECT_EQ(client(1).take(), crlf(":" + prefixOf("bob") + " PRIVMSG Alice :hi"));
    }
    EXPECT_EQ(daemon.take(), "");
    // Her own nick in another case is a change of case, asked of the daemon like any nick.
    parse(1, "NICK ALICE");
    EXPECT_EQ(daemon.take(), "NEXTHOP alice\r\n");
    parse(DAEMON_SLOT, "NONE");
    EXPECT_STREQ(connections[1].nick, "ALICE");
    EXPECT_EQ(daemon.take(), "REMOVEUSER alice\r\nADDUSER alice\r\n");
    // A nick elsewhere is asked for folded, and the line keeps the case the sender typed.
    parse(2, "PRIVMSG CAROL :hi");
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    EXPECT_STREQ(msgQueue.slots[msgQueue.replySlot].target, "CAROL");
}

TEST_F(Names, ChannelsAreOneInAnyCaseUnderTheNameTheyWereOpenedWith)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    parse(1, "JOIN #Room");
    EXPECT_EQ(daemon.take(), "ADDCHAN #room\r\n");
    drain();
    EXPECT_EQ(reply(2, "JOIN #ROOM"), crlf(":" + prefixOf("bob") + " JOIN #Room") + numeric("353 bob = #Room :@alice bob") +
                                          numeric("366 bob #Room :End of /NAMES list"));
    EXPECT_EQ(client(1).take(), crlf(":" + prefixOf("bob") + " JOIN #Room"));
    EXPECT_EQ(channelNames(), std::vector<std::string>{"#Room"});
    EXPECT_EQ(reply(2, "JOIN #room"), "");  // a member already
    parse(2, "PRIVMSG #rOOm :hi");
    EXPECT_EQ(client(1).take(), crlf(":" + prefixOf("bob") + " PRIVMSG #Room :hi"));
    EXPECT_EQ(daemon.take(), "NEXTHOPS 1 #room\r\n");
    parse(DAEMON_SLOT, "OK");
    EXPECT_EQ(reply(2, "PART #ROOM"), crlf(":" + prefixOf("bob") + " PART #Room"));
    EXPECT_EQ(client(1).take(), crlf(":" + prefixOf("bob") + " PART #Room"));
    EXPECT_EQ(reply(1, "PART #room"), crlf(":" + prefixOf("alice") + " PART #Room"));
    EXPECT_EQ(daemon.take(), "REMOVECHAN #room\r\n");
}

TEST_F(Names, OtherNodesMembersAndRoutesAreFoundInAnyCase)
{
    sizeNetworkMembers(4, 2);
    const int zed = addNetworkMember(2, "Zed!z@far.example");
    ASSERT_GE(zed, 0);
    EXPECT_EQ(joinNetworkChannel(zed, "#Far", 5), 1);
    EXPECT_EQ(joinNetworkChannel(zed, "#FAR", 6), 0);  // the same channel, heard again
    for (const char *nick : {"zed", "ZED", "Zed"}) EXPECT_EQ(findNetworkMember(nick), zed) << nick;
    for (const char *channel : {"#far", "#FAR"}) {
        EXPECT_EQ(inNetworkChannel(zed, channel), 1) << channel;
        EXPECT_EQ(countNetworkMembers(channel), 1) << channel;
    }
    EXPECT_EQ(leaveNetworkChannel(zed, "#fAr"), 1);

    clearRouteCache();
    routeAnswered("Carol", 3, 100);
    EXPECT_EQ(cachedHop("CAROL", 101), 3u);
    routeAnswered("carol", 0, 102);  // gone, in whatever case the answer came
    EXPECT_EQ(cachedHop("Carol", 103), 0u);
    replyMode = Replies::Exact;
    routeAnswered("Carol", 3, 100);
    EXPECT_EQ(cachedHop("CAROL", 101), 0u);
    clearRouteCache();
}

// 432 and 479 name the whole word the client gave; the exact replies' cut stays in registration_test.
TEST_F(Names, LongNicksAndChannelNamesAreRefusedNotCut)
{
    EXPECT_EQ(reply(1, "NICK abcdefghij"), numeric("432 * abcdefghij :Erroneus nickname"));
    EXPECT_STREQ(connections[1].nick, "");
    EXPECT_EQ(daemon.take(), "");
    registerUser(1, "abcdefghi");
    EXPECT_EQ(reply(1, "NICK abcdefghi1"), numeric("432 abcdefghi abcdefghi1 :Erroneus nickname"));
    EXPECT_STREQ(connections[1].nick, "abcdefghi");

    const std::string me = prefixOf("abcdefghi");
    EXPECT_EQ(reply(1, "JOIN #abcdefghi,#abcdefgh,#abcdefghij"),
              numeric("479 abcdefghi #abcdefghi :Illegal channel name") + crlf(":" + me + " JOIN #abcdefgh") +
                  numeric("353 abcdefghi = #abcdefgh :@abcdefghi") + numeric("366 abcdefghi #abcdefgh :End of /NAMES list") +
                  numeric("479 abcdefghi #abcdefghij :Illegal channel name"));
    EXPECT_EQ(channelNames(), std::vector<std::string>{"#abcdefgh"});
    EXPECT_EQ(reply(1, "PART #abcdefghX"), numeric("403 abcdefghi #abcdefghX :No such channel"));
    EXPECT_EQ(channelsOf(1), std::vector<std::string>{"#abcdefgh"});
}

// Each target of a list is answered on its own: delivered, asked of the daemon, or refused.
TEST_F(Names, EveryTargetOfAListIsAnsweredOnItsOwn)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    registerUser(3, "erin");
    parse(1, "PRIVMSG carol,BOB,#none,erin :hi");
    EXPECT_EQ(client(2).take(), crlf(":" + prefixOf("alice") + " PRIVMSG bob :hi"));
    EXPECT_EQ(client(3).take(), crlf(":" + prefixOf("alice") + " PRIVMSG erin :hi"));
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\nNEXTHOPS 1 #none\r\n");
    parse(DAEMON_SLOT, "NONE");
    parse(DAEMON_SLOT, "NONE");
    EXPECT_EQ(client(1).take(), numeric("401 alice carol :No such nick/channel") + numeric("401 alice #none :No such nick/channel"));

    // Past the 005 line's MAXTARGETS, each further target hears 407; a NOTICE draws nothing.
    parse(1, "PRIVMSG bob,erin,bob,erin,bob,dave :x");
    EXPECT_EQ(client(2).take(), crlf(":" + prefixOf("alice") + " PRIVMSG bob :x") + crlf(":" + prefixOf("alice") + " PRIVMSG bob :x"));
    EXPECT_EQ(client(3).take(), crlf(":" + prefixOf("alice") + " PRIVMSG erin :x") + crlf(":" + prefixOf("alice") + " PRIVMSG erin :x"));
    EXPECT_EQ(client(1).take(), numeric("407 alice bob :Too many recipients") + numeric("407 alice dave :Too many recipients"));
    parse(1, "NOTICE carol,dave,bob,erin,frank :n");
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\nNEXTHOP dave\r\n");
    EXPECT_EQ(client(1).take(), "");
    parse(DAEMON_SLOT, "NONE");
    parse(DAEMON_SLOT, "NONE");
    EXPECT_EQ(client(1).take(), "");
}

// Once the routing queue has no room left for the sender (a list's later targets may find it so),
// a routed target hears 437; targets here still get the message.
TEST_F(Names, ATargetThatFindsNoRoutingRoomHears437)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    int asked = 0;
    while (roomForLines(1) > 0 && asked < MSG_QUEUE_SLOTS) {
        parse(1, "PRIVMSG far" + std::to_string(asked++) + " :fill");
    }
    daemon.take();
    ASSERT_EQ(roomForLines(1), 0);
    parse(1, "PRIVMSG bob,carol,dave :x");
    EXPECT_EQ(client(2).take(), crlf(":" + prefixOf("alice") + " PRIVMSG bob :x"));
    EXPECT_EQ(client(1).take(), routingBusy("alice", "carol") + routingBusy("alice", "dave"));
    EXPECT_EQ(daemon.take(), "");
}

}  // namespace
