// sendData, resetConnection and the neighbour lookup.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "core/connections.h"
#include "core/server.h"
#include "routing/pending_queue.h"
#include "support/client_end.h"
#include "support/tables.h"

namespace {

class Connections : public ::testing::Test {
protected:
    FreshTables tables{"testhost"};
    ClientEnd daemon = attachClient(DAEMON_SLOT);
};

TEST_F(Connections, SendAppendsCrLf)
{
    ClientEnd c = attachClient(1);
    EXPECT_EQ(sendData(1, "abcd"), 1);
    EXPECT_EQ(c.take(), "abcd\r\n");
    EXPECT_EQ(sendData(1, ""), 1);
    EXPECT_EQ(c.take(), "\r\n");
}

TEST_F(Connections, LongTextIsCutToOneLine)
{
    ClientEnd c = attachClient(1);
    EXPECT_EQ(sendData(1, std::string(600, 'z').c_str()), 1);
    const std::string got = c.take();
    EXPECT_EQ(got.size(), 511u);
    EXPECT_EQ(got, std::string(509, 'z') + "\r\n");
}

// A reply that echoes a client's word with a CR in it (framing keeps a CR that is not the last
// byte) must not hand the peer a second, forged line.
TEST_F(Connections, TextEndsAtItsFirstCrOrLf)
{
    ClientEnd c = attachClient(1);
    EXPECT_EQ(sendData(1, ":testhost 432 a\rb :Erroneus nickname"), 1);
    EXPECT_EQ(sendData(1, "one\ntwo"), 1);
    EXPECT_EQ(c.take(), ":testhost 432 a\r\none\r\n");
}

TEST_F(Connections, FreeSlotGetsNothing)
{
    EXPECT_EQ(sendData(4, "abcd"), 0);
    EXPECT_EQ(daemon.take(), "");
}

// SIGPIPE keeps its default action here: a send that raised it would end the test binary.
TEST_F(Connections, PeerThatVanishedIsDroppedQuietly)
{
    ClientEnd c = attachClient(2);
    std::strcpy(connections[2].nick, "bob");
    c.closeMine();
    EXPECT_EQ(sendData(2, "abcd"), 1);  // only queued: the socket is written by the loop
    flushOutput();
    EXPECT_EQ(sendData(2, "again"), 0);
    dropBrokenPeers();
    EXPECT_EQ(connections[2].sock, 0);
    EXPECT_EQ(daemon.take(), "REMOVEUSER bob\r\n");
}

// A peer that stops reading fills its queue: it gets no more lines, so none is ever cut short or
// glued to another, and it is dropped like a closed connection, without anyone waiting for it.
TEST_F(Connections, PeerThatStopsReadingIsDroppedWhenItsQueueFills)
{
    ClientEnd c = attachClient(1);
    ClientEnd other = attachClient(3);
    const std::string line(400, 'x');
    int queued = 0;
    while (queued < 100000 && sendData(1, line.c_str()) == 1) {
        ++queued;
        if (queued % 64 == 0) flushOutput();  // as the loop does between passes
    }
    ASSERT_LT(queued, 100000) << "the peer's queue never filled";
    EXPECT_EQ(sendData(1, "after"), 0);
    EXPECT_EQ(sendData(3, "others go on"), 1);
    EXPECT_EQ(other.take(), "others go on\r\n");
    dropBrokenPeers();
    EXPECT_EQ(connections[1].sock, 0);
    const std::string got = c.take();
    EXPECT_EQ(got.find("after"), std::string::npos);
    EXPECT_EQ(got.size() % 402, 0u) << "a line was cut short";
    EXPECT_TRUE(c.hungUp());
}

// A daemon link that stops reading is not cut short, which would pair later answers with the
// wrong messages: it counts as lost, and every message waiting on it is answered with the 401.
TEST_F(Connections, DaemonLinkThatStopsReadingCountsAsLost)
{
    ClientEnd alice = attachClient(1);
    std::strcpy(connections[1].nick, "alice");
    connections[1].registered = 1;
    const Message m{"1", "alice", "bob", "hi"};
    requestRoute("NEXTHOP bob", 1, m, "bob", false);
    ASSERT_EQ(messageWaiting(), 1);
    const std::string line(400, 'r');
    int queued = 0;
    while (queued < 100000 && sendData(DAEMON_SLOT, line.c_str()) == 1) ++queued;
    ASSERT_LT(queued, 100000);
    dropBrokenPeers();
    EXPECT_EQ(connections[DAEMON_SLOT].sock, 0);
    EXPECT_EQ(messageWaiting(), 0);
    EXPECT_EQ(alice.take(), ":testhost 401 bob :No such nick/channel\r\n");
}

// The queue resumes where the socket stopped: a line the socket took only in part is finished
// before the next one starts.
TEST(OutQueue, ResumesWhereTheSocketStopped)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const int small = 4096;
    ASSERT_EQ(setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    static OutQueue q;
    outClear(q);
    std::string sent;
    for (int i = 0;; ++i) {
        const std::string line = std::to_string(i) + std::string(97, '.') + "\r\n";
        if (!outAppend(q, line.data(), line.size())) break;
        sent += line;
    }
    std::string got;
    for (int round = 0; round < 10000 && got.size() < sent.size(); ++round) {
        const Flush f = outFlush(q, pair[1]);
        EXPECT_NE(f, Flush::Failed);
        char chunk[8192];
        const ssize_t n = recv(pair[0], chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) got.append(chunk, static_cast<size_t>(n));
    }
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes arrived in order";
    EXPECT_TRUE(outEmpty(q));
    close(pair[0]);
    close(pair[1]);
}

TEST_F(Connections, ResetClearsAllButTheAddress)
{
    ClientEnd c = attachClient(1);
    Connection &slot = connections[1];
    std::strcpy(slot.buffer, "frag");
    std::strcpy(slot.nick, "alice");
    std::strcpy(slot.userName, "u");
    std::strcpy(slot.hostName, "h");
    std::strcpy(slot.realName, "r");
    std::strcpy(slot.serverName, "s");
    std::strcpy(slot.channel, "#c");
    slot.registered = 1;

    resetConnection(1);
    EXPECT_EQ(daemon.take(), "REMOVEUSER alice\r\n");
    EXPECT_EQ(slot.sock, 0);
    EXPECT_STREQ(slot.ip, "127.0.0.1");
    EXPECT_EQ(slot.registered, 0);
    Connection blank{};
    std::memcpy(blank.ip, slot.ip, sizeof blank.ip);
    EXPECT_EQ(std::memcmp(&blank, &slot, sizeof blank), 0);
    EXPECT_TRUE(c.hungUp());
}

TEST_F(Connections, ResetWithoutNickTellsNobody)
{
    ClientEnd c = attachClient(3);
    resetConnection(3);
    EXPECT_EQ(connections[3].sock, 0);
    EXPECT_TRUE(c.hungUp());
    EXPECT_EQ(daemon.take(), "");
}

// Silent sockets cannot hold the client slots: a connection that has not registered by the limit
// is closed, while a registered user is never dropped for being idle.
TEST_F(Connections, SilentConnectionsAreClosedAtTheLimit)
{
    ClientEnd silent = attachClient(1);
    ClientEnd named = attachClient(2);
    ClientEnd user = attachClient(3);
    ClientEnd late = attachClient(4);
    std::strcpy(connections[2].nick, "bob");
    connections[3].registered = 1;
    connections[4].admittedAt = 1000;
    closeSilentConnections(UNREGISTERED_LIMIT_MS - 1);
    for (int slot = 1; slot <= 4; ++slot) EXPECT_NE(connections[slot].sock, 0) << slot;

    closeSilentConnections(UNREGISTERED_LIMIT_MS);
    EXPECT_EQ(connections[1].sock, 0);
    EXPECT_EQ(connections[2].sock, 0);
    EXPECT_NE(connections[3].sock, 0);
    EXPECT_NE(connections[4].sock, 0);
    EXPECT_TRUE(silent.hungUp());
    EXPECT_EQ(daemon.take(), "REMOVEUSER bob\r\n");
}

TEST(FindNeighbor, FirstMatchOrMinusOne)
{
    rt_config_entry_t entries[3] = {{7, 0, 0, 0, 0}, {9, 0, 0, 0, 0}, {7, 1, 0, 0, 0}};
    for (int i = 0; i < 3; ++i) neighborNodes[i] = &entries[i];
    neighbors = 3;
    EXPECT_EQ(findNeighbor(7), 0);
    EXPECT_EQ(findNeighbor(9), 1);
    EXPECT_EQ(findNeighbor(8), -1);
    // Entries past the count are not neighbours, whatever the table still holds.
    neighbors = 1;
    EXPECT_EQ(findNeighbor(9), -1);
    neighbors = 0;
    EXPECT_EQ(findNeighbor(7), -1);
}

}  // namespace
