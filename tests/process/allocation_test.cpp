// The request path allocates nothing: a session of 1,000 commands costs a node no more heap
// allocations than a session of 10, counted by an allocator preloaded into the real binary.
// Each session registers once: the C library's reverse lookup behind USER reads /etc/hosts
// through stdio and so allocates a few blocks per call, the one cost the server cannot avoid.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "support/fake_daemon.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

struct Step {
    const char *line;  // "NICK" steps alternate between two nicknames
    int replies;       // lines the client receives for it
};

// Every command a user has, each answered, so the session can be paced by its replies.
constexpr Step CYCLE[] = {
    {"JOIN #a", 3}, {"WHO #a", 2}, {"LIST", 3}, {"NICK", 1}, {"PART", 1}, {"FROB", 1},
};

#ifdef ALLOC_COUNTER_LIBRARY
// Runs one node for one session of `commands` commands after registration and QUIT, and
// returns the allocations the node made in its whole life up to the end of that session.
long allocationsForSession(int commands)
{
    FakeDaemon daemon;
    NodeProcess node;
    const NodePorts ports{freePort(), daemon.port(), freePort()};
    const std::string countFile = node.dir() + "/allocations";
    node.start({"1", node.writeConfig(configLine(1, ports))},
               {"LD_PRELOAD=" ALLOC_COUNTER_LIBRARY, "QUORVEL_ALLOC_COUNT_FILE=" + countFile});
    LineSocket client = waitUntilServing(daemon, ports.server);
    if (!client.valid()) return -1;

    client.send("NICK alice\r\nUSER alice host server :Alice A\r\n");
    for (int i = 0; i < 3; ++i)
        if (client.readLine().empty()) return -1;
    for (int n = 0; n < commands; ++n) {
        const Step &step = CYCLE[n % std::size(CYCLE)];
        std::string line = step.line;
        if (line == "NICK") line += (n / std::size(CYCLE)) % 2 == 0 ? " bob" : " alice";
        client.send(line + "\r\n");
        for (int r = 0; r < step.replies; ++r)
            if (client.readLine().empty()) return -1;
    }
    // Out of the channel first, so that QUIT draws no notice before the end of stream.
    client.send("PART\r\nFROB\r\n");
    for (int r = 0; r < 3 && client.readLine().find(" 421 FROB ") == std::string::npos; ++r) {}
    client.send("QUIT\r\n");
    if (!client.readsEofOnly()) return -1;

    kill(node.pid(), SIGUSR1);
    for (int polls = 0; polls < 200; ++polls) {
        std::ifstream in(countFile);
        std::string text;
        if (std::getline(in, text) && in.good() && !text.empty()) return std::stol(text);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}
#endif

}  // namespace

TEST(Allocation, ThousandCommandsCostNoMoreThanTen)
{
#ifndef ALLOC_COUNTER_LIBRARY
    GTEST_SKIP() << "the sanitizers bring their own allocator; counted in the plain build";
#else
    const long small = allocationsForSession(10);
    const long large = allocationsForSession(1000);
    ASSERT_GT(small, 0);
    ASSERT_GT(large, 0);
    RecordProperty("allocations_10", std::to_string(small));
    RecordProperty("allocations_1000", std::to_string(large));
    std::printf("allocations: session of 10 commands %ld, of 1000 commands %ld\n", small, large);
    EXPECT_LE(large, small);
#endif
}
