// Which advertisement the database believes: sequence numbers that wrap, and jumps that no origin
// makes, such as the forged "LSA 2 2 4294967295 0 0 0" that once cut routing for a lifetime; and
// how a node's fragments make up its names, within its limits, and go together.

#include "routed/routes.h"
#include "tests/routed/db_builder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace routedtest;

constexpr int64_t NOW = 5000, EXPIRES = 9000;
constexpr uint32_t CLOCK_SEQ = 1718000000;  // what a daemon started in 2024 counts from

Advert advertWith(uint32_t seq, uint32_t link = 0)
{
    Advert a{};
    a.origin = 2;
    a.seq = seq;
    if (link) a.links[a.linkCount++] = link;
    return a;
}

// Node 2 unknown to node 1, so that the test's first advertisement is the first heard.
Db freshDb()
{
    Db db = makeDb({1, 2}, 1, {{1, 2}});
    forgetNode(db->nodes[1]);
    return db;
}

Install offer(Db &db, uint32_t seq, uint32_t link = 0)
{
    return installAdvert(*db, 1, advertWith(seq, link), NOW, EXPIRES);
}

TEST(Lsdb, SequenceNumbersCompareAcrossTheWrap)
{
    Db db = freshDb();
    EXPECT_EQ(offer(db, UINT32_MAX - 2), Install::Newer);
    EXPECT_EQ(offer(db, UINT32_MAX - 1), Install::Newer);
    EXPECT_EQ(offer(db, 3), Install::Newer);  // past the wrap, still the next one
    EXPECT_EQ(offer(db, 3), Install::Same);
    EXPECT_EQ(offer(db, UINT32_MAX), Install::Older);
    EXPECT_EQ(db->nodes[1].fragments[0].seq, 3u);
    EXPECT_EQ(db->nodes[1].installedAt, NOW);
}

TEST(Lsdb, AFarJumpDoesNotShadowASettledOrigin)
{
    Db db = freshDb();
    ASSERT_EQ(offer(db, CLOCK_SEQ, 1), Install::Newer);
    ASSERT_EQ(offer(db, CLOCK_SEQ + 1, 1), Install::Newer);
    // The last number (half the space behind in serial terms), and a jump far ahead: neither counts.
    for (uint32_t forged : {UINT32_MAX, CLOCK_SEQ + (1u << 30), CLOCK_SEQ - (1u << 30)}) {
        EXPECT_EQ(offer(db, forged), Install::Implausible) << forged;
        EXPECT_EQ(db->nodes[1].fragments[0].seq, CLOCK_SEQ + 1) << forged;
        EXPECT_EQ(db->nodes[1].linkCount, 1) << forged;
    }
    // The origin's next refresh, and a restart a plausible step ahead, are taken at once.
    EXPECT_EQ(offer(db, CLOCK_SEQ + 2, 1), Install::Newer);
    EXPECT_EQ(offer(db, CLOCK_SEQ + 3600, 1), Install::Newer);
}

TEST(Lsdb, AForgeryHeardFirstGivesWayToTheOrigin)
{
    Db db = freshDb();
    ASSERT_EQ(offer(db, UINT32_MAX), Install::Newer);  // nothing to compare it with
    EXPECT_EQ(offer(db, CLOCK_SEQ, 1), Install::Newer);
    EXPECT_EQ(offer(db, CLOCK_SEQ + 1, 1), Install::Newer);
    // Two in step settle the origin: a straggling copy of the forgery no longer counts.
    EXPECT_EQ(offer(db, UINT32_MAX), Install::Implausible);
    EXPECT_EQ(db->nodes[1].fragments[0].seq, CLOCK_SEQ + 1);
}

// A fragment of node 2 with the users given.
struct Fragment {
    int number;
    uint32_t seq;
    std::vector<std::string> users;
    std::vector<std::string> chans = {};

    Advert advert() const
    {
        Advert a{};
        a.origin = 2;
        a.seq = seq;
        a.fragment = number;
        if (number == 0) a.links[a.linkCount++] = 1;
        for (const std::string &u : users) a.users[a.userCount++] = u;
        for (const std::string &c : chans) a.chans[a.chanCount++] = c;
        return a;
    }
};

Install take(Db &db, const Fragment &f, int64_t now = NOW) { return installAdvert(*db, 1, f.advert(), now, now + 4000); }

bool routes(Db &db, const char *nick) { return routeToNick(*db, nick).nextHop == 1; }

std::vector<std::string> numbered(const std::string &prefix, int count)
{
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back(prefix + std::to_string(i));
    return names;
}

// Names count from any fragment, once fragment 0 (the links) is held; each fragment has its own
// number, and a newer copy of one replaces its names and no other's.
TEST(Lsdb, NamesOfEveryFragmentCountOnceFragmentZeroIsHeld)
{
    Db db = freshDb();
    EXPECT_EQ(take(db, {5, CLOCK_SEQ, {"eve"}, {"#e"}}), Install::Newer);
    EXPECT_FALSE(routes(db, "eve")) << "no links known yet";
    EXPECT_EQ(take(db, {0, CLOCK_SEQ + 9, {"zed"}}), Install::Newer);
    EXPECT_TRUE(routes(db, "eve"));
    EXPECT_TRUE(routes(db, "zed"));
    EXPECT_TRUE(hostsChannel(db->nodes[1], "#e"));
    EXPECT_EQ(take(db, {5, CLOCK_SEQ, {"eve"}}), Install::Same);
    EXPECT_EQ(take(db, {5, CLOCK_SEQ - 1, {"old"}}), Install::Older);
    EXPECT_EQ(take(db, {5, CLOCK_SEQ + 1, {"ann"}}), Install::Newer);
    EXPECT_FALSE(routes(db, "eve"));
    EXPECT_TRUE(routes(db, "ann"));
    EXPECT_TRUE(routes(db, "zed"));
    EXPECT_FALSE(hostsChannel(db->nodes[1], "#e"));
    EXPECT_EQ(db->nodes[1].fragments[0].seq, CLOCK_SEQ + 9);
    EXPECT_EQ(db->nodes[1].fragmentsHeld, 2);
}

