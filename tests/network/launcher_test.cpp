// scripts/quorvel-net as a user runs it: three nodes in a line, each a real routing daemon beside a
// real server, clients on both ends talking through the middle node, and Ctrl-C taking it all down.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "support/irc_client.h"
#include "support/launcher.h"
#include "support/ports.h"

#if !defined(QUORVEL_SOURCE_DIR) || !defined(QUORVEL_ROUTED_BINARY)
#error "QUORVEL_SOURCE_DIR and QUORVEL_ROUTED_BINARY must name the source tree and the daemon"
#endif

using namespace qtest;

namespace {

constexpr uint8_t NODES = 3;
const std::string UP_LINE = "Ctrl-C stops the network.";
const std::string DIR_LINE = "quorvel-net: config and logs in ";

// Three consecutive ports free for TCP and UDP on every node's address. They are taken below the
// kernel's ephemeral range, where freePort() of a test running in parallel never lands.
uint16_t freePortTriple()
{
    uint16_t base = static_cast<uint16_t>(20000 + getpid() % 4000 * 3);
    for (int tries = 0; tries < 300; ++tries, base = static_cast<uint16_t>(base + 3)) {
        if (base > 31997) base = 20000;
        bool free = true;
        for (uint8_t host = 1; host <= NODES && free; ++host)
            for (uint16_t k = 0; k < 3 && free; ++k) free = portFreeOn(host, static_cast<uint16_t>(base + k));
        if (free) return base;
    }
    return 0;
}

class Launcher3Line : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (!HasFailure()) return;
        const std::string out = launcher.out();
        std::cerr << "launcher output:\n" << out;
        const size_t at = out.find(DIR_LINE);
        if (at == std::string::npos) return;
        const std::string dir = out.substr(at + DIR_LINE.size(), out.find('\n', at) - at - DIR_LINE.size());
        for (int id = 1; id <= NODES; ++id)
            for (const char *what : {"routed", "quorvel"}) {
                const std::string log = dir + "/" + what + "-" + std::to_string(id) + ".log";
                std::cerr << "--- " << log << ":\n" << slurp(log).substr(0, 4000);
            }
    }

    Launcher launcher;
};

}  // namespace

