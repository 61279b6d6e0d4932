// Channels across nodes in the client profile: the table of other nodes' members, the notices
// this node sends along the nodes' channel, and what the notices of other nodes change here.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/clock.h"
#include "irc/member_notices.h"
#include "irc/network_members.h"
#include "irc/profile.h"
#include "irc/registration.h"
#include "routing/route_cache.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;
using Lines = std::vector<std::string>;

constexpr char ZED[] = "zed!z@far.example";

std::string notice(const std::string &sender, const std::string &keyword, const std::string &word, int src = 2)
{
    return "FORWARD " + std::to_string(src) + " :" + sender + " " + keyword + " &quorvel-nodes " + word;
}

TEST(NetworkMembers, TableKeepsEachPrefixApartAndEachMembersChannelsInOrder)
{
    resetTables("testhost");
    sizeNetworkMembers(3, 2);
    EXPECT_EQ(addNetworkMember(2, "zed!z@far.example"), 0);
    EXPECT_STREQ(networkMembers[0].nick, "zed");
    EXPECT_STREQ(networkMembers[0].user, "z");
    EXPECT_STREQ(networkMembers[0].host, "far.example");
    char prefix[PREFIX_SIZE];
    networkMemberPrefix(0, prefix);
    EXPECT_STREQ(prefix, "zed!z@far.example");
    for (const char *bad : {"zed", "zed!z", "zed!@h", "!z@h", "zed!z@", "abcdefghij!z@h"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(addNetworkMember(2, bad), -1);
    }
    EXPECT_EQ(joinNetworkChannel(0, "#a", 5), 1);
    EXPECT_EQ(joinNetworkChannel(0, "#a", 6), 0);  // heard again: only its time is renewed
    EXPECT_EQ(networkMembers[0].channels[0].heardAt, 6);
    EXPECT_EQ(joinNetworkChannel(0, "#b", 5), 1);
    EXPECT_EQ(joinNetworkChannel(0, "#c", 5), -1);  // two channels an entry here
    EXPECT_EQ(addNetworkMember(3, "n1!u@h"), 1);
    EXPECT_EQ(joinNetworkChannel(1, "#b", 5), 1);
    EXPECT_EQ(addNetworkMember(3, "n2!u@h"), 2);
    EXPECT_EQ(joinNetworkChannel(2, "#a", 5), 1);
    EXPECT_EQ(addNetworkMember(3, "late!u@h"), -1);  // three entries, and not one more
    EXPECT_EQ(countNetworkMembers("#a"), 2);
    EXPECT_EQ(countNetworkMembers("#b"), 2);
    EXPECT_EQ(membersOfNode(3), 2);
    EXPECT_EQ(firstOfChannel(0, 1), 1);
    EXPECT_EQ(firstOfChannel(1, 0), 0);
    EXPECT_EQ(firstOfChannel(2, 0), 0);

    EXPECT_EQ(leaveNetworkChannel(0, "#a"), 1);
    EXPECT_EQ(leaveNetworkChannel(0, "#a"), 0);
    EXPECT_STREQ(networkMembers[0].channels[0].name, "#b");
    EXPECT_EQ(inNetworkChannel(0, "#a"), 0);
    EXPECT_EQ(leaveNetworkChannel(0, "#b"), 1);  // in no channel now: the entry is freed
    EXPECT_EQ(findNetworkMember("zed"), -1);
    EXPECT_EQ(heardFromNode(2), 0);
    EXPECT_EQ(addNetworkMember(4, "late!u@h"), 0);  // the freed entry serves again
    EXPECT_EQ(networkMembers[0].channelCount, 0);
    resetTables("testhost");
}

class NetworkChannels : public IrcSession {
protected:
    NetworkChannels()
    {
        takeProfile();
        curr_nodeID = 1;
        addNeighbour(2, node2.port());
    }
    void registerUser(int slot, const std::string &nick)
    {
        parse(slot, "NICK " + nick);
        parse(DAEMON_SLOT, "NONE");
        parse(slot, "USER " + userNameOf(nick) + " somehost someserver :" + realNameOf(nick));
        ASSERT_EQ(connections[slot].registered, 1) << nick;
        drain();
    }
    // The daemon's answers to every request for the nodes' channel so far: none further.
    void answerNodeRequests()
    {
        while (messageWaiting()) parse(DAEMON_SLOT, "OK");
        daemon.take();
    }
    HopListener node2;
};

TEST_F(NetworkChannels, MembersJoinPartChangeNickAndQuitOnEveryNode)
{
    registerUser(1, "alice");
    parse(1, "JOIN #a");
    EXPECT_EQ(daemon.take(), "ADDCHAN #a\r\nNEXTHOPS 1 &quorvel-nodes\r\n");
    parse(DAEMON_SLOT, "OK 2");
    const std::string alice = prefixOf("alice");
    EXPECT_EQ(node2.take(1), Lines{notice(alice, "JOIN", "#a", 1) + "\r\n"});
    parse(1, "NICK alicia");
    parse(DAEMON_SLOT, "NONE");
    EXPECT_EQ(daemon.take(), "NEXTHOP alicia\r\nNEXTHOPS 1 &quorvel-nodes\r\nREMOVEUSER alice\r\nADDUSER alicia\r\n");
    parse(DAEMON_SLOT, "OK 2");
    // The channels of one line share one notice, and the user stays in those it had.
    parse(1, "JOIN #b,#c");
    parse(DAEMON_SLOT, "OK 2");
    parse(1, "PART #c");
    parse(DAEMON_SLOT, "OK 2");
    parse(1, "QUIT");
    parse(DAEMON_SLOT, "OK 2");
    const std::string alicia = "alicia!alice_u@" + std::string(STUB_CLIENT_HOST);
    EXPECT_EQ(node2.take(5), (Lines{notice(alice, "NICK", "alicia", 1) + "\r\n", notice(alicia, "JOIN", "#b #c", 1) + "\r\n",
                                    notice(alicia, "PART", "#c", 1) + "\r\n", notice(alicia, "QUIT", "#a #b", 1) + "\r\n"}));
}

TEST_F(NetworkChannels, OtherNodesMembersShowInNamesWhoAndListAndTheirNoticesReachMembersHere)
{
    registerUser(1, "bob");
    registerUser(2, "carol");
    joinAs(1, "#a");
    answerNodeRequests();
    EXPECT_EQ(forwardFrom(notice(ZED, "JOIN", "#a")), 1);
    EXPECT_EQ(client(1).take(), crlf(std::string(":") + ZED + " JOIN #a"));
    EXPECT_EQ(daemon.take(), "NEXTHOPS 2 &quorvel-nodes\r\n");  // and on down the tree
    parse(DAEMON_SLOT, "OK");
    // Heard again (a refresh), it changes nothing here but still goes on.
    EXPECT_EQ(forwardFrom(notice(ZED, "JOIN", "#a")), 1);
    EXPECT_EQ(client(1).take(), "");
    EXPECT_EQ(daemon.take(), "NEXTHOPS 2 &quorvel-nodes\r\n");
    parse(DAEMON_SLOT, "OK");
    EXPECT_EQ(forwardFrom(notice("yan!y@h", "JOIN", "#far")), 1);
    answerNodeRequests();

    EXPECT_EQ(reply(2, "JOIN #a"), crlf(":" + prefixOf("carol") + " JOIN #a") + numeric("353 carol = #a :@bob carol zed") +
                                        numeric("366 carol #a :End of /NAMES list"));
    answerNodeRequests();
    EXPECT_EQ(reply(2, "WHO #a"), numeric("352 carol #a bob_u client.test testhost bob H@ :0 Real bob") +
                                      numeric("352 carol #a carol_u client.test testhost carol H :0 Real carol") +
                                      numeric("352 carol #a z far.example * zed H :0 *") +
                                      numeric("315 carol #a :End of /WHO list."));
    EXPECT_EQ(reply(2, "WHO #far"), numeric("352 carol #far y h * yan H@ :0 *") + numeric("315 carol #far :End of /WHO list."));
    EXPECT_EQ(reply(2, "LIST"), numeric("321 carol Channel :Users Name") + numeric("322 carol #a :3") +
                                    numeric("322 carol #far :1") + numeric("323 carol :End of /LIST"));

    drain();
    EXPECT_EQ(forwardFrom(notice(ZED, "NICK", "zack")), 1);
    EXPECT_EQ(forwardFrom(notice("zack!z@far.example", "PART", "#a")), 1);
    for (int slot : {1, 2})
        EXPECT_EQ(client(slot).take(), crlf(std::string(":") + ZED + " NICK :zack") + crlf(":zack!z@far.example PART #a"));
    EXPECT_EQ(forwardFrom(notice("yan!y@h", "QUIT", "#far")), 1);
    EXPECT_EQ(findNetworkMember("zack"), -1);
    EXPECT_EQ(findNetworkMember("yan"), -1);
    EXPECT_EQ(reply(2, "WHO #far"), numeric("431 carol :No such channel exists on this server"));
    answerNodeRequests();
}

// What another node's notices may change drops the routes kept for the channel; a member
// announced again does not.
TEST_F(NetworkChannels, NoticesThatMayChangeAChannelsTreeDropItsKeptRoutes)
{
    struct Row {
        std::string notice;
        bool keepsA, keepsB;
    };
    const Row rows[] = {
        {notice(ZED, "JOIN", "#a"), false, true},
        {notice(ZED, "JOIN", "#a"), true, true},  // the period's refresh
        {notice(ZED, "NICK", "zack"), false, true},
        {notice("zack!z@far.example", "JOIN", "#b"), true, false},  // joins #b and stays in #a
        {notice("zack!z@far.example", "PART", "#b"), true, false},
        {notice("yan!y@h", "QUIT", "#a"), false, true},
        {notice("split", "SPLIT", "3"), false, false},
    };
    clearRouteCache();
    for (const Row &r : rows) {
        SCOPED_TRACE(r.notice);
        // Answered as if the last change had settled long ago.
        const long long later = nowMillis() + 1000;
        for (const char *channel : {"#a", "#b"}) channelHopsAnswered("2", channel, "3", later);
        EXPECT_EQ(forwardFrom(r.notice), 1);
        answerNodeRequests();
        uint32_t hops[CHANNEL_HOPS_MAX];
        EXPECT_EQ(cachedChannelHops("2", "#a", later, hops) >= 0, r.keepsA);
        EXPECT_EQ(cachedChannelHops("2", "#b", later, hops) >= 0, r.keepsB);
    }
    clearRouteCache();
}

TEST_F(NetworkChannels, NoticesThatNoNodeMaySendChangeNothing)
{
    registerUser(1, "bob");
    joinAs(1, "#a");
    answerNodeRequests();
    addNeighbour(3, 1);
    const std::vector<std::pair<std::string, unsigned>> refused = {
        {notice(ZED, "JOIN", "#a"), 0x0a000001},          // not from a node's address
        {notice(ZED, "PRIVMSG", "#a"), LOOPBACK},         // no membership keyword
        {notice(ZED, "JOIN", "a"), LOOPBACK},             // no channel
        {notice(ZED, "NICK", "9x"), LOOPBACK},            // no nick
        {notice("zed", "JOIN", "#a"), LOOPBACK},          // no user and host to show
        {notice(ZED, "JOIN", "#a", 1), LOOPBACK},         // this node's own
        {notice(ZED, "JOIN", "#a", 9), LOOPBACK},         // no node of the file
        {notice(prefixOf("bob"), "JOIN", "#b"), LOOPBACK},  // a nick of this node
    };
    for (const auto &[line, from] : refused) {
        SCOPED_TRACE(line);
        EXPECT_EQ(forwardFrom(line, from), 1);
        EXPECT_EQ(client(1).take(), "");
        EXPECT_EQ(countNetworkMembers("#a") + countNetworkMembers("#b"), 0);
        answerNodeRequests();
    }
    // Only the node that announced a member takes it out.
    ASSERT_EQ(forwardFrom(notice(ZED, "JOIN", "#a")), 1);
    answerNodeRequests();
    client(1).take();
    EXPECT_EQ(forwardFrom(notice(ZED, "PART", "#a", 3)), 1);
    EXPECT_EQ(forwardFrom(notice(ZED, "PART", "#b")), 1);
    EXPECT_EQ(client(1).take(), "");
    EXPECT_EQ(countNetworkMembers("#a"), 1);
    answerNodeRequests();
    // A member that another node announces under the same nick moved: the old entry leaves first.
    EXPECT_EQ(forwardFrom(notice("zed!z2@near", "JOIN", "#a", 3)), 1);
    EXPECT_EQ(client(1).take(), crlf(std::string(":") + ZED + " PART #a") + crlf(":zed!z2@near JOIN #a"));
    EXPECT_EQ(networkMembers[findNetworkMember("zed")].node, 3u);
    answerNodeRequests();
}

// A node has no more members than client slots: a flood of joins in its name (forged) takes only
// that many entries, and the refusals are traced.
TEST_F(NetworkChannels, EachNodeHoldsAtMostItsClientSlots)
{
    registerUser(1, "bob");
    joinAs(1, "#a");
    answerNodeRequests();
    addNeighbour(3, 1);
    argList.verbose = 1;
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 140; ++i) {
        EXPECT_EQ(forwardFrom(notice("m" + std::to_string(i) + "!u@h", "JOIN", "#a")), 1);
        answerNodeRequests();
    }
    const std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(countNetworkMembers("#a"), MAX_CONNECTIONS - 1);
    std::string joins;
    for (int i = 0; i < MAX_CONNECTIONS - 1; ++i) joins += crlf(":m" + std::to_string(i) + "!u@h JOIN #a");
    EXPECT_EQ(client(1).take(), joins);
    size_t refusals = 0;
    for (size_t at = 0; (at = trace.find("Member notice refused: node 2", at)) != std::string::npos; ++at) ++refusals;
    EXPECT_EQ(refusals, 140u - (MAX_CONNECTIONS - 1));
    // A member of a full node still joins more channels, and another node's member still joins.
    EXPECT_EQ(forwardFrom(notice("m0!u@h", "JOIN", "#b")), 1);
    EXPECT_EQ(forwardFrom(notice(ZED, "JOIN", "#a", 3)), 1);
    answerNodeRequests();
    EXPECT_EQ(client(1).take(), crlf(std::string(":") + ZED + " JOIN #a"));
    EXPECT_EQ(countNetworkMembers("#b"), 1);
}

