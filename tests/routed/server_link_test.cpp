// The server link over loopback: a test client stands in for the server, writes request lines and
// reads the answers the daemon sends back.

#include "routed/routes.h"
#include "routed/server_link.h"
#include "rtlib/rt_key.h"
#include "tests/routed/db_builder.h"
#include "tests/routed/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/clock.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace routedtest;
using Lines = std::vector<std::string>;

constexpr int LONGEST_NAME = NAME_LENGTH_MAX;
constexpr int QUIET_MS = 10;  // loopback data is there at once; this only confirms nothing more is

class ServerLink : public ::testing::Test {
protected:
    // Node 1 is this one; 2 hosts bob and #c, 3 hosts #c too.
    void SetUp() override
    {
        fillDb(lsdb, {1, 2, 3}, 1, {{1, 2}, {1, 3}});
        hostUser(lsdb, 2, "bob");
        hostChan(lsdb, 2, "#c");
        hostChan(lsdb, 3, "#c");

        listener_ = boundLoopback(SOCK_STREAM, addr_);
        ASSERT_EQ(listen(listener_, 4), 0);
        ASSERT_EQ(fcntl(listener_, F_SETFL, O_NONBLOCK), 0);  // an accept with nothing waiting must not hang
        startServerLink(listener_, INADDR_LOOPBACK);
        client_ = connectServer();
        ASSERT_GE(serverLinkSock(), 0);
    }

    void TearDown() override
    {
        rt_forget_key();
        if (serverLinkSock() >= 0) close(serverLinkSock());
        for (int fd : clients_) close(fd);
        close(listener_);
    }

    // A connection to the daemon's local port from 127.0.0.host, accepted by the daemon.
    int connectServer(uint8_t host = 1)
    {
        sockaddr_in from;
        const int fd = boundLoopback(SOCK_STREAM, from, host);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr_), sizeof addr_), 0);
        const timeval patience = {2, 0};  // a missing answer fails the test, not hangs it
        EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience), 0);
        clients_.push_back(fd);
        acceptServer();
        return fd;
    }

    // Lets the daemon read everything that has arrived on the link and the waiting connections, as
    // its loop would; now is the loop's clock (the default is within every waiting connection's patience).
    static void pump(long long now = -1)
    {
        for (int reads = 0; reads < 1000; ++reads) {
            fd_set ready;
            FD_ZERO(&ready);
            int high = -1;
            watchServerLink(ready, high);
            timeval patience = {0, QUIET_MS * 1000};
            const int n = select(high + 1, &ready, nullptr, nullptr, &patience);
            if (n < 0) return;
            FD_CLR(serverListener(), &ready);  // the tests accept themselves
            serveServerLink(ready, now < 0 ? nowMillis() : now);
            if (n == 0 || (n == 1 && FD_ISSET(serverListener(), &ready))) return;
        }
    }

    static bool closedByDaemon(int fd)
    {
        char byte;
        return recv(fd, &byte, 1, 0) == 0;
    }

    // Sends the requests, lets the daemon take all of them, and returns every answer line.
    Lines exchange(const std::string &requests, int fd = -1)
    {
        if (fd < 0) fd = client_;
        EXPECT_EQ(send(fd, requests.data(), requests.size(), MSG_NOSIGNAL), static_cast<ssize_t>(requests.size()));
        pump();
        return answers(fd);
    }

    static Lines answers(int fd)
    {
        std::string data;
        char buffer[4096];
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, QUIET_MS) > 0) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            data.append(buffer, static_cast<size_t>(n));
        }
        Lines lines;
        for (size_t end; (end = data.find('\n')) != std::string::npos; data.erase(0, end + 1))
            lines.push_back(data.substr(0, end));
        EXPECT_EQ(data, "") << "an answer without its line end";
        return lines;
    }

    static const NodeState &own() { return lsdb.nodes[lsdb.self]; }

    template <typename Table>
    static Lines namesIn(const Table &table)
    {
        Lines out;
        for (int fragment = 0; fragment < MAX_FRAGMENTS; ++fragment)
            table.forEachIn(fragment, [&](std::string_view name) { out.emplace_back(name); });
        std::sort(out.begin(), out.end());
        return out;
    }
    static Lines users() { return namesIn(own().users); }
    static Lines chans() { return namesIn(own().chans); }

    int listener_ = -1;
    sockaddr_in addr_{};
    int client_ = -1;
    std::vector<int> clients_;
};

