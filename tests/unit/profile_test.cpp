// The client profile: the welcome, the commands only it answers, the requester in every numeric,
// full user prefixes, real PART lines, verbatim text, NOTICE that never draws a reply, and the
// sender's prefix and keyword carried inside FORWARD lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "irc/profile.h"
#include "irc/registration.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;
using Lines = std::vector<std::string>;


std::string welcome(const std::string &nick)
{
    return numeric("001 " + nick + " :Welcome to the quorvel IRC network " + prefixOf(nick)) +
           numeric("002 " + nick + " :Your host is testhost, running version quorvel-" QUORVEL_VERSION) +
           numeric("003 " + nick + " :This server keeps nothing across restarts") +
           numeric("004 " + nick + " testhost quorvel-" QUORVEL_VERSION " - iklmnotv") +
           numeric("005 " + nick + " NETWORK=quorvel NICKLEN=9 USERLEN=16 CHANNELLEN=9 CHANTYPES=#& CHANLIMIT=#&:20 "
                                   "MAXCHANNELS=20 MAXTARGETS=4 PREFIX=(ov)@+ CHANMODES=,k,l,imnt CASEMAPPING=ascii TOPICLEN=300 :are supported by this server");
}

class Profile : public IrcSession {
protected:
    Profile() { takeProfile(); }
    // A nick is asked of the daemon first; here no other node hosts it.
    void takeNick(int slot, const std::string &nick)
    {
        parse(slot, "NICK " + nick);
        EXPECT_EQ(daemon.take(), "NEXTHOP " + nick + "\r\n");
        parse(DAEMON_SLOT, "NONE");
    }
    void registerUser(int slot, const std::string &nick)
    {
        takeNick(slot, nick);
        parse(slot, "USER " + userNameOf(nick) + " somehost someserver :" + realNameOf(nick));
        ASSERT_EQ(connections[slot].registered, 1) << nick;
        drain();
    }
};

TEST(ProfileOption, IsTakenOutOfArgvWhereverItStands)
{
    char prog[] = "quorvel", id[] = "1", conf[] = "n.conf", compat[] = "--compat", v[] = "-v", one[] = "1";
    char *argv[] = {prog, compat, id, conf, v, one, nullptr};
    int argc = 6;
    replyMode = Replies::Exact;
    takeProfileOption(argc, argv);
    EXPECT_EQ(replyMode, Replies::Client);
    ASSERT_EQ(argc, 5);
    EXPECT_EQ(std::vector<std::string>(argv, argv + argc), (std::vector<std::string>{"quorvel", "1", "n.conf", "-v", "1"}));
    EXPECT_EQ(argv[argc], nullptr);

    char *plain[] = {prog, id, conf, nullptr};
    argc = 3;
    replyMode = Replies::Exact;
    takeProfileOption(argc, plain);
    EXPECT_EQ(replyMode, Replies::Exact);
    EXPECT_EQ(argc, 3);

    // A unit's default --compat, then an options file's --exact: the last one wins, both are taken.
    char exact[] = "--exact";
    char *both[] = {prog, id, conf, compat, exact, nullptr};
    argc = 5;
    takeProfileOption(argc, both);
    EXPECT_EQ(replyMode, Replies::Exact);
    EXPECT_EQ(argc, 3);
}

TEST_F(Profile, RegistrationEndsInTheWelcomeThenTheMotd)
{
    EXPECT_EQ(reply(1, "CAP LS 302"), crlf(":testhost CAP * LS :"));
    takeNick(1, "alice");
    EXPECT_EQ(client(1).take(), "");
    EXPECT_EQ(reply(1, "USER alice_u 0 * :Real alice"), welcome("alice") + motd("alice"));
    EXPECT_EQ(daemon.take(), "ADDUSER alice\r\n");
    EXPECT_EQ(reply(1, "CAP END"), "");
}