// A member notice from a node with a higher ID showing a nick held here: that node's holder is
// the one to yield, so the next answer that names another node leaves the nick here; without
// such a notice since, the holder here yields, and the other nodes hear its NICK.
TEST_F(NetworkChannels, NickCollisionYieldsOnTheHigherNodeWhenItsNoticesShowIt)
{
    registerUser(1, "alice");
    joinAs(1, "#a");
    answerNodeRequests();
    node2.take(1);
    EXPECT_EQ(forwardFrom(notice("alice!a2@far", "JOIN", "#a")), 1);
    answerNodeRequests();
    EXPECT_EQ(client(1).take(), "");
    EXPECT_EQ(findNetworkMember("alice"), -1);
    recheckNicks();
    EXPECT_EQ(daemon.take(), "NEXTHOP alice\r\n");
    parse(DAEMON_SLOT, "OK 2 1");
    EXPECT_STREQ(connections[1].nick, "alice");
    recheckNicks();
    parse(DAEMON_SLOT, "OK 2 1");
    EXPECT_STREQ(connections[1].nick, "Guest0001");
    EXPECT_EQ(daemon.take(), "NEXTHOP alice\r\nNEXTHOPS 1 &quorvel-nodes\r\nREMOVEUSER alice\r\nADDUSER guest0001\r\n");
    parse(DAEMON_SLOT, "OK 2");
    EXPECT_EQ(node2.take(1), Lines{notice(prefixOf("alice"), "NICK", "Guest0001", 1) + "\r\n"});
}

