// Fragments on the wire: a change re-sends only its fragments, each is acknowledged and resent on
// its own, refreshes come in turn, a new link gets the database at the pace of its
// acknowledgements, a neighbour's fragments beyond the limits are refused, and a fragment left
// over from an earlier run of this daemon is replaced.

#include "routed/codec.h"
#include "routed/own_advert.h"
#include "tests/routed/flood_harness.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace routedtest;

struct Sent {
    int fragment;
    uint32_t seq;
    std::string text;
    uint32_t origin;
};

// The advertisements among the datagrams, of the origin given (0: any), in the order sent.
std::vector<Sent> advertsOf(const std::vector<std::string> &datagrams, uint32_t origin = 1)
{
    std::vector<Sent> out;
    static Datagram d;
    for (const std::string &text : datagrams)
        if (decodeDatagram(text, d) && d.kind == DatagramKind::Advert && (origin == 0 || d.advert.origin == origin))
            out.push_back({d.advert.fragment, d.advert.seq, text, d.advert.origin});
    return out;
}

std::vector<int> fragmentsOf(const std::vector<Sent> &sent)
{
    std::vector<int> out;
    for (const Sent &s : sent) out.push_back(s.fragment);
    return out;
}

std::string ackOf(uint32_t from, uint32_t origin, const Sent &s)
{
    return "ACK " + std::to_string(from) + " " + std::to_string(origin) + " " + std::to_string(s.seq) +
           (s.fragment ? " frag=" + std::to_string(s.fragment) : "");
}

void acknowledge(FloodHarness &net, uint32_t id, const std::vector<Sent> &sent, uint32_t origin = 1)
{
    for (const Sent &s : sent) net.send(id, ackOf(id, origin, s));
}

// Node id acknowledges what it is sent until nothing more comes.
void acknowledgeAll(FloodHarness &net, uint32_t id, int64_t now)
{
    for (int round = 0; round < 100; ++round) {
        const std::vector<Sent> sent = advertsOf(net.received(id));
        if (sent.empty()) return;
        acknowledge(net, id, sent);
        net.pump(now);
    }
    ADD_FAILURE() << "node " << id << " is sent more and more";
}

class FragmentFlooding : public ::testing::Test {
protected:
    // Node 1 with a thousand users, spread over several fragments, all acknowledged by 2 and 3.
    void announceThousand(FloodHarness &net)
    {
        net.bringUp(0);
        for (int i = 0; i < 1000; ++i) ASSERT_TRUE(announceName(NameKind::User, "user" + std::to_string(1000 + i)));
        net.pump(10);
        for (uint32_t id : {2u, 3u}) {
            const std::vector<Sent> sent = advertsOf(net.received(id));
            used_ = static_cast<int>(sent.size());
            ASSERT_GT(used_, 5);
            acknowledge(net, id, sent);
        }
        net.pump(20);
        ASSERT_TRUE(net.receivedByAll().empty());
    }

    int used_ = 0;
};

// One user withdrawn costs one datagram per neighbour, its fragment's; unacknowledged, only that
// one is sent again, and once acknowledged nothing more.
TEST_F(FragmentFlooding, AChangeResendsOnlyTheFragmentItTouched)
{
    FloodHarness net(3);
    ASSERT_NO_FATAL_FAILURE(announceThousand(net));
    const int fragment = lsdb.nodes[lsdb.self].users.fragmentOf("user1500");
    withdrawName(NameKind::User, "user1500");
    net.pump(30);
    for (uint32_t id : {2u, 3u}) {
        const std::vector<Sent> sent = advertsOf(net.received(id));
        ASSERT_EQ(fragmentsOf(sent), std::vector<int>{fragment});
        EXPECT_EQ(sent[0].text.find("user1500"), std::string::npos);
        if (id == 2) acknowledge(net, id, sent);
    }
    net.pump(400);
    EXPECT_TRUE(net.received(2).empty());
    EXPECT_EQ(fragmentsOf(advertsOf(net.received(3))), std::vector<int>{fragment});
}