// WHO and WHOIS show the real name as clients typed it, with no space of the exact replies' after
// it; a lone ':' still names someone.
TEST_F(Profile, RealNameKeepsNoTrailingSpace)
{
    const struct {
        const char *user;
        const char *stored;
    } cases[] = {{"USER a 0 * :Yan Y", "Yan Y"}, {"USER a 0 * :Yan  Y ", "Yan Y"}, {"USER a 0 * :", " "}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.user);
        parse(1, c.user);
        EXPECT_STREQ(connections[1].realName, c.stored);
    }
}

TEST_F(Profile, EveryNumericNamesTheRequesterOrAStar)
{
    EXPECT_EQ(reply(1, "JOIN #a"), numeric("451 * :You have not registered"));
    EXPECT_EQ(reply(1, "MODE #a"), numeric("451 * :You have not registered"));
    EXPECT_EQ(reply(1, "FOO"), numeric("421 * FOO :Unknown command"));
    EXPECT_EQ(reply(1, "NICK"), numeric("431 * :No nickname given"));
    EXPECT_EQ(reply(1, "NICK 1x"), numeric("432 * 1x :Erroneus nickname"));
    EXPECT_EQ(reply(1, "USER x"), numeric("461 * USER :Not enough parameters"));
    EXPECT_EQ(reply(1, "LIST"), numeric("451 * :You have not registered"));
    EXPECT_EQ(reply(1, "WHO #a"), numeric("451 * :You have not registered"));
    registerUser(1, "alice");
    registerUser(2, "bob");
    EXPECT_EQ(reply(1, "FOO"), numeric("421 alice FOO :Unknown command"));
    EXPECT_EQ(reply(1, "NICK bob"), numeric("433 alice bob :Nickname is already in use"));
    EXPECT_EQ(reply(1, "USER a b c :d"), numeric("462 alice :You may not reregister"));
    EXPECT_EQ(reply(1, "JOIN x"), numeric("431 alice :Channel name should be preceded by & or # for servers"));
    EXPECT_EQ(reply(1, "PRIVMSG"), numeric("411 alice :No recipient given (PRIVMSG)"));
    EXPECT_EQ(reply(1, "PRIVMSG bob :"), numeric("412 alice :No text to send"));
    parse(1, "PRIVMSG carol :hi");
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    parse(DAEMON_SLOT, "NONE");
    EXPECT_EQ(client(1).take(), numeric("401 alice carol :No such nick/channel"));
}

// The client's later lines wait for the daemon's answer (as for USER's lookup), so its replies
// keep their order.
TEST_F(Profile, NickThatAnotherNodeHostsGets433)
{
    registerUser(1, "alice");
    parse(1, "NICK carol");
    EXPECT_EQ(connections[1].holdInput, 1);
    EXPECT_EQ(client(1).take(), "");
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    parse(DAEMON_SLOT, "OK 2 1");
    EXPECT_EQ(connections[1].holdInput, 0);
    EXPECT_EQ(client(1).take(), numeric("433 alice carol :Nickname is already in use"));
    EXPECT_STREQ(connections[1].nick, "alice");

    // Before registration the same; a nick a client here took meanwhile is refused too.
    parse(2, "NICK dave");
    parse(3, "NICK dave");
    EXPECT_EQ(daemon.take(), "NEXTHOP dave\r\nNEXTHOP dave\r\n");
    parse(DAEMON_SLOT, "NONE");
    parse(DAEMON_SLOT, "NONE");
    EXPECT_STREQ(connections[2].nick, "dave");
    EXPECT_EQ(client(3).take(), numeric("433 * dave :Nickname is already in use"));

    // An "OK 0" names no node, and a lost daemon link leaves the nick free.
    parse(1, "NICK erin");
    parse(DAEMON_SLOT, "OK 0 0");
    EXPECT_STREQ(connections[1].nick, "erin");
    parse(1, "NICK fred");
    dropWaitingMessages();
    EXPECT_STREQ(connections[1].nick, "fred");
    EXPECT_EQ(client(1).take(), "");
    // Nor does an answer too long to read keep the client's input held.
    parse(1, "NICK gina");
    finishUnreadableAnswer();
    EXPECT_STREQ(connections[1].nick, "gina");
    EXPECT_EQ(connections[1].holdInput, 0);
}