// Every period each node announces its members again; a member whose node stopped doing so
// (dead, or cut off) leaves with a QUIT, and a node heard of for the first time gets ours soon.
TEST_F(NetworkChannels, RefreshAnnouncesAgainAndStaleMembersQuit)
{
    registerUser(1, "bob");
    joinAs(1, "#a");
    answerNodeRequests();
    const long long now = nowMillis();
    refreshMembers(now);
    // The member, then the channel's modes: bob opened it, and is its operator.
    EXPECT_EQ(daemon.take(), "NEXTHOPS 1 &quorvel-nodes\r\nNEXTHOPS 1 &quorvel-nodes\r\n");
    parse(DAEMON_SLOT, "OK 2");
    parse(DAEMON_SLOT, "OK 2");
    EXPECT_EQ(node2.take(2), (Lines{notice(prefixOf("bob"), "JOIN", "#a", 1) + "\r\n",
                                    notice("modes", "MODES", "#a 1 1 + @bob", 1) + "\r\n"}));

    ASSERT_EQ(forwardFrom(notice(ZED, "JOIN", "#a")), 1);
    answerNodeRequests();
    client(1).take();
    refreshMembers(now + 10 * 1000);  // within three periods of 5 s: kept
    answerNodeRequests();
    EXPECT_EQ(client(1).take(), "");
    refreshMembers(now + 60 * 1000);
    answerNodeRequests();
    EXPECT_EQ(client(1).take(), crlf(std::string(":") + ZED + " QUIT :zed has left the channel"));
    EXPECT_EQ(countNetworkMembers("#a"), 0);
}