// An acknowledgement settles its own fragment only: of a whole set sent, the one left
// unacknowledged is resent, and an acknowledgement of an older copy settles nothing.
TEST_F(FragmentFlooding, EachFragmentIsAcknowledgedOnItsOwn)
{
    FloodHarness net(2);
    net.bringUp(0);
    for (int i = 0; i < 500; ++i) ASSERT_TRUE(announceName(NameKind::User, "user" + std::to_string(1000 + i)));
    net.pump(10);
    std::vector<Sent> sent = advertsOf(net.received(2));
    ASSERT_GE(sent.size(), 3u);
    const Sent last = sent.back(), middle = sent[1];
    sent.pop_back();
    sent.erase(sent.begin() + 1);
    acknowledge(net, 2, sent);
    Sent stale = middle;
    --stale.seq;
    net.send(2, ackOf(2, 1, stale));
    net.pump(20);
    EXPECT_TRUE(net.received(2).empty());
    net.pump(400);
    const std::vector<Sent> again = advertsOf(net.received(2));
    EXPECT_EQ(fragmentsOf(again), (std::vector<int>{middle.fragment, last.fragment}));
}

// Every cycle refreshes fragment 0; the others come in turn, each once in REFRESH_CYCLES cycles.
TEST_F(FragmentFlooding, RefreshesFragmentZeroEachCycleAndTheOthersInTurn)
{
    FloodHarness net(3);
    ASSERT_NO_FATAL_FAILURE(announceThousand(net));
    std::map<int, int> refreshed;
    for (int cycle = 1; cycle <= REFRESH_CYCLES; ++cycle) {
        const int64_t now = cycle * CYCLE_MS;
        for (uint32_t id : {2u, 3u}) net.send(id, "HELLO " + std::to_string(id) + " 1 2 3");
        net.pump(now);
        const std::vector<Sent> sent = advertsOf(net.received(2));
        int zero = 0;
        for (const Sent &s : sent) {
            zero += s.fragment == 0;
            ++refreshed[s.fragment];
        }
        EXPECT_EQ(zero, 1) << "cycle " << cycle;
        EXPECT_LE(sent.size(), 1u + (used_ + REFRESH_CYCLES - 1) / REFRESH_CYCLES) << "cycle " << cycle;
        acknowledge(net, 2, sent);
        acknowledge(net, 3, advertsOf(net.received(3)));
        net.pump(now + 10);
        EXPECT_TRUE(net.receivedByAll().empty()) << "cycle " << cycle;
    }
    EXPECT_EQ(refreshed[0], REFRESH_CYCLES);
    EXPECT_EQ(static_cast<int>(refreshed.size()), used_);
    for (const auto &[fragment, times] : refreshed)
        EXPECT_EQ(times, fragment == 0 ? REFRESH_CYCLES : 1) << "fragment " << fragment;
}

// A link that comes up is sent every fragment held, fragments 0 first, no more than the window
// unacknowledged at a time, each once.
TEST_F(FragmentFlooding, ANewLinkGetsTheDatabaseThroughTheWindow)
{
    FloodHarness net(4);
    net.send(2, "HELLO 2 1");
    net.pump(0);
    for (int i = 0; i < MAX_USERS; ++i) {
        char name[NAME_SIZE];
        std::snprintf(name, sizeof name, "u%030d", i);
        ASSERT_TRUE(announceName(NameKind::User, name));
    }
    net.send(2, "LSA 2 2 7 1 1 2 bob ann 0");
    net.send(2, "LSA 2 2 7 0 1 carol 0 frag=3");
    net.pump(1);
    acknowledgeAll(net, 2, 2);
    net.receivedByAll();  // the cycle's hellos to 3 and 4
    const int own = lsdb.nodes[lsdb.self].fragmentsHeld;
    ASSERT_GT(own, 2 * SEND_WINDOW);

    net.send(4, "HELLO 4 1");
    net.pump(3);
    std::set<std::pair<uint32_t, int>> seen;
    bool zerosFirst = true;
    for (int round = 0; round < 10; ++round) {
        const std::vector<Sent> batch = advertsOf(net.received(4), 0);
        for (const Sent &s : batch) {
            EXPECT_TRUE(seen.insert({s.origin, s.fragment}).second) << s.text.substr(0, 40) << " twice";
            zerosFirst = zerosFirst && (s.fragment == 0 || seen.count({1u, 0}) + seen.count({2u, 0}) == 2);
            net.send(4, ackOf(4, s.origin, s));
        }
        EXPECT_LE(batch.size(), static_cast<size_t>(SEND_WINDOW)) << "round " << round;
        if (batch.empty()) break;
        net.pump(4 + round);
    }
    EXPECT_TRUE(zerosFirst);
    EXPECT_EQ(static_cast<int>(seen.size()), own + 2);
}

