// Flooding in a mesh: what one cycle costs, what a relay passes on, and what a new link is sent.

#include "tests/routed/flood_harness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace routedtest;

std::string advertOf(uint32_t origin, uint32_t seq, const std::vector<uint32_t> &links, uint32_t from = 0)
{
    std::string d = "LSA " + std::to_string(from ? from : origin) + " " + std::to_string(origin) + " " +
                    std::to_string(seq) + " " + std::to_string(links.size());
    for (uint32_t l : links) d += " " + std::to_string(l);
    return d + " 0 0";
}

// Each idle cycle costs a hello and one fresh advertisement per neighbour, and an acknowledgement
// of what arrived; echoes of the daemon's own advertisement, however many, re-issue nothing.
TEST(Flooding, AnIdleMeshCycleCostsHellosOneRefreshAndAcks)
{
    FloodHarness net(5);
    net.bringUp(0);
    for (int cycle = 1; cycle <= 3; ++cycle) {
        const int64_t now = cycle * CYCLE_MS;
        const uint32_t seq = FloodHarness::ownSeq();
        for (uint32_t id = 2; id <= 5; ++id) {
            net.send(id, "HELLO " + std::to_string(id) + " 1 2 3 4 5");
            net.send(id, advertOf(id, static_cast<uint32_t>(cycle), {1, 2, 3, 4, 5}));
        }
        net.pump(now);
        std::vector<std::string> sent = net.receivedByAll();
        EXPECT_EQ(countKind(sent, "HELLO"), 4) << "cycle " << cycle;
        EXPECT_EQ(countKind(sent, "LSA 1 1 " + std::to_string(seq + 1)), 4) << "cycle " << cycle;
        EXPECT_EQ(countKind(sent, "ACK"), 4) << "cycle " << cycle;
        EXPECT_EQ(sent.size(), 12u) << "cycle " << cycle << ": the others' advertisements relayed?";

        // The acknowledgements, and each neighbour's echo of the refresh, as a relay would send it.
        for (uint32_t id = 2; id <= 5; ++id) {
            net.send(id, "ACK " + std::to_string(id) + " 1 " + std::to_string(seq + 1));
            net.send(id, advertOf(1, seq + 1, {2, 3, 4, 5}, id));
        }
        net.pump(now + 10);
        net.pump(now + 20);
        sent = net.receivedByAll();
        EXPECT_EQ(countKind(sent, "ACK"), 4) << "cycle " << cycle;
        EXPECT_EQ(sent.size(), 4u) << "cycle " << cycle << ": an echo re-issued the advertisement";
        EXPECT_EQ(FloodHarness::ownSeq(), seq + 1) << "cycle " << cycle;
    }
}

// A relay passes an advertisement on only to the neighbours its origin does not name as links.
TEST(Flooding, ARelaySkipsTheNeighboursTheOriginServesItself)
{
    FloodHarness net(4);
    net.bringUp(0);
    net.send(2, advertOf(2, 10, {1, 3}));
    net.pump(1);
    EXPECT_EQ(net.received(2), std::vector<std::string>{"ACK 1 2 10"});
    EXPECT_TRUE(net.received(3).empty());
    EXPECT_EQ(net.received(4), std::vector<std::string>{"LSA 1 2 10 2 1 3 0 0"});

    // Unacknowledged, it is sent again after the resend time, and only there.
    net.pump(400);
    EXPECT_TRUE(net.received(3).empty());
    EXPECT_EQ(net.received(4), std::vector<std::string>{"LSA 1 2 10 2 1 3 0 0"});
    net.send(4, "ACK 4 2 10");
    net.pump(800);
    EXPECT_TRUE(net.receivedByAll().empty());
}

// A link that comes up gets the whole database; the neighbours already up get only the news.
TEST(Flooding, ANewLinkIsSentTheDatabaseAndNoOtherIs)
{
    FloodHarness net(4);
    net.send(2, "HELLO 2 1");
    net.send(3, "HELLO 3 1");
    net.pump(0);
    net.send(2, advertOf(2, 5, {1}));
    net.send(3, advertOf(3, 7, {1}));
    net.pump(1);
    net.send(2, "ACK 2 3 7");
    net.send(3, "ACK 3 2 5");
    net.pump(2);
    net.receivedByAll();

    const uint32_t seq = FloodHarness::ownSeq();
    net.send(4, "HELLO 4 1");
    net.pump(3);
    const std::string own = "LSA 1 1 " + std::to_string(seq + 1) + " 3 2 3 4 0 0";
    EXPECT_EQ(net.received(2), std::vector<std::string>{own});
    EXPECT_EQ(net.received(3), std::vector<std::string>{own});
    const std::vector<std::string> toNew = net.received(4);
    EXPECT_EQ(countKind(toNew, "HELLO"), 1);
    EXPECT_EQ(countKind(toNew, "LSA 1 2 5"), 1);
    EXPECT_EQ(countKind(toNew, "LSA 1 3 7"), 1);
    EXPECT_EQ(countKind(toNew, "LSA 1 1"), 1);
    EXPECT_EQ(toNew.size(), 4u);
}

// An echo of the daemon's own advertisement ahead of its number (a copy from before a restart) is
// outnumbered by the next one; one far ahead moves the number not at all.
TEST(Flooding, OwnNumberFollowsPlausibleEchoesOnly)
{
    FloodHarness net(3);
    net.bringUp(0);
    const uint32_t seq = FloodHarness::ownSeq();
    for (uint32_t forged : {UINT32_MAX, seq + (1u << 30), seq - (1u << 30), seq - 5}) {
        net.send(2, advertOf(1, forged, {}, 2));
        net.pump(10);
        EXPECT_EQ(FloodHarness::ownSeq(), seq) << forged;
        EXPECT_EQ(countKind(net.received(3), "LSA"), 0) << forged;
    }
    net.send(2, advertOf(1, seq + 500, {}, 2));
    net.pump(20);
    EXPECT_EQ(FloodHarness::ownSeq(), seq + 501);
    EXPECT_EQ(countKind(net.received(3), "LSA 1 1 " + std::to_string(seq + 501)), 1);
}

}  // namespace
