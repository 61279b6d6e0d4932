// Flooding in a mesh: what one cycle costs, what a relay passes on, what a new link is sent, and
// what a neighbour's hellos say of its configuration.

#include "routed/codec.h"
#include "rtlib/rt_args.h"
#include "routed/status.h"
#include "tests/routed/flood_harness.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

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

// The digest node 1 puts in its hellos, as it sends them to node 2.
std::string ownDigestWord(FloodHarness &net)
{
    for (const std::string &d : net.received(2)) {
        const size_t at = d.find(" cfg=");
        if (d.rfind("HELLO ", 0) == 0 && at != std::string::npos) return d.substr(at + 1);
    }
    ADD_FAILURE() << "no hello with a digest";
    return "";
}

const Neighbour &neighbourNode(uint32_t id)
{
    for (int i = 0; i < neighbours.count; ++i)
        if (lsdb.nodes[neighbours.entries[i].node].id == id) return neighbours.entries[i];
    ADD_FAILURE() << "no neighbour " << id;
    return neighbours.entries[0];
}

int occurrences(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A neighbour whose hellos carry another digest is traced once per change and shown in the status
// report, and its link works as any other; a hello without a digest changes nothing.
TEST(Flooding, ADriftingNeighbourIsReportedOncePerChangeAndStillLinks)
{
    FloodHarness net(3);
    net.pump(0);
    const std::string same = ownDigestWord(net);
    ASSERT_EQ(same.size(), 4u + 2 * CONFIG_DIGEST_SIZE);
    std::string other = same;
    other.back() = other.back() == '0' ? '1' : '0';
    const std::string drift = "node 2 has a different configuration";
    const std::string agreed = "node 2 has the same configuration again";

    const int verbose = argList.verbose;
    argList.verbose = 1;
    testing::internal::CaptureStdout();
    int64_t now = 10;
    // Per step: node 2's hello, whether the flag is then set, and the report lines so far.
    const struct Step {
        std::string hello;
        bool differs;
        int drifts, agreements;
    } steps[] = {{"HELLO 2 1 " + other, true, 1, 0}, {"HELLO 2 1 " + other, true, 1, 0}, {"HELLO 2 1", true, 1, 0},
                 {"HELLO 2 1 " + same, false, 1, 1}, {"HELLO 2 1 " + same, false, 1, 1}, {"HELLO 2 1 " + other, true, 2, 1}};
    std::vector<bool> flags, ups;
    for (const Step &step : steps) {
        net.send(2, step.hello);
        net.send(3, "HELLO 3 1 " + same);
        net.pump(now += 10);
        flags.push_back(neighbourNode(2).configDiffers);
        ups.push_back(neighbourNode(2).up);
        EXPECT_FALSE(neighbourNode(3).configDiffers);
    }
    const std::string traced = testing::internal::GetCapturedStdout();
    argList.verbose = verbose;
    std::vector<bool> expected;
    for (const Step &step : steps) expected.push_back(step.differs);
    EXPECT_EQ(flags, expected);
    EXPECT_EQ(ups, std::vector<bool>(std::size(steps), true));
    EXPECT_EQ(occurrences(traced, drift), steps[std::size(steps) - 1].drifts) << traced;
    EXPECT_EQ(occurrences(traced, agreed), steps[std::size(steps) - 1].agreements) << traced;
    EXPECT_EQ(occurrences(traced, "node 3 has"), 0) << traced;

    const std::string report = statusReport();
    EXPECT_EQ(occurrences(report, "drift: " + drift + "\n"), 1) << report;
    EXPECT_EQ(occurrences(report, "drift:"), 1) << report;
}

// A hello that cannot be a neighbour's (node 2's name from node 3's address, as when the two files
// disagree on where node 2 is) is refused, but its other digest is still reported, once.
TEST(Flooding, ADriftingNodeThatCannotLinkIsReportedToo)
{
    FloodHarness net(3);
    net.pump(0);
    std::string other = ownDigestWord(net);
    other.back() = other.back() == '0' ? '1' : '0';
    for (int i = 0; i < 3; ++i) {
        net.send(3, "HELLO 2 1 " + other);
        net.pump(10 + i);
    }
    EXPECT_FALSE(neighbourNode(2).up);
    EXPECT_EQ(floodStats().refused, 3u);
    const std::string report = statusReport();
    EXPECT_EQ(occurrences(report, "drift: node 2 has a different configuration\n"), 1) << report;
    EXPECT_EQ(occurrences(report, "drift:"), 1) << report;
}

}  // namespace
