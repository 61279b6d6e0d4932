// This node's names in fragments: the limits hold whatever the names' lengths and however they
// come and go, every fragment fits its datagram, and a change touches only the fragments of the
// names it adds or withdraws, the one that took a moved name first.

#include "routed/own_advert.h"
#include "tests/routed/db_builder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace routedtest;
using Fragments = std::vector<int>;

class OwnAdvert : public ::testing::Test {
protected:
    void SetUp() override
    {
        fillDb(lsdb, {1, 2}, 1, {{1, 2}});
        resetOwnAdvert();
    }

    static NodeState &self() { return lsdb.nodes[lsdb.self]; }

    static Fragments changes()
    {
        int fragments[MAX_FRAGMENTS];
        const int count = takeOwnChanges(fragments);
        return Fragments(fragments, fragments + count);
    }

    // Every fragment encodes, within its room, from the longest ID.
    static void expectEveryFragmentFits()
    {
        static Advert a;
        static char text[DATAGRAM_SIZE];
        for (int fragment = 0; fragment < MAX_FRAGMENTS; ++fragment) {
            fragmentAdvert(self(), fragment, a);
            ASSERT_LE(nameBytes(a), fragmentNameRoom(fragment)) << "fragment " << fragment;
            ASSERT_GT(encodeAdvert(text, UINT32_MAX, a), 0u) << "fragment " << fragment;
        }
    }

    static int fragmentsInUse()
    {
        int used = 0;
        for (int fragment = 0; fragment < MAX_FRAGMENTS; ++fragment)
            used += self().users.countIn(fragment) + self().chans.countIn(fragment) > 0;
        return used;
    }
};

std::string longest(char kind, int i)
{
    char name[NAME_SIZE];
    std::snprintf(name, sizeof name, "%c%030d", kind, i);
    return name;
}

// Both limits reached with the longest names: every one announced, none past them, and all in
// fragments that fit.
TEST_F(OwnAdvert, TheLimitsHoldWithTheLongestNames)
{
    for (int i = 0; i < MAX_USERS; ++i) ASSERT_TRUE(announceName(NameKind::User, longest('u', i))) << i;
    for (int i = 0; i < MAX_CHANNELS; ++i) ASSERT_TRUE(announceName(NameKind::Channel, longest('#', i))) << i;
    EXPECT_FALSE(announceName(NameKind::User, "late"));
    EXPECT_FALSE(announceName(NameKind::Channel, "#late"));
    EXPECT_TRUE(announceName(NameKind::User, longest('u', 7))) << "one held already is no new name";
    EXPECT_EQ(self().users.count(), MAX_USERS);
    EXPECT_EQ(self().chans.count(), MAX_CHANNELS);
    EXPECT_FALSE(self().users.contains("late"));
    ASSERT_NO_FATAL_FAILURE(expectEveryFragmentFits());
    const int used = fragmentsInUse();
    EXPECT_GT(used, MAX_FRAGMENTS * 9 / 10) << "longest names should need nearly every fragment";
    EXPECT_EQ(static_cast<int>(changes().size()), used);
}

// Names of every length come and go at random, near the limits: an announcement below a limit
// is never refused for want of a fragment with room, and every fragment always fits.
TEST_F(OwnAdvert, ChurnNearTheLimitsNeverRunsOutOfFragments)
{
    std::mt19937 rng(7);
    std::set<std::string> users, chans;
    const auto name = [&](char kind) {
        std::string n(1 + rng() % NAME_LENGTH_MAX, kind);
        for (size_t i = 1; i < n.size(); ++i) n[i] = static_cast<char>('a' + rng() % 26);
        return n;
    };
    for (int round = 0; round < 40; ++round) {
        // Fill up, then let a batch go and another come, as a busy server's reads would bring them.
        for (auto [kind, set, limit] : {std::tuple{NameKind::User, &users, MAX_USERS},
                                        std::tuple{NameKind::Channel, &chans, MAX_CHANNELS}}) {
            while (static_cast<int>(set->size()) < limit) {
                const std::string n = name(kind == NameKind::User ? 'u' : '#');
                ASSERT_TRUE(announceName(kind, n)) << "round " << round << ", " << set->size() << " held";
                set->insert(n);
            }
            for (int i = 0; i < limit / 8; ++i) {
                auto it = set->begin();
                std::advance(it, rng() % set->size());
                withdrawName(kind, *it);
                set->erase(it);
            }
        }
        if (round % 3) (void)changes();  // some batches go out, others pile up in one change
        ASSERT_EQ(self().users.count(), static_cast<int>(users.size()));
        ASSERT_EQ(self().chans.count(), static_cast<int>(chans.size()));
        ASSERT_NO_FATAL_FAILURE(expectEveryFragmentFits()) << "round " << round;
    }
}

