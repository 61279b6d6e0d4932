// Whole conversations of several users with the running node: every line each user and the daemon
// receive, in order, from registration through channels to the end of a connection.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "support/fake_daemon.h"
#include "support/irc_client.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

// Long enough for a line that trails the replies already read; short enough to keep each test fast.
constexpr Millis SETTLE(30);

struct Listed {
    std::string chan;
    int members;
};

class Conversation : public ::testing::Test {
protected:
    void SetUp() override
    {
        ports = {freePort(), daemon.port(), freePort()};
        node.start({"3", node.writeConfig(configLine(3, ports))});
        spare = waitUntilServing(daemon, ports.server);
        ASSERT_TRUE(spare.valid()) << node.err();
    }

    // The connection made while waiting for the node is handed out first.
    Client &connected(const std::string &nick)
    {
        LineSocket s = spare.valid() ? std::move(spare) : connectWithRetry(ports.server);
        EXPECT_TRUE(s.valid()) << nick;
        return clients.emplace_back(std::move(s), nick);
    }

    // A reply to the first command of the pair would arrive before the message of the day.
    void registerClient(Client &c, bool nickFirst = true)
    {
        c.say(nickFirst ? c.nickLine() : c.userLine());
        c.say(nickFirst ? c.userLine() : c.nickLine());
        expectLines(c, {motdStart(c.nick), motdBody(c.nick), motdEnd(c.nick)});
        expectDaemon({"ADDUSER " + c.nick});
    }

    Client &registered(const std::string &nick)
    {
        Client &c = connected(nick);
        registerClient(c);
        return c;
    }

    static void expectLines(Client &c, const std::vector<std::string> &want)
    {
        for (const std::string &line : want) EXPECT_EQ(c.sock.readLine(), line) << "to " << c.nick;
    }

    // One window serves all: every line the node meant for any of them was sent before it began.
    static void expectQuiet(std::initializer_list<Client *> listeners)
    {
        Millis window = SETTLE;
        for (Client *c : listeners) {
            EXPECT_EQ(c->sock.drain(window), "") << "to " << c->nick;
            window = Millis(1);
        }
    }

    // Exactly these lines, and no other, have reached the daemon since the last look.
    void expectDaemon(const std::vector<std::string> &want)
    {
        const std::vector<std::string> &all = daemon.collect(SETTLE);
        std::vector<std::string> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
        seen = all.size();
        std::vector<std::string> framed;
        for (const std::string &line : want) framed.push_back(line + "\r\n");
        EXPECT_EQ(fresh, framed);
    }

    void joinNew(Client &c, const std::string &chan)
    {
        c.say("JOIN " + chan);
        expectLines(c, {joinLine(c.nick, chan), namesLine(c.nick, chan, c.nick), namesEnd(c.nick, chan)});
        expectDaemon({"ADDCHAN " + chan});
    }

    // `members` are those already in the channel, in the order they joined; the joiner is in no channel.
    static void joinExisting(Client &c, const std::string &chan, const std::vector<Client *> &members)
    {
        c.say("JOIN " + chan);
        std::string names;
        for (Client *m : members) {
            expectLines(*m, {joinLine(c.nick, chan)});
            names += m->nick + " ";
        }
        expectLines(c, {joinLine(c.nick, chan), namesLine(c.nick, chan, names + c.nick), namesEnd(c.nick, chan)});
    }

    static void expectWho(Client &asker, const std::string &chan, const std::vector<Client *> &members)
    {
        asker.say("WHO " + chan);
        for (Client *m : members) expectLines(asker, {whoLine(asker.nick, chan, *m)});
        expectLines(asker, {whoEnd(asker.nick, chan)});
    }

    static void expectList(Client &asker, const std::vector<Listed> &newestFirst)
    {
        asker.say("LIST");
        expectLines(asker, {fromServer("321 " + asker.nick + " Channel :Users Name")});
        for (const Listed &l : newestFirst)
            expectLines(asker, {fromServer("322 " + asker.nick + " " + l.chan + " :" + std::to_string(l.members))});
        expectLines(asker, {fromServer("323 " + asker.nick + " :End of /LIST")});
    }

    // alice, bob and carol, in that order, in one channel.
    void roomOfThree(Client &alice, Client &bob, Client &carol, const std::string &chan)
    {
        joinNew(alice, chan);
        joinExisting(bob, chan, {&alice});
        joinExisting(carol, chan, {&alice, &bob});
    }

    FakeDaemon daemon;
    NodePorts ports;
    NodeProcess node;
    LineSocket spare;
    std::deque<Client> clients;  // a deque, so that references to earlier clients stay valid
    size_t seen = 0;  // daemon lines already checked
};

}  // namespace

TEST_F(Conversation, RegistrationInEitherOrderThenANickChangeOutsideAnyChannel)
{
    Client &alice = connected("alice");
    // A nickname given before the details is only replaced by the next one; the daemon hears neither.
    alice.say("NICK alf");
    registerClient(alice, true);
    Client &bob = connected("bob");
    registerClient(bob, false);

    alice.say("NICK alicia");
    expectDaemon({"REMOVEUSER alice", "ADDUSER alicia"});
    expectQuiet({&alice, &bob});
    alice.nick = "alicia";

    // The old nickname is free again, the new one taken, and the message of the day is not resent.
    bob.say("NICK alicia");
    expectLines(bob, {fromServer("433 alicia :Nickname is already in use")});
    bob.say("NICK alice");
    expectDaemon({"REMOVEUSER bob", "ADDUSER alice"});
    expectQuiet({&alice, &bob});
}