// A relay whose window to node 3 is full passes node 2's changes on in the order they came, even
// when the later one replaces a copy still in flight: x moves from fragment 5 to fragment 40 and
// node 3 never reads fragment 5 without it before fragment 40 with it.
TEST_F(FragmentFlooding, ARelayKeepsTheOrderOfChangesBehindAFullWindow)
{
    FloodHarness net(3);
    net.bringUp(0);
    net.send(2, "LSA 2 2 7 1 1 0 0");  // node 2 names only node 1: node 1 relays to node 3
    for (int fragment = 1; fragment < SEND_WINDOW; ++fragment)
        net.send(2, "LSA 2 2 7 0 1 " + std::string(fragment == 5 ? "x" : "n" + std::to_string(fragment)) +
                        " 0 frag=" + std::to_string(fragment));
    net.pump(1);
    net.received(2);
    ASSERT_EQ(advertsOf(net.received(3), 2).size(), static_cast<size_t>(SEND_WINDOW));
    net.send(2, "LSA 2 2 8 0 1 x 0 frag=40");
    net.send(2, "LSA 2 2 8 0 1 y 0 frag=5");
    net.pump(2);
    EXPECT_TRUE(advertsOf(net.received(3), 2).empty()) << "the window is full";
    std::vector<std::string> order;
    for (int fragment = 0; fragment < SEND_WINDOW; ++fragment)
        net.send(3, "ACK 3 2 7" + (fragment ? " frag=" + std::to_string(fragment) : std::string()));
    net.pump(3);
    for (const Sent &s : advertsOf(net.received(3), 2)) order.push_back(s.text);
    EXPECT_EQ(order, (std::vector<std::string>{"LSA 1 2 8 0 1 x 0 frag=40", "LSA 1 2 8 0 1 y 0 frag=5"}));
}

// Fragments that would take node 2 beyond the limits, that number past the last one, or that are
// longer than a datagram, are refused and counted like forgeries, without an acknowledgement;
// node 2 keeps its names.
TEST_F(FragmentFlooding, ANeighboursFragmentsBeyondTheLimitsAreRefused)
{
    FloodHarness net(2);
    net.bringUp(0);
    net.send(2, "LSA 2 2 5 1 1 1 first 0");
    net.pump(1);
    ASSERT_EQ(net.received(2), std::vector<std::string>{"ACK 1 2 5"});
    // Three-character names, as many as fit a fragment, until node 2 would hold too many users.
    const int perFragment = FRAGMENT_NAME_ROOM / 4;
    int users = 1, fragment = 1, name = 0;
    const auto fragmentText = [&](int count) {
        std::string text = "LSA 2 2 5 0 " + std::to_string(count);
        for (int i = 0; i < count; ++i, ++name) {
            const char word[4] = {static_cast<char>('a' + name / 676 % 26), static_cast<char>('a' + name / 26 % 26),
                                  static_cast<char>('a' + name % 26), 0};
            text += " " + std::string(word);
        }
        return text + " 0 frag=" + std::to_string(fragment);
    };
    for (; users + perFragment <= MAX_USERS; users += perFragment, ++fragment) {
        net.send(2, fragmentText(perFragment));
        net.pump(2);
        ASSERT_EQ(net.received(2).size(), 1u) << "fragment " << fragment;
    }
    const uint64_t refused = floodStats().refused;
    net.send(2, fragmentText(MAX_USERS - users + 1));
    net.send(2, "LSA 2 2 5 0 1 x 0 frag=" + std::to_string(MAX_FRAGMENTS));
    // Longer than any datagram: cut to the buffer it might still parse.
    net.send(2, "LSA 2 2 6 0 1 x 0 frag=1" + std::string(DATAGRAM_SIZE + AUTH_TRAILER_SIZE, ' '));
    net.pump(3);
    EXPECT_TRUE(net.received(2).empty());
    EXPECT_EQ(floodStats().refused - refused, 3u);
    EXPECT_EQ(lsdb.nodes[1].users.count(), users);
    EXPECT_TRUE(lsdb.nodes[1].users.contains("first"));
    EXPECT_FALSE(lsdb.nodes[1].fragments[fragment].held);
    // Exactly up to the limit is taken.
    net.send(2, fragmentText(MAX_USERS - users));
    net.pump(4);
    EXPECT_EQ(net.received(2).size(), 1u);
    EXPECT_EQ(lsdb.nodes[1].users.count(), MAX_USERS);
}

