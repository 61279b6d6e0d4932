// Keyed datagrams: only a right MAC is heard, each sealed datagram only once, only by the node it
// was sealed for, and only within the session its sender and receiver agreed on.

#include "routed/auth.h"
#include "tests/routed/flood_harness.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>

namespace {

using namespace routedtest;

std::string hex16(uint64_t v)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, v);
    return text;
}

// A neighbour of the daemon under test, keyed: its nonce, the daemon's as it heard it, its counter.
// Its counters start at 1 at every start, whatever its clock says.
struct Peer {
    uint32_t id;
    uint64_t nonce = drawNonce();
    uint64_t heard = 0;
    uint64_t counter = 0;

    std::string seal(const std::string &text, uint32_t to = 1)
    {
        char buffer[DATAGRAM_SIZE + AUTH_TRAILER_SIZE];
        text.copy(buffer, text.size());
        return std::string(buffer, sealDatagram(buffer, text.size(), sizeof buffer, ++counter, {id, to, nonce, heard}));
    }
    std::string hello() { return seal("HELLO " + std::to_string(id) + " 1 nonce=" + hex16(nonce) + " peer=" + hex16(heard)); }
    // Takes the daemon's nonce from the last hello it sent us that names ours, as a daemon does
    // while it has bound no session.
    void hear(const std::vector<std::string> &datagrams)
    {
        for (const std::string &d : datagrams)
            if (size_t at = d.find(" nonce="); d.rfind("HELLO ", 0) == 0 && at != std::string::npos &&
                                               d.compare(at + 29, 16, hex16(nonce)) == 0)
                heard = std::stoull(d.substr(at + 7, 16), nullptr, 16);
    }
    // Hello, the daemon's answer, and the hello that binds the session.
    void handshake(FloodHarness &net, int64_t now)
    {
        net.send(id, hello());
        net.pump(now);
        hear(net.received(id));
        net.send(id, hello());
        net.pump(now);
        hear(net.received(id));
    }
};

class KeyedFlooding : public ::testing::Test {
protected:
    void SetUp() override
    {
        char path[] = "/tmp/quorvel-key-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "0123456789abcdef0123456789abcdef", 32), 32);
        close(fd);
        const bool loaded = loadKey("test", path);
        unlink(path);
        ASSERT_TRUE(loaded);
    }
    void TearDown() override { forgetKey(); }
};

TEST_F(KeyedFlooding, OnlyARightMacForThisNodeAndSessionIsHeard)
{
    FloodHarness net(3);
    Peer two{2};
    two.handshake(net, 0);
    ASSERT_TRUE(neighbours.entries[0].up);
    const uint64_t refusedBefore = floodStats().refused;
    std::string forged = two.hello();
    forged.back() = forged.back() == '0' ? '1' : '0';
    // Unsealed, forged, sealed by 2 for node 3, replayed.
    const std::string hello = two.hello();
    for (const std::string &refused : {std::string("HELLO 2 1"), forged, two.seal("ACK 2 1 1", 3), hello, hello}) {
        net.send(2, refused);
        net.pump(1);
    }
    EXPECT_EQ(floodStats().refused - refusedBefore, 4u);

    // What the daemon sends carries a MAC for node 2 in this session, with rising counters.
    net.pump(CYCLE_MS);
    uint64_t last = 0;
    for (const std::string &d : net.received(2)) {
        size_t length = d.size();
        Trailer t;
        ASSERT_TRUE(readTrailer(d.data(), length, t)) << d;
        EXPECT_TRUE(trailerMatches(d.data(), length, t, {1, 2, two.heard, two.nonce})) << d;
        EXPECT_FALSE(trailerMatches(d.data(), length, t, {1, 3, two.heard, two.nonce})) << d;
        EXPECT_GT(t.counter, last) << d;
        last = t.counter;
    }
    EXPECT_GT(last, 0u);
}

TEST_F(KeyedFlooding, ForgedAdvertisementsChangeNothing)
{
    FloodHarness net(3);
    Peer two{2};
    two.handshake(net, 0);
    const std::string lsa = two.seal("LSA 2 2 7 1 1 1 carol 0");
    net.send(2, lsa);
    net.pump(1);
    ASSERT_TRUE(lsdb.nodes[1].known);
    const uint64_t refusedBefore = floodStats().refused;
    net.send(2, "LSA 2 2 4294967295 0 0 0");
    net.send(2, lsa);  // replayed
    net.pump(2);
    EXPECT_EQ(lsdb.nodes[1].fragments[0].seq, 7u);
    EXPECT_EQ(lsdb.nodes[1].users.count(), 1);
    EXPECT_EQ(floodStats().refused - refusedBefore, 2u);
}