// Two nodes granted one nick at once: each asks again for the nicks it holds, and an answer that
// names another node makes the holder yield to its guest nick (this node's line in the file, 00
// here, and the slot).
TEST_F(Profile, NickThatAnotherNodeHostsTooYieldsToAGuestNick)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    registerUser(3, "carol");
    parse(2, "JOIN #a");
    drain();
    daemon.take();
    recheckNicks();
    EXPECT_EQ(daemon.take(), "NEXTHOP alice\r\nNEXTHOP bob\r\nNEXTHOP carol\r\n");
    for (const char *answer : {"NONE", "OK 0 0", "OK 3 1"}) parse(DAEMON_SLOT, answer);
    EXPECT_STREQ(connections[1].nick, "alice");
    EXPECT_STREQ(connections[2].nick, "bob");
    EXPECT_STREQ(connections[3].nick, "Guest0003");
    // Told why, then its own NICK line; the daemon hears of the change as for any NICK.
    EXPECT_EQ(client(3).take(), crlf(":testhost NOTICE carol :Your nick carol is in use on another node too, so it "
                                     "was changed to Guest0003") +
                                    crlf(":" + prefixOf("carol") + " NICK :Guest0003"));
    EXPECT_EQ(daemon.take(), "REMOVEUSER carol\r\nADDUSER guest0003\r\n");  // the daemon hears names folded

    // In a channel the member line is the user's own NICK line; a guest keeps its guest nick; an
    // answer for a peer that has left reaches nobody.
    recheckNicks();
    ClientEnd newcomer = takeOverSlot(1);
    daemon.take();
    for (const char *answer : {"OK 3 1", "OK 3 1", "OK 3 1"}) parse(DAEMON_SLOT, answer);
    EXPECT_EQ(client(2).take(), crlf(":testhost NOTICE bob :Your nick bob is in use on another node too, so it was "
                                     "changed to Guest0002") +
                                    crlf(":" + prefixOf("bob") + " NICK :Guest0002"));
    EXPECT_EQ(reply(2, "WHO #a"), numeric("352 Guest0002 #a bob_u client.test testhost Guest0002 H@ :0 Real bob") +
                                      numeric("315 Guest0002 #a :End of /WHO list."));
    EXPECT_STREQ(connections[3].nick, "Guest0003");
    EXPECT_EQ(client(3).take(), "");
    EXPECT_EQ(newcomer.take(), "");
    EXPECT_EQ(daemon.take(), "REMOVEUSER bob\r\nADDUSER guest0002\r\n");
}

TEST_F(Profile, PingCapAndPongAnswerBeforeAndAfterRegistration)
{
    EXPECT_EQ(reply(1, "PING :irc.example 1"), crlf(":testhost PONG testhost :irc.example 1"));
    EXPECT_EQ(reply(1, "PING tok"), crlf(":testhost PONG testhost :tok"));
    EXPECT_EQ(reply(1, "PING"), numeric("409 * :No origin specified"));
    EXPECT_EQ(reply(1, "PONG :x"), "");
    EXPECT_EQ(reply(1, "CAP REQ :multi-prefix sasl"), crlf(":testhost CAP * NAK :multi-prefix sasl"));
    EXPECT_EQ(reply(1, "CAP LIST"), crlf(":testhost CAP * LIST :"));
    EXPECT_EQ(reply(1, "CAP XYZ"), numeric("410 * XYZ :Invalid CAP command"));
    EXPECT_EQ(reply(1, "CAP"), numeric("461 * CAP :Not enough parameters"));
    registerUser(1, "alice");
    EXPECT_EQ(reply(1, "PING 123"), crlf(":testhost PONG testhost :123"));
    EXPECT_EQ(daemon.take(), "");
}