TEST_F(NetworkChannels, NamesOfManyMembersTakeSeveralLines)
{
    for (int i = 0; i < 60; ++i)
        joinNetworkChannel(addNetworkMember(2, ("member" + std::to_string(i) + "!u@h").c_str()), "#a", nowMillis());
    registerUser(1, "bob");
    parse(1, "JOIN #a");
    const std::string got = client(1).take();
    answerNodeRequests();
    size_t lines = 0, names = 0;
    for (size_t at = 0, end; (end = got.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string line = got.substr(at, end - at);
        EXPECT_LE(line.size() + 2, static_cast<size_t>(LINE_SIZE));
        if (line.find(" 353 ") == std::string::npos) continue;
        ++lines;
        const std::string list = line.substr(line.find(" :") + 2);
        names += static_cast<size_t>(std::count(list.begin(), list.end(), ' ')) + 1;
    }
    EXPECT_EQ(lines, 2u);
    EXPECT_EQ(names, 61u);
}

// Another node's member in several channels: each member here that shares one sees its join in
// each, and its NICK, QUIT and split once; a notice's words that are no channel are dropped
// before it goes on down the tree.
TEST_F(NetworkChannels, MemberInManyChannelsIsSeenOncePerMemberHere)
{
    registerUser(1, "bob");
    registerUser(2, "carol");
    joinAs(1, "#a,#b");
    joinAs(2, "#c");
    answerNodeRequests();
    node2.take(1);
    EXPECT_EQ(forwardFrom(notice(ZED, "JOIN", "#a x #b #c")), 1);
    EXPECT_EQ(client(1).take(), crlf(std::string(":") + ZED + " JOIN #a") + crlf(std::string(":") + ZED + " JOIN #b"));
    EXPECT_EQ(client(2).take(), crlf(std::string(":") + ZED + " JOIN #c"));
    EXPECT_EQ(daemon.take(), "NEXTHOPS 2 &quorvel-nodes\r\n");
    parse(DAEMON_SLOT, "OK 2");
    EXPECT_EQ(node2.take(1), Lines{notice(ZED, "JOIN", "#a #b #c") + "\r\n"});

    const std::string zack = "zack!z@far.example";
    const std::pair<std::string, std::vector<std::string>> steps[] = {
        {notice(ZED, "NICK", "zack"), {crlf(std::string(":") + ZED + " NICK :zack"), crlf(std::string(":") + ZED + " NICK :zack")}},
        {notice(zack, "PART", "#b"), {crlf(":" + zack + " PART #b"), ""}},
        // A QUIT is the user's last word whatever channels it names.
        {notice(zack, "QUIT", "#c"), {crlf(":" + zack + " QUIT :zack has left the channel"),
                                      crlf(":" + zack + " QUIT :zack has left the channel")}},
        {notice(ZED, "JOIN", "#a #b #c"), {crlf(std::string(":") + ZED + " JOIN #a") + crlf(std::string(":") + ZED + " JOIN #b"),
                                           crlf(std::string(":") + ZED + " JOIN #c")}},
        {notice("split", "SPLIT", "2", 2), {crlf(std::string(":") + ZED + " QUIT :node2 node2"),
                                            crlf(std::string(":") + ZED + " QUIT :node2 node2")}},
    };
    for (const auto &[line, seen] : steps) {
        SCOPED_TRACE(line);
        EXPECT_EQ(forwardFrom(line), 1);
        EXPECT_EQ(client(1).take(), seen[0]);
        EXPECT_EQ(client(2).take(), seen[1]);
        answerNodeRequests();
    }
    EXPECT_EQ(findNetworkMember("zed"), -1);
}

// What this node tells the others of a user in many channels: one notice for a JOIN list, a
// JOIN 0 and a QUIT, and one line a member each period for all its channels, as many as fit.
TEST_F(NetworkChannels, ChannelsOfOneLineShareOneNotice)
{
    registerUser(1, "alice");
    answerNodeRequests();
    const std::string alice = prefixOf("alice");
    const std::pair<const char *, std::string> rows[] = {
        {"JOIN #a,#b,#c", notice(alice, "JOIN", "#a #b #c", 1)},
        {"JOIN 0", notice(alice, "PART", "#a #b #c", 1)},
        {"JOIN #d,#e", notice(alice, "JOIN", "#d #e", 1)},
        {"QUIT", notice(alice, "QUIT", "#d #e", 1)},
    };
    for (const auto &[line, sent] : rows) {
        SCOPED_TRACE(line);
        parse(1, line);
        EXPECT_NE(daemon.take().find("NEXTHOPS 1 &quorvel-nodes\r\n"), std::string::npos);
        parse(DAEMON_SLOT, "OK 2");
        EXPECT_EQ(node2.take(1), Lines{sent + "\r\n"});
        EXPECT_FALSE(messageWaiting());
    }
}

// As many channels as a user may be in, each name as long as it may be, still fit one notice.
TEST_F(NetworkChannels, RefreshNamesEveryChannelOfAMemberInOneLine)
{
    takeProfile({64, 4, LIMITS_CEILING.joins});
    registerUser(1, "alice");
    std::string list, names;
    for (int i = 0; i < LIMITS_CEILING.joins; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "#chan%04d", i);
        list += (i > 0 ? "," : "") + std::string(name);
        names += (i > 0 ? " " : "") + std::string(name);
    }
    parse(1, "JOIN " + list);
    EXPECT_EQ(channelsOf(1).size(), static_cast<size_t>(LIMITS_CEILING.joins));
    answerNodeRequests();
    refreshMembers(nowMillis());
    // The channels' modes follow, as many channels a notice as fit: alice is operator of each.
    const size_t notices = 1 + 3;
    std::string asked;
    for (size_t i = 0; i < notices; ++i) asked += "NEXTHOPS 1 &quorvel-nodes\r\n";
    EXPECT_EQ(daemon.take(), asked);
    for (size_t i = 0; i < notices; ++i) parse(DAEMON_SLOT, "OK 2");
    const Lines sent = node2.take(notices);
    ASSERT_EQ(sent.size(), notices);
    EXPECT_EQ(sent[0], notice(prefixOf("alice"), "JOIN", names, 1) + "\r\n");
    size_t operators = 0;
    for (const std::string &line : sent) {
        EXPECT_LE(line.size(), static_cast<size_t>(LINE_SIZE - 1));
        operators += static_cast<size_t>(std::count(line.begin(), line.end(), '@'));
    }
    EXPECT_EQ(operators, static_cast<size_t>(LIMITS_CEILING.joins) + 1);  // and alice's own prefix
}