// Datagrams captured before a restart of either side count for nothing after it, and a dead
// node's old hellos bring no link up; the restarted side's counters start again at 1.
TEST_F(KeyedFlooding, CapturedDatagramsAreRefusedAfterARestart)
{
    std::vector<std::string> captured;
    {
        FloodHarness net(3);
        Peer two{2};
        two.handshake(net, 0);
        captured = {two.hello(), two.seal("LSA 2 2 7 1 1 1 carol 0"), two.seal("ACK 2 1 1")};
        // The sender restarts: a fresh nonce, counters from 1; the link comes back at once.
        Peer restarted{2};
        restarted.handshake(net, 1);
        EXPECT_TRUE(neighbours.entries[0].up);
        EXPECT_EQ(restarted.counter, 2u);
        const uint64_t refusedBefore = floodStats().refused;
        for (const std::string &d : captured) net.send(2, d);
        net.pump(2);
        EXPECT_FALSE(lsdb.nodes[1].known);
        EXPECT_EQ(floodStats().refused - refusedBefore, 3u) << "the old hello ends nothing";
        EXPECT_TRUE(neighbours.entries[0].up);
    }
    // The receiver restarts, and node 2 is gone: its captured datagrams are all that arrives.
    FloodHarness net(3);
    for (int64_t now = 0; now < 3 * CYCLE_MS; now += CYCLE_MS / 2) {
        for (const std::string &d : captured) net.send(2, d);
        net.pump(now);
    }
    EXPECT_FALSE(neighbours.entries[0].up);
    EXPECT_FALSE(lsdb.nodes[1].known);
    EXPECT_GE(neighbours.entries[0].refused, 6u);

    // Refusals show per link in the status view.
    const std::string report = statusReport();
    EXPECT_NE(report.find("link 2 down, last heard never, refused " + std::to_string(neighbours.entries[0].refused)),
              std::string::npos)
        << report;
}

// Every hello ever captured still carries a right MAC: replayed, it must neither end the bound
// session nor make the daemon flood answers, while a real restart of the neighbour still binds a
// new session within two of its hellos, replays or not.
TEST_F(KeyedFlooding, ReplayedHellosLeaveTheSessionAndARestartStillBinds)
{
    FloodHarness net(3);
    Peer previous{2};
    previous.handshake(net, 0);
    const std::string ofAnEndedSession = previous.hello();
    Peer two{2};
    const std::string firstOfThisRun = two.hello();  // names no nonce of the daemon
    two.counter = 0;
    // Hellos of two until the daemon binds its session; each one an exchange.
    const auto bindsWithin = [&](Peer &peer, int64_t now, const std::vector<std::string> &replays) {
        for (int exchanges = 1; exchanges <= 4; ++exchanges) {
            net.send(peer.id, peer.hello());
            for (const std::string &d : replays) net.send(peer.id, d);
            net.pump(now);
            peer.hear(net.received(peer.id));
            if (neighbours.entries[0].peerNonce == peer.nonce) return exchanges;
        }
        return 0;
    };
    EXPECT_EQ(bindsWithin(two, 1, {}), 2) << "a restart binds anew";
    const std::string lastOfTheSession = two.hello();
    net.send(2, lastOfTheSession);
    net.pump(2);
    net.received(2);

    // A run of node 2 whose hellos never arrived: nothing tells it from a restart but its answer.
    const std::string ofARunNeverHeard = Peer{2}.hello();
    const uint64_t refusedBefore = floodStats().refused;
    for (int i = 0; i < 15; ++i)  // 60 datagrams: one call of the daemon reads them all
        for (const std::string &d : {ofAnEndedSession, firstOfThisRun, lastOfTheSession, ofARunNeverHeard})
            net.send(2, d);
    net.pump(3);
    EXPECT_EQ(floodStats().refused - refusedBefore, 45u) << "of an ended session, or replayed";
    EXPECT_EQ(countKind(net.received(2), "HELLO"), 1) << "one answer to a flood of them";
    EXPECT_EQ(neighbours.entries[0].peerNonce, two.nonce);
    net.send(2, two.seal("LSA 2 2 7 1 1 1 carol 0"));
    net.pump(4);
    EXPECT_TRUE(neighbours.entries[0].up);
    EXPECT_TRUE(lsdb.nodes[1].known) << "the advertisement counts under the session kept";

    // Two restarts again, with the captured hellos replayed beside each of its own; this time it
    // heard the daemon's hello of the cycle first, so its own name the daemon's current nonce.
    Peer restarted{2};
    restarted.heard = neighbours.entries[0].ownNonce;
    EXPECT_EQ(bindsWithin(restarted, CYCLE_MS, {ofAnEndedSession, firstOfThisRun, lastOfTheSession, ofARunNeverHeard}),
              2);
}

// A keyed neighbour that restarts binds a new session while its link never looks down here; it
// still holds nothing, and is sent the database, its own fragments of the earlier run among them.
TEST_F(KeyedFlooding, ARestartedNeighbourIsSentTheDatabase)
{
    FloodHarness net(3);
    Peer two{2};
    two.handshake(net, 0);
    net.send(2, two.seal("LSA 2 2 7 1 1 1 carol 0"));
    net.send(2, two.seal("LSA 2 2 7 0 1 ghost 0 frag=4"));
    net.pump(1);
    net.received(2);
    Peer restarted{2};
    net.send(2, restarted.hello());
    net.pump(2);
    restarted.hear(net.received(2));
    net.send(2, restarted.hello());
    net.pump(3);
    ASSERT_EQ(neighbours.entries[0].peerNonce, restarted.nonce);
    int ghosts = 0;
    for (const std::string &d : net.received(2)) ghosts += d.rfind("LSA 1 2 7 0 1 ghost 0 frag=4 ", 0) == 0;
    EXPECT_EQ(ghosts, 1);
}

}  // namespace
