// Keyed datagrams: only a right MAC is heard, and each sealed datagram only once and only while fresh.

#include "routed/auth.h"
#include "tests/routed/flood_harness.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace {

using namespace routedtest;

uint64_t wallMicrosNow() { return static_cast<uint64_t>(std::time(nullptr)) * 1000000; }

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

    static std::string sealed(const std::string &text, uint64_t counter)
    {
        char buffer[DATAGRAM_SIZE + AUTH_TRAILER_SIZE];
        text.copy(buffer, text.size());
        return std::string(buffer, sealDatagram(buffer, text.size(), sizeof buffer, counter));
    }
};

TEST_F(KeyedFlooding, OnlyAFreshRightMacIsHeard)
{
    FloodHarness net(3);
    uint64_t counter = wallMicrosNow();
    const std::string hello = sealed("HELLO 2 1", ++counter);
    std::string forged = hello;
    forged.back() = forged.back() == '0' ? '1' : '0';
    for (const std::string &refused :
         {std::string("HELLO 2 1"), forged, sealed("HELLO 2 1", wallMicrosNow() - 3600000000ULL)}) {
        net.send(2, refused);
        net.pump(0);
    }
    EXPECT_EQ(floodStats().refused, 3u);
    EXPECT_FALSE(neighbours.entries[0].up);

    net.send(2, hello);
    net.pump(1);
    EXPECT_TRUE(neighbours.entries[0].up);
    net.send(2, hello);  // the same datagram again
    net.pump(2);
    EXPECT_EQ(floodStats().refused, 4u);

    // What the daemon sends carries a MAC that checks out, with rising counters.
    uint64_t last = 0;
    for (const std::string &d : net.received(2)) {
        size_t length = d.size();
        uint64_t c;
        EXPECT_TRUE(openDatagram(d.data(), length, c)) << d;
        EXPECT_GT(c, last) << d;
        last = c;
    }
    EXPECT_GT(last, 0u);
}

TEST_F(KeyedFlooding, ForgedAdvertisementsChangeNothing)
{
    FloodHarness net(3);
    uint64_t counter = wallMicrosNow();
    net.send(2, sealed("HELLO 2 1", ++counter));
    net.pump(0);
    net.send(2, sealed("LSA 2 2 7 1 1 1 carol 0", ++counter));
    net.pump(1);
    ASSERT_TRUE(lsdb.nodes[1].known);
    net.send(2, "LSA 2 2 4294967295 0 0 0");
    net.send(2, sealed("LSA 2 2 7 1 1 1 carol 0", counter));  // replayed
    net.pump(2);
    EXPECT_EQ(lsdb.nodes[1].advert.seq, 7u);
    EXPECT_EQ(lsdb.nodes[1].advert.userCount, 1);
    EXPECT_EQ(floodStats().refused, 2u);
}

}  // namespace