TEST_F(ServerLink, OneAnswerPerRequestInOrder)
{
    EXPECT_EQ(exchange("NEXTHOP bob\nNEXTHOP nobody\nNEXTHOPS 1 #c\nNEXTHOPS 2 #c\nNEXTHOPS 99 #c\n"
                       "NEXTHOPS 1 #none\nNEXTHOPS x #c\nNEXTHOP\nNEXTHOPS\nNEXTHOPS 1\nNEXTHOP   bob  \n"),
              (Lines{"OK 2 1", "NONE", "OK 2 3", "OK 3", "OK", "NONE", "OK", "NONE", "NONE", "NONE", "OK 2 1"}));
    // Announcements and unknown or empty lines get no answer: the next answer is still the next request's.
    EXPECT_EQ(exchange("ADDUSER al\nADDCHAN #a\nREMOVECHAN #a\nREMOVEUSER al\nPING\n\n   \nNEXTHOP bob\n"),
              Lines{"OK 2 1"});
}

// A request line of the given length whose part beyond the buffer would read as a request of its own.
std::string overlong(const std::string &request, size_t length)
{
    std::string line = request + " " + std::string(REQUEST_SIZE - 2 - request.size(), 'x') + " NEXTHOP bob";
    while (line.size() < length) line += " y";
    return line.substr(0, length);
}

TEST_F(ServerLink, LineEndsAndOverlongLines)
{
    EXPECT_EQ(exchange("NEXTHOP bob\r\nNEXTHOP nobody\nNEXTHOP bob\r\n"), (Lines{"OK 2 1", "NONE", "OK 2 1"}));
    // A line split over several reads is one line.
    EXPECT_EQ(exchange("NEXT"), Lines{});
    EXPECT_EQ(exchange("HOP b"), Lines{});
    EXPECT_EQ(exchange("ob\r"), Lines{});
    EXPECT_EQ(exchange("\n"), Lines{"OK 2 1"});
    // A line that fills the buffer is read whole; every longer one still gets its one answer, and
    // the line after it is read whole.
    std::string requests;
    Lines expected;
    for (const char *end : {"\n", "\r\n"})
        for (size_t length : {510, 511}) {
            requests += "NEXTHOP" + std::string(length - 10, ' ') + "bob" + end;
            expected.push_back("OK 2 1");
        }
    for (size_t length : {509, 510, 511, 512, 513, 600, 1500, 5000})
        for (const char *end : {"\n", "\r\n"}) {
            requests += overlong("NEXTHOP", length) + end + "NEXTHOP bob\n";
            requests += overlong("ADDUSER", length) + end + "NEXTHOP bob\n";
            expected.insert(expected.end(), {"NONE", "OK 2 1", "OK 2 1"});
        }
    EXPECT_EQ(exchange(requests), expected);
    EXPECT_EQ(users(), Lines{});
}

