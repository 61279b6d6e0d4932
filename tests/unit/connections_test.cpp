// sendData, resetConnection and the neighbour lookup.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>
#include <string>

#include "core/connections.h"
#include "core/server.h"
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

TEST_F(Connections, FreeSlotGetsNothing)
{
    EXPECT_EQ(sendData(4, "abcd"), 0);
    EXPECT_EQ(daemon.take(), "");
}

// SIGPIPE keeps its default action here: a send that raised it would end the test binary.
TEST_F(Connections, SendToAVanishedPeerFailsQuietly)
{
    ClientEnd c = attachClient(2);
    c.closeMine();
    EXPECT_EQ(sendData(2, "abcd"), 0);
    EXPECT_EQ(sendData(2, "again"), 0);
}

// A peer that stops reading lets the send time out, possibly mid-line: it gets no more lines, so
// none is glued to the broken one, and its stream ends so that the node's next read drops it.
TEST_F(Connections, StalledPeerIsShutDownAfterATimedOutSend)
{
    ClientEnd c = attachClient(1);
    const timeval shortTimeout{0, 20000};
    ASSERT_EQ(setsockopt(connections[1].sock, SOL_SOCKET, SO_SNDTIMEO, &shortTimeout, sizeof shortTimeout), 0);
    const std::string line(400, 'x');
    int sent = 0;
    while (sent < 100000 && sendData(1, line.c_str()) == 1) ++sent;
    ASSERT_LT(sent, 100000) << "the peer's queue never filled";
    EXPECT_EQ(sendData(1, "after"), 0);
    const std::string got = c.take();
    EXPECT_EQ(got.find("after"), std::string::npos);
    EXPECT_LT(got.size(), size_t(sent + 1) * 402);
    EXPECT_TRUE(c.hungUp());
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