// With a thousand users spread over several fragments, each change touches the fragments of its
// names only; a user renamed to a name no longer than the old one stays in the same fragment.
TEST_F(OwnAdvert, AChangeTouchesOnlyItsFragments)
{
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(announceName(NameKind::User, "user" + std::to_string(1000 + i)));
    (void)changes();
    ASSERT_GT(fragmentsInUse(), 5);
    const int of500 = self().users.fragmentOf("user1500");
    const int of900 = self().users.fragmentOf("user1900");
    ASSERT_NE(of500, of900);

    withdrawName(NameKind::User, "user1500");
    EXPECT_EQ(changes(), Fragments{of500});
    EXPECT_TRUE(announceName(NameKind::User, "user1500"));
    const int back = self().users.fragmentOf("user1500");
    EXPECT_EQ(changes(), Fragments{back});

    withdrawName(NameKind::User, "user1900");
    EXPECT_TRUE(announceName(NameKind::User, "renamed1"));
    EXPECT_EQ(self().users.fragmentOf("renamed1"), of900);
    EXPECT_EQ(changes(), Fragments{of900});

    // Withdrawn and announced again in one change: back where it was, nothing else touched.
    withdrawName(NameKind::User, "user1100");
    const int of100 = self().users.retiredFragment("user1100");
    EXPECT_TRUE(announceName(NameKind::User, "user1100"));
    EXPECT_EQ(self().users.fragmentOf("user1100"), of100);
    EXPECT_EQ(changes(), Fragments{of100});

    withdrawName(NameKind::User, "nobody");
    EXPECT_EQ(changes(), Fragments{});
}

// A name that must leave its fragment (a longer name took the room it left, in the same change)
// goes out in a fragment listed before the one it left: other nodes find it in the new copy
// before they read the old one without it.
TEST_F(OwnAdvert, AMovedNameGoesOutWhereItArrivesFirst)
{
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(announceName(NameKind::User, "user" + std::to_string(1000 + i)));
    (void)changes();
    const int from = self().users.fragmentOf("user1010");
    ASSERT_LT(from, fragmentsInUse() - 1) << "the test needs a full fragment";
    // A name exactly as long as the room user1010 leaves, with what its fragment had spare.
    const int spare = fragmentNameRoom(from) - self().users.bytesIn(from);
    const std::string longer(static_cast<size_t>(8 + spare), 'l');
    ASSERT_LE(longer.size(), static_cast<size_t>(NAME_LENGTH_MAX));
    withdrawName(NameKind::User, "user1010");
    ASSERT_TRUE(announceName(NameKind::User, longer));
    ASSERT_EQ(self().users.fragmentOf(longer), from);
    ASSERT_TRUE(announceName(NameKind::User, "user1010"));
    const int to = self().users.fragmentOf("user1010");
    ASSERT_NE(to, from);
    EXPECT_EQ(changes(), (Fragments{to, from}));
}

// The server link's end withdraws everything: every fragment that held a name goes out empty.
TEST_F(OwnAdvert, WithdrawingAllTouchesEveryFragmentThatHeldNames)
{
    for (int i = 0; i < 600; ++i) ASSERT_TRUE(announceName(NameKind::User, "user" + std::to_string(1000 + i)));
    ASSERT_TRUE(announceName(NameKind::Channel, "#only"));
    const int used = fragmentsInUse();
    (void)changes();
    withdrawAllNames();
    EXPECT_EQ(static_cast<int>(changes().size()), used);
    EXPECT_EQ(self().users.count() + self().chans.count(), 0);
    EXPECT_EQ(fragmentsInUse(), 0);
}

}  // namespace