TEST_F(Launcher3Line, CarriesMessagesAcrossTheMiddleNodeAndStopsOnCtrlC)
{
    const std::string build = buildDir();
    // The launcher builds whatever binary it misses; here the build has made both already.
    ASSERT_EQ(std::string(QUORVEL_ROUTED_BINARY), build + "/routed/quorvel-routed");
    ASSERT_EQ(access(QUORVEL_ROUTED_BINARY, X_OK), 0) << QUORVEL_ROUTED_BINARY;
    const uint16_t port = freePortTriple();
    ASSERT_NE(port, 0) << "no three free ports in a row on 127.0.0.1-3";
    const std::string p = std::to_string(port);

    // --verbose makes every node trace the lines it receives, which shows the way a message took.
    launcher.start(
        {"--nodes", "3", "--topology", "line", "--port", p, "--cycle", "1", "--verbose", "--exact", "--build-dir", build});
    ASSERT_TRUE(launcher.waitForOutput(UP_LINE, Millis(15000))) << "the network never came up";

    // Each node is listed with its address and its links, and the file the nodes read says the same.
    const std::string out = launcher.out();
    EXPECT_TRUE(someLineHasAll(out, {"node 1 ", "127.0.0.1:" + p, "links: 2"})) << out;
    EXPECT_TRUE(someLineHasAll(out, {"node 2 ", "127.0.0.2:" + p, "links: 1 3"})) << out;
    EXPECT_TRUE(someLineHasAll(out, {"node 3 ", "127.0.0.3:" + p, "links: 2"})) << out;
    EXPECT_TRUE(someLineHasAll(out, {"nc -C 127.0.0.1 " + p})) << out;
    const size_t at = out.find(DIR_LINE);
    ASSERT_NE(at, std::string::npos) << out;
    const std::string dir = out.substr(at + DIR_LINE.size(), out.find('\n', at) - at - DIR_LINE.size());
    const std::string ports = " " + std::to_string(port + 1) + " " + std::to_string(port + 2) + " " + p;
    EXPECT_EQ(slurp(dir + "/quorvel-net.conf"), "1 127.0.0.1" + ports + " 2\n" + "2 127.0.0.2" + ports + " 1 3\n" +
                                                    "3 127.0.0.3" + ports + " 2\n");

    Client alice(LineSocket(connectLoopback(1, port)), "alice");
    Client carol(LineSocket(connectLoopback(3, port)), "carol");
    ASSERT_TRUE(alice.sock.valid() && carol.sock.valid());
    ASSERT_TRUE(signOn(alice));
    ASSERT_TRUE(signOn(carol));

    // Nodes 1 and 3 have no link of their own: the message goes by node 2, and only by it.
    const int hello = sendUntilArrives(alice, carol, "carol", "hello");
    EXPECT_NE(hello, 0) << "no message reached carol";
    EXPECT_EQ(carol.sock.drain(Millis(300)), "");
    const std::string middleLog = dir + "/quorvel-2.log";
    EXPECT_NE(slurp(middleLog).find("FORWARD 1 :alice PRIVMSG carol hello " + std::to_string(hello) + "\n"),
              std::string::npos)
        << middleLog;
    expectOnlyRefusals(alice, "carol", Millis(1));

    alice.say("JOIN #net");
    carol.say("JOIN #net");
    for (Client *c : {&alice, &carol}) {
        EXPECT_EQ(c->sock.readLine(), joinLine(c->nick, "#net")) << c->nick;
        EXPECT_EQ(c->sock.readLine(), namesLine(c->nick, "#net", c->nick)) << c->nick;
        EXPECT_EQ(c->sock.readLine(), namesEnd(c->nick, "#net")) << c->nick;
    }
    EXPECT_NE(sendUntilArrives(alice, carol, "#net", "round"), 0) << "no channel message reached carol";
    // Once the routes stand, a channel message reaches node 3 exactly once: no copy comes round
    // again through node 2, and none of the earlier rounds turns up late.
    alice.say("PRIVMSG #net :just once");
    EXPECT_EQ(carol.sock.readLine(Millis(3000)), privmsgLine("alice", "#net", "just once"));
    EXPECT_EQ(carol.sock.drain(Millis(1500)), "");
    EXPECT_NE(slurp(middleLog).find("FORWARD 1 :alice PRIVMSG #net just once\n"), std::string::npos) << middleLog;
    expectOnlyRefusals(alice, "#net", Millis(1));

    ASSERT_EQ(kill(launcher.pid(), SIGINT), 0);
    EXPECT_EQ(launcher.waitForExit(Millis(5000)), std::optional<int>(0)) << launcher.out();
    // Everything it started has ended with it, and nothing of the run is left on disk.
    EXPECT_EQ(kill(-launcher.pid(), 0), -1);
    EXPECT_EQ(errno, ESRCH);
    for (uint8_t host = 1; host <= NODES; ++host) {
        const int fd = connectLoopback(host, port);
        EXPECT_EQ(fd, -1) << "127.0.0." << int(host) << ":" << port << " still accepts";
        if (fd >= 0) close(fd);
    }
    EXPECT_NE(access(dir.c_str(), F_OK), 0) << dir << " is left behind";
}