// A copy of a fragment this run of the daemon does not use is an earlier run's, with names of
// users long gone: it is replaced at once by an empty, newer one.
TEST_F(FragmentFlooding, AnEarlierRunsFragmentIsReplacedEmpty)
{
    FloodHarness net(3);
    net.bringUp(0);
    const uint32_t seq = FloodHarness::ownSeq();
    net.send(2, "LSA 2 1 " + std::to_string(seq - 100) + " 0 1 ghost 0 frag=4");
    net.pump(10);
    const std::vector<Sent> sent = advertsOf(net.received(3));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].fragment, 4);
    EXPECT_GT(seqDistance(seq - 100, sent[0].seq), 0);
    EXPECT_EQ(sent[0].text, "LSA 1 1 " + std::to_string(sent[0].seq) + " 0 0 0 frag=4");
    // An echo of the copy now in use, as a relay passes it back, changes nothing.
    net.send(2, "LSA 2" + sent[0].text.substr(5));
    net.pump(20);
    EXPECT_TRUE(advertsOf(net.received(3)).empty());
}

// A neighbour that restarted holds nothing: it is sent the database, its own fragments of the
// earlier run among them, so that it can replace those it no longer uses. Its first hello names
// no one; the next may name this node again before the daemon's loop looks at its links.
TEST_F(FragmentFlooding, ARestartedNeighbourIsSentTheDatabase)
{
    FloodHarness net(3);
    net.bringUp(0);
    net.send(2, "LSA 2 2 7 1 1 1 carol 0");
    net.send(2, "LSA 2 2 7 0 1 ghost 0 frag=4");
    net.pump(1);
    net.received(2);
    net.send(2, "HELLO 2");
    net.send(2, "HELLO 2 1");
    net.pump(2);
    std::set<std::string> sent;
    for (const Sent &s : advertsOf(net.received(2), 2)) sent.insert(s.text);
    EXPECT_EQ(sent.count("LSA 1 2 7 0 1 ghost 0 frag=4"), 1u);
    EXPECT_EQ(sent.count("LSA 1 2 7 1 1 1 carol 0"), 1u);
}

// Fragments of a node this daemon's file does not list (the files differ while one is updated)
// are acknowledged though not taken: unacknowledged, they would hold the sender's window to this
// node for good, and everything behind them with it.
TEST_F(FragmentFlooding, AFragmentOfAnUnlistedNodeIsAcknowledged)
{
    FloodHarness net(2);
    net.bringUp(0);
    net.send(2, "LSA 2 9 5 1 2 0 0");
    net.send(2, "LSA 2 9 5 0 1 x 0 frag=3");
    net.pump(1);
    EXPECT_EQ(net.received(2), (std::vector<std::string>{"ACK 1 9 5", "ACK 1 9 5 frag=3"}));
}

}  // namespace