TEST_F(Profile, ModeIsAMinimalTrueAnswer)
{
    registerUser(1, "alice");
    joinAs(1, "#a");
    EXPECT_EQ(reply(1, "MODE #a"), numeric("324 alice #a +"));
    EXPECT_EQ(reply(1, "MODE #a b"), numeric("368 alice #a :End of channel ban list"));
    EXPECT_EQ(reply(1, "MODE #a +o alice"), "");  // the channel's first member is its operator already
    EXPECT_EQ(reply(1, "MODE #zz"), numeric("403 alice #zz :No such channel"));
    EXPECT_EQ(reply(1, "MODE alice"), numeric("221 alice +"));
    // What clients ask on connect changes nothing and draws nothing; any other flag is unknown.
    for (const char *harmless : {"+i", "-i", "+iw", "-w+i"}) EXPECT_EQ(reply(1, std::string("MODE alice ") + harmless), "") << harmless;
    for (const char *unknown : {"+o", "+ix", "i"})
        EXPECT_EQ(reply(1, std::string("MODE alice ") + unknown), numeric("501 alice :Unknown MODE flag")) << unknown;
    EXPECT_EQ(reply(1, "MODE bob"), numeric("502 alice :Cannot change mode for other users"));
    EXPECT_EQ(reply(1, "MODE"), numeric("461 alice MODE :Not enough parameters"));
}

TEST_F(Profile, UserhostIsonAndWhoisTellOfUsersHere)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    parse(3, "NICK carol");  // not registered: no user yet
    joinAs(2, "#b,#c,&d");
    EXPECT_EQ(reply(1, "USERHOST bob carol alice"),
              numeric("302 alice :bob=+bob_u@client.test alice=+alice_u@client.test"));
    EXPECT_EQ(reply(1, "USERHOST"), numeric("461 alice USERHOST :Not enough parameters"));
    EXPECT_EQ(reply(1, "ISON :bob carol dave alice"), numeric("303 alice :bob alice"));
    EXPECT_EQ(reply(1, "ISON dave"), numeric("303 alice :"));
    EXPECT_EQ(reply(1, "WHOIS bob"), numeric("311 alice bob bob_u client.test * :Real bob") +
                                         numeric("312 alice bob testhost :quorvel node 0") +
                                         numeric("319 alice bob :@#b @#c @&d") + numeric("318 alice bob :End of WHOIS list"));
    EXPECT_EQ(reply(1, "WHOIS alice alice"), numeric("311 alice alice alice_u client.test * :Real alice") +
                                                 numeric("312 alice alice testhost :quorvel node 0") +
                                                 numeric("318 alice alice :End of WHOIS list"));
    EXPECT_EQ(reply(1, "WHOIS carol"), numeric("401 alice carol :No such nick/channel") +
                                           numeric("318 alice carol :End of WHOIS list"));
}

// No history is kept: every nick of the list is answered 406, one that is on now as well, and the
// list ends in one 369 as it was asked.
TEST_F(Profile, WhowasAnswersEveryNickOfTheList)
{
    EXPECT_EQ(reply(1, "WHOWAS bob"), numeric("451 * :You have not registered"));
    registerUser(1, "alice");
    registerUser(2, "bob");
    const std::string none = " :There was no such nickname";
    const struct {
        const char *line;
        std::string answer;
    } cases[] = {
        {"WHOWAS", numeric("461 alice WHOWAS :Not enough parameters")},
        {"WHOWAS carol", numeric("406 alice carol" + none) + numeric("369 alice carol :End of WHOWAS")},
        {"WHOWAS bob", numeric("406 alice bob" + none) + numeric("369 alice bob :End of WHOWAS")},
        {"WHOWAS carol,,dave 1 elsewhere", numeric("406 alice carol" + none) + numeric("406 alice dave" + none) +
                                               numeric("369 alice carol,,dave :End of WHOWAS")},
    };
    for (const auto &c : cases) EXPECT_EQ(reply(1, c.line), c.answer) << c.line;
}

