// The request path allocates nothing: a session of 1,000 commands, messages local, to a channel
// and through the daemon to a neighbour among them, costs a node exactly as many heap
// allocations as a session of 10, counted by an allocator preloaded into the real binary.
// Each session registers once: the C library's reverse lookup behind USER reads /etc/hosts
// through stdio and so allocates a few blocks per call, the one cost the server cannot avoid.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_daemon.h"
#include "support/fake_peers.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

struct Step {
    const char *line;     // "NICK" alternates between two nicknames; "PRIVMSG me" names the current one
    int replies;          // lines the client receives for it
    const char *request;  // the daemon request it draws, if any
    const char *answer;   // the fake daemon's answer to that request
    bool forwards;        // the answer sends one FORWARD connection to node 2
};

// Every command a user has, and every way a message goes: to a user here, to a channel and on to
// a neighbour, to a remote user the daemon routes and to one it does not know. Each step is
// answered somewhere, to the client, the daemon or the neighbour, so the session is paced by it.
constexpr Step CYCLE[] = {
    {"JOIN #a", 3, nullptr, nullptr, false},
    {"WHO #a", 2, nullptr, nullptr, false},
    {"PRIVMSG #a :to the room", 0, "NEXTHOPS 1 #a", "OK 2", true},
    {"LIST", 3, nullptr, nullptr, false},
    {"PRIVMSG me :to myself", 1, nullptr, nullptr, false},
    {"PRIVMSG carol :nobody hosts her", 1, "NEXTHOP carol", "NONE", false},
    {"NICK", 1, nullptr, nullptr, false},
    {"PRIVMSG dan :far away", 0, "NEXTHOP dan", "OK 2 1", true},
    {"PART", 1, nullptr, nullptr, false},
    {"FROB", 1, nullptr, nullptr, false},
};

// The client profile's channel commands on a node alone in its file: a user in several channels,
// its channels in WHOIS, a topic set and shown, NAMES of a list, AWAY and back, lists of channels
// joined and parted, and JOIN 0.
constexpr Step PROFILE_CYCLE[] = {
    {"JOIN #a,#b,#c", 9, nullptr, nullptr, false},
    {"WHOIS alice", 4, nullptr, nullptr, false},
    {"TOPIC #a :the topic", 1, nullptr, nullptr, false},
    {"TOPIC #a", 2, nullptr, nullptr, false},
    {"NAMES #a,#c", 4, nullptr, nullptr, false},
    {"AWAY :gone", 1, nullptr, nullptr, false},
    {"AWAY", 1, nullptr, nullptr, false},
    {"PRIVMSG #b :nobody else", 1, "NEXTHOPS 1 #b", "NONE", false},  // a NONE keeps no route: asked each time
    {"PART #a,#b :bye", 2, nullptr, nullptr, false},
    {"LIST", 3, nullptr, nullptr, false},
    {"JOIN 0", 1, nullptr, nullptr, false},
    {"FROB", 1, nullptr, nullptr, false},
};

#ifdef ALLOC_COUNTER_LIBRARY
// The daemon's side of one step: waits for the request among the announcements, answers it, and
// takes in the forwarding connection the answer causes.
bool routeStep(FakeDaemon &daemon, PeerListener &neighbour, const Step &step)
{
    if (!step.request) return true;
    const std::string want = std::string(step.request) + "\r\n";
    bool asked = false;
    for (int lines = 0; lines < 8 && !asked; ++lines) {
        const std::string line = daemon.nextLine();
        if (line.empty()) return false;
        asked = line == want;
    }
    if (!asked || !daemon.send(std::string(step.answer) + "\n")) return false;
    if (!step.forwards) return true;
    const std::optional<Delivery> d = neighbour.next();
    return d && d->ended && d->bytes.rfind("FORWARD 1 :", 0) == 0;
}

// The daemon's answer that no node hosts alice, and the welcome (001 to 005) and MOTD after it.
bool registerInProfile(FakeDaemon &daemon, LineSocket &client)
{
    std::string line;
    while (!(line = daemon.nextLine()).empty() && line != "NEXTHOP alice\r\n") {}
    if (line.empty() || !daemon.send("NONE\n")) return false;
    for (int i = 0; i < 8; ++i)
        if (client.readLine().empty()) return false;
    return true;
}