TEST_F(ServerLink, AnnouncementsEnterTheOwnAdvertisement)
{
    const std::string longest(LONGEST_NAME, 'n');
    EXPECT_EQ(exchange("ADDUSER alice\nADDUSER alice\nADDUSER  carol\nADDUSER " + longest + "\nADDUSER " + longest +
                       "x\nADDCHAN #a\nADDCHAN #a\nADDCHAN #b\nREMOVECHAN #a\nREMOVEUSER nobody\nREMOVEUSER\nADDUSER\n"),
              Lines{});
    EXPECT_EQ(users(), (Lines{"alice", "carol", longest}));
    EXPECT_EQ(chans(), Lines{"#b"});
    EXPECT_EQ(exchange("REMOVEUSER alice\nREMOVEUSER alice\n"), Lines{});
    EXPECT_EQ(users(), (Lines{"carol", longest}));

    // The other nodes route to what this one announced.
    {
        SelfAs two(lsdb, 2);
        EXPECT_EQ(routeToNick(lsdb, "carol").nextHop, nodeIndex(lsdb, 1));
        int hops[MAX_NODES];
        EXPECT_EQ(channelNextHops(lsdb, nodeIndex(lsdb, 2), "#b", hops), 1);
    }

    // Past the limits an announcement is left out, without an answer, and what was held stays.
    std::string many;
    for (int i = 0; i < MAX_USERS + 4; ++i) many += "ADDUSER u" + std::to_string(i) + "\n";
    for (int i = 0; i < MAX_CHANNELS + 4; ++i) many += "ADDCHAN #" + std::to_string(i) + "\n";
    EXPECT_EQ(exchange(many + "NEXTHOP bob\n"), Lines{"OK 2 1"});
    EXPECT_EQ(own().users.count(), MAX_USERS);
    EXPECT_EQ(own().chans.count(), MAX_CHANNELS);
    EXPECT_TRUE(own().users.contains("carol"));
    EXPECT_FALSE(own().users.contains("u" + std::to_string(MAX_USERS)));
    // Room freed is room to announce again.
    EXPECT_EQ(exchange("REMOVEUSER carol\nADDUSER dave\n"), Lines{});
    const Lines now = users();
    EXPECT_EQ(now.size(), static_cast<size_t>(MAX_USERS));
    EXPECT_NE(std::find(now.begin(), now.end(), "dave"), now.end());
}

TEST_F(ServerLink, ALiveLinkIsNotReplaced)
{
    EXPECT_EQ(exchange("ADDUSER alice\nADDCHAN #a\nNEXTHOP bo"), Lines{});
    // Whatever a newcomer says other than a status request, it is closed and changes nothing.
    for (const char *attempt : {"ADDUSER mallory\n", "NEXTHOP bob\n", "STATUS please\n", ""}) {
        const int intruder = connectServer();
        EXPECT_EQ(serverWaitingCount(), 1) << attempt;
        if (*attempt) EXPECT_EQ(exchange(attempt, intruder), Lines{}) << attempt;
        else shutdown(intruder, SHUT_WR);
        pump();
        EXPECT_TRUE(closedByDaemon(intruder)) << attempt;
        EXPECT_EQ(serverWaitingCount(), 0) << attempt;
    }
    EXPECT_EQ(users(), Lines{"alice"});
    EXPECT_EQ(exchange("b\n"), Lines{"OK 2 1"});
}

TEST_F(ServerLink, ARestartedServerGetsTheLinkAtOnceAndAWaitingOneNever)
{
    EXPECT_EQ(exchange("ADDUSER alice\nADDCHAN #a\nNEXTHOP bo"), Lines{});
    // The old server has ended before the new one connects, though its end has not been read.
    close(client_);
    const int second = connectServer();
    EXPECT_EQ(serverWaitingCount(), 0);
    EXPECT_EQ(own().users.count(), 0);
    EXPECT_EQ(own().chans.count(), 0);
    // What the old link left half written is not the start of the new link's first line.
    EXPECT_EQ(exchange("b\nNEXTHOP bob\n", second), Lines{"OK 2 1"});

    // Connected beside the live link (any local process can): when the link ends, it does not
    // inherit it, whatever it says; it is closed, and the server connects again by itself.
    const int squatter = connectServer();
    EXPECT_EQ(exchange("ADDUSER carol\n", second), Lines{});
    close(second);
    pump();
    EXPECT_LT(serverLinkSock(), 0);
    EXPECT_EQ(users(), Lines{});
    EXPECT_EQ(exchange("ADDUSER dave\nNEXTHOP bob\n", squatter), Lines{});
    EXPECT_TRUE(closedByDaemon(squatter));
    EXPECT_EQ(users(), Lines{});
    // One that stays silent beside a live link is closed at the end of its patience.
    const int third = connectServer();
    const int silent = connectServer();
    EXPECT_GE(serverLinkSock(), 0);
    pump(nowMillis() + RT_AUTH_PATIENCE_MS);
    EXPECT_TRUE(closedByDaemon(silent));
    EXPECT_EQ(exchange("ADDUSER dave\nNEXTHOP bob\n", third), Lines{"OK 2 1"});
    EXPECT_EQ(users(), Lines{"dave"});
}

