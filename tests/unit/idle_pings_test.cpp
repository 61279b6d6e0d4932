// Idle clients: a silent registered client is asked once, then closed a period later; any line
// counts as an answer. The checks are driven with a `now` of the test's choosing.
#include <gtest/gtest.h>

#include <string>

#include "core/clock.h"
#include "irc/idle_pings.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;

constexpr long long PERIOD = 10000;  // far beyond what the test itself takes, so `now` alone decides

class IdlePings : public IrcSession {
protected:
    IdlePings()
    {
        takeProfile();
        setPingPeriodMs(PERIOD);
    }
    ~IdlePings() override { setPingPeriodMs(PING_PERIOD_DEFAULT_S * 1000LL); }
};

TEST_F(IdlePings, SilentClientIsAskedOnceThenClosedAndAnAnswerStartsAgain)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    parse(3, "NICK erin");  // not registered: the registration time-out is its limit, not this
    parse(DAEMON_SLOT, "NONE");
    drain();
    const long long start = nowMillis();
    const std::string ping = crlf("PING :testhost");
    struct Step {
        long long at;
        std::string alice, bob;
        const char *aliceSays;  // after the check, or nullptr
    };
    // alice answers her PING with a line that is not even a PONG; bob never says anything. Her
    // answer is heard at the real time, long before the checks' `now`: so she is asked again at
    // the next check rather than closed.
    const Step steps[] = {
        {PERIOD - 500, "", "", nullptr},
        {PERIOD + 100, ping, ping, nullptr},
        {PERIOD + 200, "", "", "LIST"},  // asked once only
        {2 * PERIOD + 200, ping, "ERROR :Closing link: Ping timeout\r\n", nullptr},
        {3 * PERIOD, "ERROR :Closing link: Ping timeout\r\n", "", nullptr},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.at);
        checkIdleClients(start + step.at);
        EXPECT_EQ(client(1).take(), step.alice);
        EXPECT_EQ(client(2).take(), step.bob);
        EXPECT_EQ(client(3).take(), "");
        if (step.aliceSays) {
            parse(1, step.aliceSays);
            drain();
        }
    }
    for (int slot : {1, 2}) {
        EXPECT_EQ(connections[slot].sock, 0) << slot;
        EXPECT_TRUE(client(slot).hungUp()) << slot;
    }
    EXPECT_EQ(daemon.take(), "REMOVEUSER bob\r\nREMOVEUSER alice\r\n");
    EXPECT_NE(connections[3].sock, 0);
    EXPECT_EQ(connections[3].registered, 0);
}

TEST_F(IdlePings, TheExactRepliesNeverPing)
{
    replyMode = Replies::Exact;
    registerUser(1, "alice");
    drain();
    setPingPeriodMs(1);
    const Poller poller = idlePingPoller();
    for (int pass = 0; pass < 3; ++pass) {
        usleep(2000);
        poller.afterWait();
    }
    EXPECT_EQ(client(1).take(), "");
    EXPECT_NE(connections[1].sock, 0);
}

}  // namespace