TEST_F(Conversation, ThreeMembersJoinOneLeavesAndComesBackLast)
{
    Client &alice = registered("alice"), &bob = registered("bob"), &carol = registered("carol");
    roomOfThree(alice, bob, carol, "#room");
    expectDaemon({});

    // The leaver is told too, since it is still a member when the notice goes out.
    bob.say("PART #room");
    for (Client *c : {&alice, &bob, &carol}) expectLines(*c, {leftNotice(bob)});
    expectList(alice, {{"#room", 2}});
    expectWho(carol, "#room", {&alice, &carol});

    joinExisting(bob, "#room", {&alice, &carol});
    expectWho(bob, "#room", {&alice, &carol, &bob});
    expectList(carol, {{"#room", 3}});
    expectDaemon({});
    expectQuiet({&alice, &bob, &carol});
}

TEST_F(Conversation, NickChangeIsSeenByTheWholeChannel)
{
    Client &alice = registered("alice"), &bob = registered("bob"), &carol = registered("carol");
    roomOfThree(alice, bob, carol, "#room");

    bob.say("NICK robert");
    const std::string renamed = ":" + bob.mask() + " NICK robert\r\n";
    for (Client *c : {&alice, &bob, &carol}) expectLines(*c, {renamed});
    expectDaemon({"REMOVEUSER bob", "ADDUSER robert"});
    bob.nick = "robert";

    // The member keeps its place under the new name, and leaves under it.
    expectWho(carol, "#room", {&alice, &bob, &carol});
    bob.say("PART");
    for (Client *c : {&alice, &bob, &carol}) expectLines(*c, {leftNotice(bob)});
    expectDaemon({});
    expectQuiet({&alice, &bob, &carol});
}

TEST_F(Conversation, QuitEndsTheConnectionAndFreesTheSlot)
{
    Client &alice = registered("alice"), &bob = registered("bob"), &carol = registered("carol");
    Client &dave = registered("dave");  // every client slot is taken now
    joinNew(alice, "#x");
    joinNew(bob, "#room");
    joinExisting(carol, "#room", {&bob});

    // Were the lines behind QUIT handled, "zed" would register on the emptied slot.
    alice.sock.send("QUIT :gone\r\nNICK zed\r\nUSER z 0 * :Z\r\n");
    expectLines(alice, {leftNotice(alice)});
    EXPECT_TRUE(alice.sock.readsEofOnly());
    expectDaemon({"REMOVECHAN #x", "REMOVEUSER alice"});
    expectQuiet({&bob, &carol, &dave});

    Client &zed = registered("zed");
    expectList(zed, {{"#room", 2}});

    // A member that is not the last leaves the channel standing.
    carol.say("QUIT");
    expectLines(bob, {leftNotice(carol)});
    expectLines(carol, {leftNotice(carol)});
    EXPECT_TRUE(carol.sock.readsEofOnly());
    expectDaemon({"REMOVEUSER carol"});
    expectList(bob, {{"#room", 1}});
    expectQuiet({&bob, &dave, &zed});
}

TEST_F(Conversation, DroppedConnectionLeavesItsChannelLikeAQuit)
{
    Client &alice = registered("alice"), &bob = registered("bob"), &carol = registered("carol");
    joinNew(alice, "#room");
    joinExisting(bob, "#room", {&alice});
    joinNew(carol, "#c");

    bob.sock.close();
    expectLines(alice, {leftNotice(bob)});
    expectDaemon({"REMOVEUSER bob"});

    // Waiting on the daemon first: the drop and a LIST read in one pass may be handled in either order.
    carol.sock.close();
    expectDaemon({"REMOVEUSER carol", "REMOVECHAN #c"});
    expectList(alice, {{"#room", 1}});
    expectQuiet({&alice});
}

TEST_F(Conversation, JoiningAnotherChannelLeavesTheFirst)
{
    Client &alice = registered("alice"), &bob = registered("bob");
    joinNew(alice, "#a");
    joinNew(bob, "#b");

    // Alone in #a: leaving deletes it, and #b, which moves down a slot, is still found by name.
    alice.say("JOIN #b");
    expectLines(bob, {joinLine("alice", "#b")});
    expectLines(alice, {leftNotice(alice), joinLine("alice", "#b"), namesLine("alice", "#b", "bob alice"),
                        namesEnd("alice", "#b")});
    expectDaemon({"REMOVECHAN #a"});

    // Leaving a shared channel for a new one: nothing is removed, and the new channel is listed first.
    bob.say("JOIN #c");
    expectLines(alice, {leftNotice(bob)});
    expectLines(bob, {leftNotice(bob), joinLine("bob", "#c"), namesLine("bob", "#c", "bob"), namesEnd("bob", "#c")});
    expectDaemon({"ADDCHAN #c"});
    expectList(alice, {{"#c", 1}, {"#b", 1}});

    // Joining the channel one is already in changes nothing and sends nothing.
    bob.say("JOIN #c");
    expectQuiet({&alice, &bob});
    expectWho(alice, "#c", {&bob});
    expectDaemon({});
}
