// No peer makes the node wait: a client that stops reading, and a client whose address the name
// server never answers for, cost the other clients nothing.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/irc_client.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

// A client socket from a chosen loopback address, with a small receive buffer when asked.
LineSocket connectFrom(const char *source, uint16_t port, int receiveBuffer = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return LineSocket();
    if (receiveBuffer > 0) (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = inet_addr(source);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    to.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) < 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0) {
        ::close(fd);
        return LineSocket();
    }
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return LineSocket(fd);
}

std::string motd(const std::string &nick) { return expected::motd(hostName(), nick); }

// Reads lines until `want` of them were read; the count read when the time is up.
std::string readLines(LineSocket &s, int want, Millis each = Millis(3000))
{
    std::string got;
    for (int i = 0; i < want; ++i) {
        const std::string line = s.readLine(each);
        if (line.empty()) break;
        got += line;
    }
    return got;
}

class Stall : public ::testing::Test {
protected:
    void startNode(NodeProcess &n, std::vector<std::string> prefix = {})
    {
        ports = {freePort(), daemon.port(), freePort()};
        prefix.push_back("3");
        prefix.push_back(n.writeConfig(configLine(3, ports)));
        n.start(prefix);
        first = waitUntilServing(daemon, ports.server);
        ASSERT_TRUE(first.valid()) << n.err();
    }
    LineSocket registered(const std::string &nick, LineSocket s)
    {
        EXPECT_TRUE(s.send("NICK " + nick + "\r\nUSER u" + nick + " h s :" + nick + "\r\n"));
        EXPECT_EQ(readLines(s, 3), motd(nick));
        EXPECT_EQ(daemon.nextLine(), "ADDUSER " + nick + "\r\n");
        return s;
    }
    // Round trips of an unknown word: every one must be answered.
    int roundTrips(LineSocket &s, int count)
    {
        int answered = 0;
        for (int i = 0; i < count; ++i) {
            if (!s.send("PING " + std::to_string(i) + "\r\n")) break;
            if (s.readLine() != expected::unknownCommand(hostName(), "PING")) break;
            ++answered;
        }
        return answered;
    }

    FakeDaemon daemon;
    NodePorts ports;
    LineSocket first;
};

}  // namespace