// As many channels as a user may be in, in order of joining, in one 319 line.
TEST_F(Profile, WhoisNamesEveryChannel)
{
    takeProfile({64, 4, LIMITS_CEILING.joins});
    registerUser(1, "alice");
    registerUser(2, "bob");
    std::string list;
    for (int i = 0; i < LIMITS_CEILING.joins; ++i) list += (i > 0 ? ",#chan" : "#chan") + std::to_string(1000 + i);
    joinAs(2, list);
    // bob opened every one of them, so he is their operator.
    std::string named = "@" + list;
    for (size_t at = named.find(','); at != std::string::npos; at = named.find(',', at)) named.replace(at, 1, " @");
    EXPECT_EQ(reply(1, "WHOIS bob"), numeric("311 alice bob bob_u client.test * :Real bob") +
                                         numeric("312 alice bob testhost :quorvel node 0") +
                                         numeric("319 alice bob :" + named) + numeric("318 alice bob :End of WHOIS list"));
}

TEST_F(Profile, ChannelLinesCarryTheWholePrefixAndPartIsAPart)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    registerUser(3, "carol");
    EXPECT_EQ(reply(1, "JOIN #a"), crlf(":" + prefixOf("alice") + " JOIN #a") + numeric("353 alice = #a :@alice") +
                                        numeric("366 alice #a :End of /NAMES list"));
    parse(2, "JOIN #a");
    EXPECT_EQ(client(1).take(), crlf(":" + prefixOf("bob") + " JOIN #a"));
    EXPECT_EQ(client(2).take(), crlf(":" + prefixOf("bob") + " JOIN #a") + numeric("353 bob = #a :@alice bob") +
                                    numeric("366 bob #a :End of /NAMES list"));
    joinAs(3, "#a");

    // Another channel is joined beside the first; a PART is a PART, with its reason when it has one.
    EXPECT_EQ(reply(3, "JOIN #b"), crlf(":" + prefixOf("carol") + " JOIN #b") + numeric("353 carol = #b :@carol") +
                                        numeric("366 carol #b :End of /NAMES list"));
    EXPECT_EQ(client(1).take(), "");
    parse(3, "PART #a");
    for (int slot : {1, 2, 3}) EXPECT_EQ(client(slot).take(), crlf(":" + prefixOf("carol") + " PART #a")) << slot;
    parse(2, "PART #a :bye");
    for (int slot : {1, 2}) EXPECT_EQ(client(slot).take(), crlf(":" + prefixOf("bob") + " PART #a :bye")) << slot;

    daemon.take();
    takeNick(1, "alicia");
    EXPECT_EQ(client(1).take(), crlf(":" + prefixOf("alice") + " NICK :alicia"));
    joinAs(2, "#a");
    // A QUIT's reason stands as the user typed it.
    parse(2, "QUIT :gone");
    EXPECT_EQ(client(1).take(), crlf(":bob!bob_u@client.test QUIT :gone"));
    EXPECT_EQ(daemon.take(), "REMOVEUSER bob\r\n");
}

TEST_F(Profile, TextAfterTheColonIsDeliveredVerbatimWithThePrefix)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"PRIVMSG bob :https://example.com  two  spaces ", "https://example.com  two  spaces "},
        {"PRIVMSG bob ::-) leading colon", ":-) leading colon"},
        {"PRIVMSG bob one two", "one"},
        {"PRIVMSG bob :\x01" "ACTION waves\x01", "\x01" "ACTION waves\x01"},
        {"PRIVMSG bob :\x02" "bold\x0f and\tplain", "\x02" "bold\x0f and\tplain"},
    };
    for (const auto &[line, text] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(reply(1, line), "");
        EXPECT_EQ(client(2).take(), crlf(":" + prefixOf("alice") + " PRIVMSG bob :" + text));
    }
    joinAs(1, "#a");
    joinAs(2, "#a");
    parse(1, "PRIVMSG #a :a  b");
    EXPECT_EQ(client(2).take(), crlf(":" + prefixOf("alice") + " PRIVMSG #a :a  b"));
    EXPECT_EQ(daemon.take(), "NEXTHOPS 0 #a\r\n");
}