namespace {

// Reads the client's lines until one holds `text`; false when none does within `wait`.
bool hears(Client &c, const std::string &text, Millis wait = Millis(8000))
{
    const auto end = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < end) {
        const std::string line = c.sock.readLine(Millis(200));
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

// The profile's sign-on, up to the end of the welcome's message of the day.
bool signOnProfile(Client &c)
{
    c.say(c.nickLine());
    c.say(c.userLine());
    return hears(c, " 376 " + c.nick + " ");
}

// The 352 lines of the answer to WHO #channel.
std::string whoAnswer(Client &c, const std::string &channel)
{
    c.say("WHO " + channel);
    std::string answer;
    for (std::string line; (line = c.sock.readLine(Millis(3000))).find(" 315 ") == std::string::npos && !line.empty();)
        answer += line;
    return answer;
}

// Asks WHO #channel until the answer names `member`: the client's node knows of it then.
bool seesMember(Client &c, const std::string &channel, const std::string &member)
{
    for (int round = 0; round < 40; ++round) {
        if (whoAnswer(c, channel).find(" " + member + " H") != std::string::npos) return true;  // H, H@ or H+
        c.sock.drain(Millis(250));
    }
    return false;
}

}  // namespace

// The client profile on three nodes in a line: the channel's first member, on node 1, is its
// operator everywhere; its +m and its KICK of a member on node 2 reach every node's members.
TEST_F(Launcher3Line, AnOperatorsModeAndKickReachEveryNode)
{
    const uint16_t port = freePortTriple();
    ASSERT_NE(port, 0) << "no three free ports in a row on 127.0.0.1-3";
    launcher.start({"--nodes", "3", "--topology", "line", "--port", std::to_string(port), "--cycle", "1", "--build-dir",
                    buildDir()});
    ASSERT_TRUE(launcher.waitForOutput(UP_LINE, Millis(15000))) << "the network never came up";
    Client alice(LineSocket(connectLoopback(1, port)), "alice");
    Client bob(LineSocket(connectLoopback(2, port)), "bob");
    Client carol(LineSocket(connectLoopback(3, port)), "carol");
    for (Client *c : {&alice, &bob, &carol}) ASSERT_TRUE(c->sock.valid() && signOnProfile(*c)) << c->nick;

    alice.say("JOIN #ops");
    ASSERT_TRUE(hears(alice, " 353 alice = #ops :@alice"));
    // Each joins once its node has heard of alice, so that nobody else opens the channel.
    for (Client *c : {&bob, &carol}) {
        ASSERT_TRUE(seesMember(*c, "#ops", "alice")) << c->nick;
        c->say("JOIN #ops");
        EXPECT_TRUE(hears(*c, " 353 " + c->nick + " = #ops :" + c->nick + " @alice")) << c->nick;
        EXPECT_TRUE(hears(alice, ":" + c->nick + "!")) << c->nick << "'s JOIN";
    }
    EXPECT_TRUE(hears(bob, ":carol!")) << "carol's JOIN on node 2";

    alice.say("MODE #ops +m");
    for (Client *c : {&alice, &bob, &carol}) EXPECT_TRUE(hears(*c, " MODE #ops +m")) << c->nick;
    bob.say("PRIVMSG #ops :may I?");
    EXPECT_TRUE(hears(bob, " 404 bob #ops :Cannot send to channel"));

    alice.say("KICK #ops bob :quiet please");
    for (Client *c : {&alice, &bob, &carol}) EXPECT_TRUE(hears(*c, " KICK #ops bob :quiet please")) << c->nick;
    const std::string who = whoAnswer(carol, "#ops");
    EXPECT_NE(who.find(" alice H@ "), std::string::npos) << who;  // the operator, on every node
    EXPECT_EQ(who.find(" bob H"), std::string::npos) << who;

    ASSERT_EQ(kill(launcher.pid(), SIGINT), 0);
    EXPECT_EQ(launcher.waitForExit(Millis(5000)), std::optional<int>(0)) << launcher.out();
}

// A file of several machines: asked for a node whose address is elsewhere, the launcher starts
// nothing and names that address and the nodes that could start here.
TEST(LauncherOnly, RefusesNodesOfOtherMachinesAndNamesThem)
{
    Launcher launcher;
    char dir[] = "/tmp/quorvel-only-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string conf = std::string(dir) + "/network.conf", key = std::string(dir) + "/network.key";
    std::ofstream(conf) << "# the nodes of one network, one line each\n"
                           "1 127.0.0.1 7001 7002 7000 2\n2 192.0.2.77 7001 7002 7000 1 3\n3 127.0.0.3 7001 7002 7000 2\n";
    std::ofstream(key) << "0123456789abcdef0123456789abcdef";
    launcher.start({"--config", conf, "--only", "2,3", "--build-dir", buildDir()});
    EXPECT_EQ(launcher.waitForExit(Millis(10000)), std::optional<int>(2));
    const std::string out = launcher.out();
    EXPECT_TRUE(someLineHasAll(out, {"nothing started", "not on this machine"})) << out;
    EXPECT_TRUE(someLineHasAll(out, {"node 2 at 192.0.2.77"})) << out;
    EXPECT_TRUE(someLineHasAll(out, {"--only 1,3"})) << out;
    EXPECT_EQ(out.find("starting"), std::string::npos) << out;
    unlink(conf.c_str());
    unlink(key.c_str());
    rmdir(dir);
}

// Another server listening on the IRC port on every address, as Debian's ngircd does: the node
// cannot bind, the other server answers the connect, and the launcher must not call the network up.
TEST(LauncherTakenPort, SaysWhichAddressAndPortFailedInsteadOfUp)
{
    const uint16_t port = freePortTriple();
    ASSERT_NE(port, 0);
    const int squatter = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    ASSERT_EQ(::bind(squatter, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    ASSERT_EQ(::listen(squatter, 8), 0);
    Launcher launcher;
    launcher.start({"--nodes", "1", "--port", std::to_string(port), "--build-dir", buildDir()});
    EXPECT_EQ(launcher.waitForExit(Millis(15000)), std::optional<int>(1));
    const std::string out = launcher.out();
    EXPECT_TRUE(someLineHasAll(out, {"127.0.0.1:" + std::to_string(port), "did not come up"})) << out;
    EXPECT_NE(out.find("Address already in use"), std::string::npos) << out;
    EXPECT_EQ(out.find("the network is up"), std::string::npos) << out;
    ::close(squatter);
}