TEST_F(Stall, ClientThatStopsReadingStallsOnlyItself)
{
    NodeProcess node;
    startNode(node);
    LineSocket slow = connectFrom("127.0.0.1", ports.server, 4096);
    ASSERT_TRUE(slow.valid());
    // It asks for LIST for ever and reads none of the answers.
    std::atomic<bool> stop{false};
    std::thread asker([&] {
        const std::string lists = [] {
            std::string all;
            for (int i = 0; i < 200; ++i) all += "LIST\r\n";
            return all;
        }();
        for (int round = 0; round < 2000 && !stop; ++round)
            if (::send(slow.fd(), lists.data(), lists.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
                std::this_thread::sleep_for(Millis(2));
    });
    std::this_thread::sleep_for(Millis(200));
    EXPECT_EQ(roundTrips(first, 200), 200);
    stop = true;
    asker.join();
    EXPECT_TRUE(node.running());
}

TEST_F(Stall, MemberThatStopsReadingIsDroppedAndTheChannelGoesOn)
{
    NodeProcess node;
    startNode(node);
    LineSocket alice = registered("alice", std::move(first));
    LineSocket bob = registered("bob", connectFrom("127.0.0.1", ports.server));
    LineSocket carol = registered("carol", connectFrom("127.0.0.1", ports.server, 4096));
    for (LineSocket *s : {&alice, &bob, &carol}) ASSERT_TRUE(s->send("JOIN #c\r\n"));
    EXPECT_EQ(daemon.nextLine(), "ADDCHAN #c\r\n");
    (void)alice.drain(Millis(200));
    (void)bob.drain(Millis(50));

    constexpr int MESSAGES = 15000;  // past what the kernel buffers for carol, and her queue
    const std::string text(400, 't');
    std::atomic<int> bobGot{0};
    std::atomic<bool> inOrder{true};
    std::string carolQuit;
    std::thread reader([&] {
        for (int seen = 0; seen < MESSAGES + 50;) {
            const std::string line = bob.readLine(Millis(5000));
            if (line.empty()) return;
            if (line.find(" QUIT ") != std::string::npos) carolQuit = line;
            if (line.find(" PRIVMSG #c :") == std::string::npos) continue;
            if (line != ":alice PRIVMSG #c :" + std::to_string(bobGot) + " " + text + "\r\n") inOrder = false;
            if (++bobGot == MESSAGES) return;
            ++seen;
        }
    });
    // Every channel message is also asked of the daemon, which answers that no other node needs it.
    bool carolRemoved = false;
    for (int i = 0; i < MESSAGES; i += 100) {
        // bob reads as a client does, so alice stays at most a few hundred lines ahead of him: a
        // reader further behind than its queue and the kernel's buffers has stopped reading.
        for (int waited = 0; waited < 500 && bobGot < i - 500; ++waited) std::this_thread::sleep_for(Millis(10));
        std::string batch;
        for (int j = i; j < i + 100; ++j) batch += "PRIVMSG #c :" + std::to_string(j) + " " + text + "\r\n";
        ASSERT_TRUE(alice.send(batch));
        for (int asked = 0; asked < 100;) {
            const std::string line = daemon.nextLine();
            ASSERT_FALSE(line.empty()) << "the node stopped asking after " << i + asked;
            if (line == "REMOVEUSER carol\r\n") carolRemoved = true;
            if (line != "NEXTHOPS 3 #c\r\n") continue;
            ASSERT_TRUE(daemon.send("OK\n"));
            ++asked;
        }
    }
    reader.join();
    EXPECT_EQ(bobGot, MESSAGES);
    EXPECT_TRUE(inOrder);
    // carol's departure is handled as a closed connection's: the daemon forgets her, the members see her go.
    EXPECT_TRUE(carolRemoved);
    EXPECT_EQ(carolQuit, ":carol!ucarol@localhost QUIT :carol has left the channel\r\n");
    EXPECT_TRUE(node.running());
}

// A name server that never answers: the client being looked up waits for its name up to the
// limit, then registers under its dotted quad, with its pipelined lines handled in order; the
// node serves everyone else meanwhile. Runs the node in a mount namespace of its own whose
// resolver configuration names a silent server of the test's.
TEST_F(Stall, SilentNameServerDelaysOnlyTheClientBeingLookedUp)
{
    if (std::system("unshare -m true >/dev/null 2>&1") != 0) GTEST_SKIP() << "mount namespaces are refused here";
    const int dns = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = inet_addr("127.0.0.77");
    at.sin_port = htons(53);
    if (bind(dns, reinterpret_cast<sockaddr *>(&at), sizeof at) < 0) {
        ::close(dns);
        GTEST_SKIP() << "no silent name server could listen on 127.0.0.77:53";
    }
    NodeProcess node("/usr/bin/unshare");
    const std::string resolvConf = node.dir() + "/resolv.conf";
    std::ofstream(resolvConf) << "nameserver 127.0.0.77\n";
    startNode(node, {"-m", "sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"", resolvConf, QUORVEL_BINARY});

    LineSocket nameless = connectFrom("127.0.0.66", ports.server);
    ASSERT_TRUE(nameless.valid());
    ASSERT_TRUE(nameless.send("NICK nameless\r\nUSER u h s :No Name\r\nJOIN #n\r\n"));
    EXPECT_EQ(roundTrips(first, 50), 50);
    EXPECT_FALSE(nameless.readable(Millis(0))) << "registered before the others were served";

    EXPECT_EQ(readLines(nameless, 3, Millis(5000)), motd("nameless"));
    EXPECT_EQ(nameless.readLine(), ":nameless JOIN #n\r\n");
    EXPECT_EQ(readLines(nameless, 2), namesLine("nameless", "#n", "nameless") + namesEnd("nameless", "#n"));
    ASSERT_TRUE(nameless.send("WHO #n\r\n"));
    EXPECT_EQ(nameless.readLine(), expected::whoLine(hostName(), "nameless", "#n", "u", "127.0.0.66", "nameless", "No Name "));
    char query[512];
    EXPECT_GT(recv(dns, query, sizeof query, MSG_DONTWAIT), 0) << "the lookup never reached the name server";
    ::close(dns);
}

// A client that pipelines messages for another node while the daemon answers none holds only
// itself up, once it holds its share of the routing queue: another user's local messages all come
// back meanwhile.
TEST_F(Stall, BurstForAnotherNodeWithASilentDaemonHoldsOnlyItsSender)
{
    NodeProcess node;
    startNode(node);
    LineSocket alice = registered("alice", std::move(first));
    LineSocket bob = registered("bob", LineSocket::connectTo(ports.server));
    std::string burst;
    for (int i = 0; i < 600; ++i) burst += "PRIVMSG remote :burst " + std::to_string(i) + "\r\n";
    ASSERT_TRUE(alice.send(burst));
    int asked = 0;
    while (asked < 32 && daemon.nextLine() == "NEXTHOP remote\r\n") ++asked;
    EXPECT_EQ(asked, 32);
    int heard = 0;
    for (int i = 0; i < 20; ++i) {
        const std::string text = "round " + std::to_string(i);
        if (!bob.send("PRIVMSG bob :" + text + "\r\n")) break;
        if (bob.readLine() != ":bob PRIVMSG bob :" + text + "\r\n") break;
        ++heard;
    }
    EXPECT_EQ(heard, 20);
    EXPECT_TRUE(node.running());
}