TEST_F(Profile, NoticeIsDeliveredButNeverDrawsAReply)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    EXPECT_EQ(reply(1, "NOTICE bob :\x01VERSION x\x01"), "");
    EXPECT_EQ(client(2).take(), crlf(":" + prefixOf("alice") + " NOTICE bob :\x01VERSION x\x01"));
    for (const char *line : {"NOTICE", "NOTICE bob", "NOTICE bob :", "NOTICE bob :a\rb"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(reply(1, line), "");
        EXPECT_EQ(client(2).take(), "");
    }
    EXPECT_EQ(reply(3, "NOTICE bob :hi"), "");  // not registered: dropped without a word
    EXPECT_EQ(client(2).take(), "");

    // The daemon knows no node for carol: still nothing goes back.
    parse(1, "NOTICE carol :hi");
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    EXPECT_EQ(msgQueue.slots[msgQueue.replySlot].owner, NO_SLOT);
    EXPECT_STREQ(msgQueue.slots[msgQueue.replySlot].command, "NOTICE");
    parse(DAEMON_SLOT, "NONE");
    EXPECT_EQ(client(1).take(), "");
}

TEST_F(Profile, ForwardLinesCarryThePrefixTheKeywordAndTheTextAsItStands)
{
    curr_nodeID = 1;
    registerUser(1, "alice");
    registerUser(2, "bob");
    HopListener node2;
    addNeighbour(2, node2.port());
    parse(1, "NOTICE carol :a  :b ");
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
    parse(DAEMON_SLOT, "OK 2 1");
    EXPECT_EQ(node2.take(1), Lines{"FORWARD 1 :" + prefixOf("alice") + " NOTICE carol a  :b \r\n"});

    EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far.example NOTICE bob  two  spaces"), 1);
    EXPECT_EQ(client(2).take(), crlf(":zed!z@far.example NOTICE bob : two  spaces"));
    EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@far.example PRIVMSG bob :)"), 1);
    EXPECT_EQ(client(2).take(), crlf(":zed!z@far.example PRIVMSG bob ::)"));
    EXPECT_EQ(forwardFrom("FORWARD 2 :zed PRIVMSG bob \x01" "ACTION x\x01"), 1);
    EXPECT_EQ(client(2).take(), crlf(":zed PRIVMSG bob :\x01" "ACTION x\x01"));
    // A prefix whose nick is no nick, or without its host, is no node's line.
    for (const char *line : {"FORWARD 2 :1zed!z@h PRIVMSG bob hi", "FORWARD 2 :zed!z PRIVMSG bob hi",
                             "FORWARD 2 :abcdefghij!z@h PRIVMSG bob hi", "FORWARD 2 :zed!z@h PRIVMSG bob"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(forwardFrom(line), 1);
        EXPECT_EQ(client(2).take(), "");
    }
    EXPECT_EQ(daemon.take(), "");
}

// Without the profile its commands are unknown and its prefixes are refused as a node's sender.
TEST_F(IrcSession, ProfileCommandsAreUnknownWithoutIt)
{
    for (const char *word : {"NOTICE", "PING", "PONG", "CAP", "MODE", "USERHOST", "ISON", "WHOIS", "WHOWAS"}) {
        SCOPED_TRACE(word);
        EXPECT_EQ(reply(1, std::string(word) + " x"), numeric(std::string("421 ") + word + " :Unknown command"));
    }
    registerUser(2, "bob");
    addNeighbour(2, 1);
    EXPECT_EQ(forwardFrom("FORWARD 2 :zed!z@h PRIVMSG bob hi"), 1);
    EXPECT_EQ(forwardFrom("FORWARD 2 :zed NOTICE bob a  b"), 1);
    EXPECT_EQ(client(2).take(), crlf(":zed PRIVMSG bob :a b"));
}

}  // namespace
