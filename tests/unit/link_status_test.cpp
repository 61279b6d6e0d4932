// The link status: only this machine may ask for it, only in the client profile, and it gets one
// line per neighbour and "end" before the connection closes.
#include <gtest/gtest.h>

#include <string>

#include "core/client_profile.h"
#include "core/server.h"
#include "routing/link_status.h"
#include "routing/node_link.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;

constexpr unsigned OWN_ADDRESS = 0xc6120001;  // 198.18.0.1, this node's line of the file
constexpr unsigned ELSEWHERE = 0xc6120009;

// This is node 1 at 198.18.0.1 with alice in slot 1; nodes 2 and 7 are neighbours, and 7's port refuses.
class LinkStatus : public IrcSession {
protected:
    void SetUp() override
    {
        curr_nodeID = 1;
        curr_node_config_entry = &self;
        registerUser(1, "alice");
        addNeighbour(2, node2.port());
        addNeighbour(7, node7.port());
    }
    void TearDown() override
    {
        IrcSession::TearDown();
        curr_node_config_entry = nullptr;
    }

    rt_config_entry_t self{1, OWN_ADDRESS, 0, 0, 0};
    HopListener node2;
    HopListener node7{false};
};

TEST_F(LinkStatus, OnlyThisMachineAsksAndOnlyInTheProfile)
{
    struct Case {
        int profile;
        const char *line;
        unsigned from;
        FirstLine kind;
    };
    const Case cases[] = {
        {1, "LINKSTATUS", LOOPBACK, FirstLine::Query},
        {1, "LINKSTATUS", 0x7f050607, FirstLine::Query},  // all of 127.0.0.0/8
        {1, "LINKSTATUS", OWN_ADDRESS, FirstLine::Query},
        {1, "LINKSTATUS", ELSEWHERE, FirstLine::Client},
        {0, "LINKSTATUS", LOOPBACK, FirstLine::Client},  // the exact replies: a client's first line
        {1, "LINKSTATUS now", LOOPBACK, FirstLine::Client},
        {1, "linkstatus", LOOPBACK, FirstLine::Client},
    };
    for (const Case &c : cases) {
        replyMode = c.profile ? Replies::Client : Replies::Exact;
        EXPECT_EQ(takeLine(c.line, c.from), c.kind) << c.line << " from " << std::hex << c.from << " profile " << c.profile;
    }
    // A neighbour's link carries no requests, even from an address of this machine.
    replyMode = Replies::Client;
    char request[] = "LINKSTATUS";
    EXPECT_EQ(takeLinkLine(0, request), FirstLine::Refused);
}

TEST_F(LinkStatus, AnswersEveryNeighbourThenEndAndCloses)
{
    // A line for carol waits for node 2's answer.
    parse(1, "PRIVMSG carol :hi");
    parse(DAEMON_SLOT, "OK 2");
    replyMode = Replies::Client;
    EXPECT_EQ(answerTo("LINKSTATUS"), "link 2 down clear up - sent 0 acked 0 waiting 1 resent 0 rtt_us 0\r\n"
                                      "link 7 down clear up - sent 0 acked 0 waiting 0 resent 0 rtt_us 0\r\n"
                                      "end\r\n");
    EXPECT_EQ(node2.take(1).size(), 1u);
}

TEST(LinkStatusLine, NamesTheStateTheSealAndEveryCount)
{
    constexpr long long NOW = 5000000;
    struct Case {
        uint32_t id;
        LinkReport r;
        int waiting;
        bool key;
        const char *line;
    };
    const Case cases[] = {
        {2, {LinkState::Down, false, 0, 0, 0, 0, 0, 0}, 0, false,
         "link 2 down clear up - sent 0 acked 0 waiting 0 resent 0 rtt_us 0"},
        // With the key, a link still to come will be sealed; one-shot lines never are.
        {2, {LinkState::Opening, false, 0, 40, 40, 0, 0, 300}, 2, true,
         "link 2 opening sealed up - sent 40 acked 40 waiting 2 resent 0 rtt_us 300"},
        {3, {LinkState::OneShot, false, 0, 7, 7, 0, 0, 0}, 1, true,
         "link 3 one-shot clear up - sent 7 acked 7 waiting 1 resent 0 rtt_us 0"},
        {4, {LinkState::Up, true, NOW - 61999, 1000, 990, 3, 10, 1234}, 12, true,
         "link 4 up sealed up 61 sent 1000 acked 990 waiting 12 resent 3 rtt_us 1234"},
        {4, {LinkState::Up, false, NOW, 1, 0, 0, 1, 0}, 1, false,
         "link 4 up clear up 0 sent 1 acked 0 waiting 1 resent 0 rtt_us 0"},
        {4294967295u, {LinkState::Up, true, 0, 5000000000ull, 4999999999ull, 4294967296ull, 1, 20000}, 640, true,
         "link 4294967295 up sealed up 5000 sent 5000000000 acked 4999999999 waiting 640 resent 4294967296 rtt_us 20000"},
    };
    for (const Case &c : cases) {
        char line[LINE_SIZE];
        formatLinkStatus(line, c.id, c.r, c.waiting, NOW, c.key);
        EXPECT_STREQ(line, c.line);
    }
}

}  // namespace