// A name moving from fragment 3 to fragment 1 stays known when the copy that gains it comes first.
TEST(Lsdb, AMovedNameStaysKnownWhenItsNewFragmentComesFirst)
{
    Db db = freshDb();
    ASSERT_EQ(take(db, {0, CLOCK_SEQ, {}}), Install::Newer);
    ASSERT_EQ(take(db, {1, CLOCK_SEQ, {"a"}}), Install::Newer);
    ASSERT_EQ(take(db, {3, CLOCK_SEQ, {"x", "b"}}), Install::Newer);
    ASSERT_EQ(take(db, {1, CLOCK_SEQ + 1, {"a", "x"}}), Install::Newer);
    EXPECT_TRUE(routes(db, "x"));
    ASSERT_EQ(take(db, {3, CLOCK_SEQ + 1, {"b"}}), Install::Newer);
    EXPECT_TRUE(routes(db, "x"));
    EXPECT_EQ(db->nodes[1].users.count(), 3);
}

// Users or channels beyond the node's limits, summed over its fragments, are refused whole, and
// what the node announced before stays; a fragment that takes names out makes room again.
TEST(Lsdb, FragmentsBeyondTheLimitsAreRefused)
{
    Db db = freshDb();
    ASSERT_EQ(take(db, {0, CLOCK_SEQ, {}}), Install::Newer);
    const int perFragment = FRAGMENT_NAMES_MAX / 2;  // short names, users and channels side by side
    int users = 0, fragment = 1;
    for (; users + perFragment <= MAX_USERS; users += perFragment, ++fragment)
        ASSERT_EQ(take(db, {fragment, CLOCK_SEQ, numbered("u" + std::to_string(fragment) + "_", perFragment)}),
                  Install::Newer);
    const Fragment over{fragment, CLOCK_SEQ, numbered("v", MAX_USERS - users + 1)};
    EXPECT_EQ(take(db, over), Install::OverLimit);
    EXPECT_FALSE(db->nodes[1].fragments[fragment].held);
    EXPECT_FALSE(routes(db, "v0"));
    EXPECT_EQ(db->nodes[1].users.count(), users);
    // Replacing a held fragment counts its old names out first.
    EXPECT_EQ(take(db, {1, CLOCK_SEQ + 1, numbered("w", perFragment + MAX_USERS - users)}), Install::Newer);
    EXPECT_EQ(db->nodes[1].users.count(), MAX_USERS);
    EXPECT_EQ(take(db, {1, CLOCK_SEQ + 2, numbered("w", perFragment + MAX_USERS - users + 1)}), Install::OverLimit);
    EXPECT_TRUE(routes(db, "w0"));
    EXPECT_EQ(db->nodes[1].fragments[1].seq, CLOCK_SEQ + 1);

    std::vector<std::string> chans = numbered("#c", MAX_CHANNELS + 1);
    const std::vector<std::string> first(chans.begin(), chans.begin() + perFragment);
    EXPECT_EQ(take(db, {0, CLOCK_SEQ + 1, {}, first}), Install::Newer);
    int taken = perFragment;
    for (int f = fragment; taken + perFragment <= MAX_CHANNELS; ++f, taken += perFragment)
        ASSERT_EQ(take(db, {f, CLOCK_SEQ, {}, std::vector<std::string>(chans.begin() + taken, chans.begin() + taken + perFragment)}),
                  Install::Newer);
    EXPECT_EQ(take(db, {MAX_FRAGMENTS - 1, CLOCK_SEQ, {}, std::vector<std::string>(chans.begin() + taken, chans.end())}),
              Install::OverLimit);
    EXPECT_EQ(db->nodes[1].chans.count(), taken);
}

// A node whose fragment 0 is not refreshed in time goes with every fragment; one whose fragment 0
// never came goes when its first fragment would have.
TEST(Lsdb, FragmentsExpireTogetherWithFragmentZero)
{
    Db db = freshDb();
    ASSERT_EQ(take(db, {0, CLOCK_SEQ, {"a"}}, 1000), Install::Newer);
    ASSERT_EQ(take(db, {4, CLOCK_SEQ, {"d"}}, 4000), Install::Newer);
    EXPECT_FALSE(expireAdverts(*db, 4999));
    ASSERT_EQ(take(db, {0, CLOCK_SEQ + 1, {"a"}}, 4500), Install::Newer);
    EXPECT_FALSE(expireAdverts(*db, 8000)) << "fragment 0's refresh keeps fragment 4";
    EXPECT_TRUE(expireAdverts(*db, 8500));
    EXPECT_FALSE(db->nodes[1].known);
    EXPECT_EQ(db->nodes[1].fragmentsHeld, 0);
    EXPECT_EQ(db->nodes[1].users.count(), 0);

    ASSERT_EQ(take(db, {7, CLOCK_SEQ, {"g"}}, 9000), Install::Newer);
    ASSERT_EQ(take(db, {8, CLOCK_SEQ, {"h"}}, 12000), Install::Newer);
    EXPECT_TRUE(expireAdverts(*db, 13000));
    EXPECT_EQ(db->nodes[1].fragmentsHeld, 0);
}

}  // namespace
