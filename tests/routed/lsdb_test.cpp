// Which advertisement the database believes: sequence numbers that wrap, and jumps that no origin
// makes, such as the forged "LSA 2 2 4294967295 0 0 0" that once cut routing for a lifetime.

#include "tests/routed/db_builder.h"

#include <gtest/gtest.h>

#include <cstdint>

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
    Db db = makeDb({1, 2}, 1);
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

}  // namespace