// A channel whose notices stopped coming while the member's others go on: its PART was lost, and
// it parts only that one; all of them stopped, and it quits. A member is in at most as many
// channels as a user here may be.
TEST_F(NetworkChannels, StaleChannelsPartAndAMemberHasNoMoreChannelsThanAUserHere)
{
    takeProfile({64, 8, 2});
    registerUser(1, "bob");
    joinAs(1, "#a,#b");
    answerNodeRequests();
    argList.verbose = 1;
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    EXPECT_EQ(forwardFrom(notice(ZED, "JOIN", "#a #b #c")), 1);
    const std::string trace = testing::internal::GetCapturedStdout();
    argList.verbose = 0;
    EXPECT_NE(trace.find("Member notice refused: zed of node 2 is in 2 channels already, #c would be one more"),
              std::string::npos);
    answerNodeRequests();
    client(1).take();
    const long long now = nowMillis();
    const int zed = findNetworkMember("zed");
    ASSERT_GE(zed, 0);
    networkMembers[zed].channels[1].heardAt = now - 60 * 1000;
    refreshMembers(now);
    answerNodeRequests();
    EXPECT_EQ(client(1).take(), crlf(std::string(":") + ZED + " PART #b"));
    EXPECT_EQ(countNetworkMembers("#a"), 1);
    refreshMembers(now + 60 * 1000);
    answerNodeRequests();
    EXPECT_EQ(client(1).take(), crlf(std::string(":") + ZED + " QUIT :zed has left the channel"));
    EXPECT_EQ(findNetworkMember("zed"), -1);
}

// Without the profile nothing of it exists: no nodes' channel, no notice taken.
TEST_F(IrcSession, WithoutTheProfileNoNodesChannelAndNoMembersOfOtherNodes)
{
    addNeighbour(2, 1);
    announceNodesChannel();
    registerUser(1, "bob");
    joinAs(1, "#a");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(forwardFrom(notice(ZED, "JOIN", "#a")), 1);
    EXPECT_EQ(countNetworkMembers("#a"), 0);
    EXPECT_EQ(client(1).take(), "");
}

}  // namespace