// A server that resets its link in the middle of an overlong request: the answer cannot be sent
// and the link ends while its line is being framed. The next server's first line is its own.
TEST_F(ServerLink, ALinkThatEndsInALongLineLeavesNothingToTheNext)
{
    const linger reset = {1, 0};
    ASSERT_EQ(setsockopt(client_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    const std::string request = overlong("NEXTHOP", 520) + "\n";
    ASSERT_EQ(send(client_, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    close(client_);
    clients_.erase(std::find(clients_.begin(), clients_.end(), client_));
    pump();
    EXPECT_LT(serverLinkSock(), 0);
    const int next = connectServer();
    ASSERT_GE(serverLinkSock(), 0);
    EXPECT_EQ(exchange("NEXTHOP bob\nNEXTHOP nobody\n", next), (Lines{"OK 2 1", "NONE"}));
}

TEST_F(ServerLink, OnlyTheNodesOwnAddressLinks)
{
    close(client_);
    pump();
    // Node 1 at 127.0.0.2: a connection from 127.0.0.1 never links, one from 127.0.0.2 does.
    const uint32_t nodeAddr = INADDR_LOOPBACK + 1;
    close(listener_);
    listener_ = boundLoopback(SOCK_STREAM, addr_, 2);
    ASSERT_EQ(listen(listener_, 4), 0);
    ASSERT_EQ(fcntl(listener_, F_SETFL, O_NONBLOCK), 0);
    startServerLink(listener_, nodeAddr);
    // Another loopback address is this machine: it may ask for the status, and only that.
    const int viewer = connectServer(1);
    EXPECT_LT(serverLinkSock(), 0);
    EXPECT_EQ(serverWaitingCount(), 1);
    const Lines report = exchange("STATUS\r\n", viewer);
    EXPECT_FALSE(report.empty());
    const int pretender = connectServer(1);
    EXPECT_EQ(exchange("ADDUSER mallory\n", pretender), Lines{});
    EXPECT_LT(serverLinkSock(), 0);
    EXPECT_TRUE(closedByDaemon(pretender));
    const int own = connectServer(2);
    EXPECT_GE(serverLinkSock(), 0);
    close(own);
    pump();
    startServerLink(listener_, 0x0a000001);  // 10.0.0.1: no loopback address is its own
    const int stranger = connectServer(2);
    EXPECT_LT(serverLinkSock(), 0);
    EXPECT_EQ(serverWaitingCount(), 0);
    EXPECT_TRUE(closedByDaemon(stranger));
}

TEST_F(ServerLink, AStatusRequestIsAnsweredAndClosedWithoutTouchingTheLink)
{
    EXPECT_EQ(exchange("ADDUSER alice\n"), Lines{});
    for (int round = 0; round < 2; ++round) {
        const int viewer = connectServer();
        const Lines report = exchange("STATUS\r\n", viewer);
        ASSERT_FALSE(report.empty()) << round;
        EXPECT_EQ(report.front().rfind("status of node 1: datagrams", 0), 0u) << report.front();
        EXPECT_EQ(report.back(), "end");
        const char *hosted = round == 0 ? "node 1 users: alice" : "node 1 users:";
        EXPECT_NE(std::find(report.begin(), report.end(), hosted), report.end()) << hosted;
        EXPECT_NE(std::find(report.begin(), report.end(), "route 2 next 2 hops 1"), report.end());
        EXPECT_TRUE(closedByDaemon(viewer)) << round;
        if (round == 0) {
            EXPECT_EQ(exchange("NEXTHOP bob\n"), Lines{"OK 2 1"}) << "the link is still the server's";
            EXPECT_EQ(users(), Lines{"alice"});
            close(client_);  // the next request finds no server linked
            pump();
        } else {
            EXPECT_LT(serverLinkSock(), 0) << "a status request never becomes the link";
        }
    }
}

// Both ends read the opening lines with this one parser: the word, one space, exactly the digits.
TEST(KeyLine, WordSpaceAndExactlyItsHexDigits)
{
    const std::string hex(64, 'a');
    EXPECT_STREQ(rt_key_line_hex(("AUTH " + hex).c_str(), RT_AUTH_WORD, 64), hex.c_str());
    for (const std::string &line : {"AUTH  " + hex, "AUTH " + hex + "a", "AUTH " + hex.substr(1), "AUTHX " + hex,
                                    "AUTH " + hex.substr(1) + "g", "CHALLENGE " + hex, std::string("AUTH"), "AUTH " + hex + " "})
        EXPECT_EQ(rt_key_line_hex(line.c_str(), RT_AUTH_WORD, 64), nullptr) << line;
}

class KeyedServerLink : public ServerLink {
protected:
    void SetUp() override
    {
        ServerLink::SetUp();
        close(client_);
        pump();
        char path[] = "/tmp/quorvel-key-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_EQ(write(fd, "0123456789abcdef0123456789abcdef", 32), 32);
        close(fd);
        ASSERT_TRUE(rt_load_key("test", path));
        unlink(path);
        startServerLink(listener_, INADDR_LOOPBACK);
    }

    // A connection that has read its challenge, which it returns.
    std::string challenged(int &fd, uint8_t host = 1)
    {
        fd = connectServer(host);
        const Lines greeting = answers(fd);
        EXPECT_EQ(greeting.size(), 1u);
        const std::string prefix = "CHALLENGE ";
        if (greeting.empty() || greeting[0].rfind(prefix, 0) != 0) return "";
        EXPECT_EQ(greeting[0].size(), prefix.size() + RT_CHALLENGE_HEX);
        return greeting[0].substr(prefix.size());
    }

    static std::string auth(const std::string &challenge, uint32_t node = 1)
    {
        char proof[2 * RT_MAC_SIZE + 1];
        rt_server_link_proof(node, challenge.c_str(), proof);
        return std::string("AUTH ") + proof + "\r\n";
    }
};

TEST_F(KeyedServerLink, OnlyTheProofOfTheKeyForThisChallengeLinks)
{
    int fd;
    const std::string first = challenged(fd);
    EXPECT_LT(serverLinkSock(), 0) << "the node's address alone no longer links";
    // Whatever does not prove the key for its own challenge is closed and never linked: a keyless
    // server's request, a wrong MAC, another node's proof, a proof replayed from another
    // connection's challenge, silence.
    const std::string wrong(2 * RT_MAC_SIZE, '0');
    for (const std::string &attempt : {std::string("ADDUSER mallory\n"), "AUTH " + wrong + "\n", auth(first, 2),
                                       auth(first), std::string()}) {
        int other;
        const std::string challenge = challenged(other);
        EXPECT_NE(challenge, first);
        if (!attempt.empty()) EXPECT_EQ(exchange(attempt, other), Lines{}) << attempt;
        else pump(nowMillis() + RT_AUTH_PATIENCE_MS);
        EXPECT_TRUE(closedByDaemon(other)) << attempt;
        EXPECT_LT(serverLinkSock(), 0) << attempt;
    }
    // A status request needs no proof, and links nothing.
    int viewer;
    (void)challenged(viewer);
    EXPECT_FALSE(exchange("STATUS\n", viewer).empty());
    EXPECT_LT(serverLinkSock(), 0);
}

TEST_F(KeyedServerLink, AProvenServerLinksAndAProvenRestartReplacesItAtOnce)
{
    // Squatters fill every waiting place first: the newcomer takes the oldest's.
    std::vector<int> squatters(WAITING_PEERS);
    for (int &fd : squatters) (void)challenged(fd);
    int server;
    const std::string challenge = challenged(server);
    EXPECT_TRUE(closedByDaemon(squatters[0]));
    // Requests behind the proof in the same write are the link's.
    EXPECT_EQ(exchange(auth(challenge) + "ADDUSER alice\nNEXTHOP bob\n", server), Lines{"OK 2 1"});
    EXPECT_EQ(serverWaitingCount(), WAITING_PEERS - 1);
    EXPECT_EQ(users(), Lines{"alice"});
    // A restarted server proves the key while the old link looks alive: the link is its at once.
    int restarted;
    const std::string again = challenged(restarted);
    EXPECT_EQ(exchange(auth(again) + "ADDUSER bob2\n", restarted), Lines{});
    EXPECT_TRUE(closedByDaemon(server));
    EXPECT_EQ(users(), Lines{"bob2"});
    EXPECT_EQ(exchange("NEXTHOP bob\n", restarted), Lines{"OK 2 1"});
}

}  // namespace
