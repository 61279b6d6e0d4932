// The server link over loopback: a test client stands in for the server, writes request lines and
// reads the answers the daemon sends back.

#include "routed/routes.h"
#include "routed/server_link.h"
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
        lsdb = makeDb({1, 2, 3}, 1, {{1, 2}, {1, 3}});
        hostUser(lsdb, 2, "bob");
        hostChan(lsdb, 2, "#c");
        hostChan(lsdb, 3, "#c");

        listener_ = boundLoopback(SOCK_STREAM, addr_);
        ASSERT_EQ(listen(listener_, 4), 0);
        ASSERT_EQ(fcntl(listener_, F_SETFL, O_NONBLOCK), 0);  // an accept with nothing waiting must not hang
        startServerLink(listener_);
        client_ = connectServer();
    }

    void TearDown() override
    {
        if (serverLinkSock() >= 0) close(serverLinkSock());
        for (int fd : clients_) close(fd);
        close(listener_);
    }

    int connectServer()
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr_), sizeof addr_), 0);
        const timeval patience = {2, 0};  // a missing answer fails the test, not hangs it
        EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience), 0);
        clients_.push_back(fd);
        acceptServer();
        EXPECT_GE(serverLinkSock(), 0);
        return fd;
    }

    // Lets the daemon read everything that has arrived, as its loop would.
    static void pump()
    {
        for (int reads = 0; reads < 1000 && serverLinkSock() >= 0; ++reads) {
            pollfd p{serverLinkSock(), POLLIN, 0};
            if (poll(&p, 1, QUIET_MS) <= 0) return;
            readServer();
        }
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

    static const Advert &own() { return lsdb.nodes[lsdb.self].advert; }

    static Lines users()
    {
        Lines out(own().users, own().users + own().userCount);
        std::sort(out.begin(), out.end());
        return out;
    }

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
    ASSERT_EQ(own().chanCount, 1);
    EXPECT_STREQ(own().chans[0], "#b");
    EXPECT_EQ(exchange("REMOVEUSER alice\nREMOVEUSER alice\n"), Lines{});
    EXPECT_EQ(users(), (Lines{"carol", longest}));

    // The other nodes route to what this one announced.
    EXPECT_EQ(routeToNick(withSelf(lsdb, 2), "carol").nextHop, nodeIndex(lsdb, 1));
    int hops[MAX_NODES];
    EXPECT_EQ(channelNextHops(withSelf(lsdb, 2), nodeIndex(lsdb, 2), "#b", hops), 1);

    std::string many;
    for (int i = 0; i < MAX_NAMES + 4; ++i) many += "ADDUSER u" + std::to_string(i) + "\nADDCHAN #" + std::to_string(i) + "\n";
    EXPECT_EQ(exchange(many + "NEXTHOP bob\n"), Lines{"OK 2 1"});
    EXPECT_EQ(own().userCount, MAX_NAMES);
    EXPECT_EQ(own().chanCount, MAX_NAMES);
    // Room freed is room to announce again.
    EXPECT_EQ(exchange("REMOVEUSER carol\nADDUSER dave\n"), Lines{});
    const Lines now = users();
    EXPECT_EQ(now.size(), static_cast<size_t>(MAX_NAMES));
    EXPECT_NE(std::find(now.begin(), now.end(), "dave"), now.end());
}

TEST_F(ServerLink, ANewConnectionReplacesTheLink)
{
    EXPECT_EQ(exchange("ADDUSER alice\nADDCHAN #a\nNEXTHOP bo"), Lines{});
    ASSERT_EQ(own().userCount, 1);
    const int second = connectServer();
    EXPECT_EQ(own().userCount, 0);
    EXPECT_EQ(own().chanCount, 0);
    char byte;
    EXPECT_EQ(recv(client_, &byte, 1, 0), 0) << "the replaced link is closed";
    // What the old link left half written is not the start of the new link's first line.
    EXPECT_EQ(exchange("b\nNEXTHOP bob\n", second), Lines{"OK 2 1"});

    EXPECT_EQ(exchange("ADDUSER carol\n", second), Lines{});
    ASSERT_EQ(own().userCount, 1);
    close(second);
    clients_.pop_back();
    pump();
    EXPECT_LT(serverLinkSock(), 0);
    EXPECT_EQ(own().userCount, 0);
}

}  // namespace