// Runs one node for one session of `commands` commands after registration and QUIT, and
// returns the allocations the node made in its whole life up to the end of that session. The
// client profile's node is alone in its file, as its membership notices would ask the daemon too.
long allocationsForSession(int commands, bool profile = false)
{
    FakeDaemon daemon;
    PeerListener neighbour;
    NodeProcess node;
    const NodePorts ports{freePort(), daemon.port(), freePort()};
    const std::string neighbourLine = configLine(2, {freePort(), freePort(), neighbour.port()});
    const std::string config = configLine(1, ports) + (profile ? "" : neighbourLine);
    const std::string countFile = node.dir() + "/allocations";
    std::vector<std::string> args{"1", node.writeConfig(config)};
    if (profile) args.push_back("--compat");
    node.start(args, {"LD_PRELOAD=" ALLOC_COUNTER_LIBRARY, "QUORVEL_ALLOC_COUNT_FILE=" + countFile});
    LineSocket client = waitUntilServing(daemon, ports.server);
    if (!client.valid()) return -1;

    client.send("NICK alice\r\nUSER alice host server :Alice A\r\n");
    if (profile && !registerInProfile(daemon, client)) return -1;
    for (int i = 0; i < (profile ? 0 : 3); ++i)
        if (client.readLine().empty()) return -1;
    const Step *cycle = profile ? PROFILE_CYCLE : CYCLE;
    const size_t cycleLength = profile ? std::size(PROFILE_CYCLE) : std::size(CYCLE);
    std::string me = "alice";
    for (int n = 0; n < commands; ++n) {
        const Step &step = cycle[n % cycleLength];
        std::string line = step.line;
        if (line == "NICK") {
            me = (n / cycleLength) % 2 == 0 ? "bob" : "alice";
            line += " " + me;
        } else if (line.rfind("PRIVMSG me ", 0) == 0) {
            line.replace(8, 2, me);
        }
        client.send(line + "\r\n");
        if (!routeStep(daemon, neighbour, step)) return -1;
        for (int r = 0; r < step.replies; ++r)
            if (client.readLine().empty()) return -1;
    }
    // Out of the channels first, so that QUIT draws no notice before the end of stream.
    client.send(profile ? "JOIN 0\r\nFROB\r\n" : "PART\r\nFROB\r\n");
    for (int r = 0; r < 6 && client.readLine().find(" 421 ") == std::string::npos; ++r) {}
    client.send("QUIT\r\n");
    if (!client.readsEofOnly()) return -1;

    kill(node.pid(), SIGUSR1);
    for (int polls = 0; polls < 200; ++polls) {
        std::ifstream in(countFile);
        std::string text;
        if (std::getline(in, text) && in.good() && !text.empty()) return std::stol(text);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}
#endif

}  // namespace

TEST(Allocation, ThousandCommandsCostTheSameAsTen)
{
#ifndef ALLOC_COUNTER_LIBRARY
    GTEST_SKIP() << "the sanitizers bring their own allocator; counted in the plain build";
#else
    const long small = allocationsForSession(10);
    const long large = allocationsForSession(1000);
    ASSERT_GT(small, 0);
    ASSERT_GT(large, 0);
    RecordProperty("allocations_10", std::to_string(small));
    RecordProperty("allocations_1000", std::to_string(large));
    std::printf("allocations: session of 10 commands %ld, of 1000 commands %ld\n", small, large);
    EXPECT_EQ(large, small);
#endif
}

TEST(Allocation, ThousandProfileChannelCommandsCostTheSameAsTen)
{
#ifndef ALLOC_COUNTER_LIBRARY
    GTEST_SKIP() << "the sanitizers bring their own allocator; counted in the plain build";
#else
    const long small = allocationsForSession(10, true);
    const long large = allocationsForSession(1000, true);
    ASSERT_GT(small, 0);
    ASSERT_GT(large, 0);
    std::printf("allocations in the client profile: session of 10 commands %ld, of 1000 commands %ld\n", small, large);
    EXPECT_EQ(large, small);
#endif
}
