// Real routing daemons in a line 1-2-3 on 127.0.0.1, each node's server stood in for by the test's
// own connection on the local port: node 1 announces far more names than one datagram holds, and
// node 3, two hops away, must find every one of them, and see a rename, through the fragments.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

constexpr int USERS = 2000, CHANNELS = 500;
constexpr int ROUNDS = 50;  // at most one look every 200 ms: 10 s
constexpr Millis ANSWER_PATIENCE(2000);

std::string user(int i) { return "user" + std::to_string(100000 + i); }
std::string channel(int i) { return "#chan" + std::to_string(100000 + i); }

class RoutedFragments : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::vector<uint16_t> taken;
        const std::vector<std::string> links = {" 2", " 1 3", " 2"};
        std::string config;
        for (int i = 0; i < 3; ++i) {
            ports_[i] = {freshPort(taken), freshPort(taken), freshPort(taken)};
            std::string line = configLine(static_cast<uint32_t>(i + 1), ports_[i]);
            line.pop_back();
            config += line + links[static_cast<size_t>(i)] + "\n";
        }
        for (int i = 0; i < 3; ++i) {
            auto &d = *daemons_.emplace_back(std::make_unique<NodeProcess>(QUORVEL_ROUTED_BINARY));
            d.start({"-i", std::to_string(i + 1), "-c", d.writeConfig(config), "-a", "1", "-n", "3", "-r", "1"});
            ASSERT_TRUE(d.waitForOutput("ready", Millis(5000))) << "daemon " << i + 1 << ": " << d.err();
        }
        // From the node's own address and without a key, the first connection is the server link.
        first_ = LineSocket::connectTo(ports_[0].local);
        far_ = LineSocket::connectTo(ports_[2].local);
        ASSERT_TRUE(first_.valid() && far_.valid());
    }

    // Asks node 3 the way to each name; the answers, in order.
    std::vector<std::string> askFar(const std::vector<std::string> &requests)
    {
        std::string batch;
        for (const std::string &r : requests) batch += r + "\n";
        EXPECT_TRUE(far_.send(batch));
        std::vector<std::string> answers;
        for (size_t i = 0; i < requests.size(); ++i) {
            std::string line = far_.readLine(ANSWER_PATIENCE);
            if (line.empty()) break;
            line.pop_back();
            answers.push_back(line);
        }
        return answers;
    }

    // Asks until every request gets the answer wanted; how many did at the last look.
    size_t askUntil(const std::vector<std::string> &requests, const std::vector<std::string> &wanted)
    {
        size_t right = 0;
        for (int round = 0; round < ROUNDS; ++round) {
            const std::vector<std::string> answers = askFar(requests);
            right = 0;
            for (size_t i = 0; i < answers.size() && i < wanted.size(); ++i) right += answers[i] == wanted[i];
            if (right == requests.size()) break;
            std::this_thread::sleep_for(Millis(200));
        }
        return right;
    }

    NodePorts ports_[3];
    std::vector<std::unique_ptr<NodeProcess>> daemons_;
    LineSocket first_, far_;
};

TEST_F(RoutedFragments, ThousandsOfNamesOnOneNodeAreFoundFromTheFarEnd)
{
    std::string announcements;
    std::vector<std::string> requests, wanted;
    for (int i = 0; i < USERS; ++i) {
        announcements += "ADDUSER " + user(i) + "\n";
        requests.push_back("NEXTHOP " + user(i));
        wanted.push_back("OK 2 2");
    }
    for (int i = 0; i < CHANNELS; ++i) {
        announcements += "ADDCHAN " + channel(i) + "\n";
        requests.push_back("NEXTHOPS 3 " + channel(i));
        wanted.push_back("OK 2");
    }
    ASSERT_TRUE(first_.send(announcements));
    EXPECT_EQ(askUntil(requests, wanted), requests.size()) << daemons_[2]->out();

    // A rename: the old name goes, the new one comes, every other name stays found.
    ASSERT_TRUE(first_.send("REMOVEUSER " + user(7) + "\nADDUSER renamed\nREMOVECHAN " + channel(3) + "\n"));
    requests.push_back("NEXTHOP renamed");
    wanted.push_back("OK 2 2");
    wanted[7] = "NONE";
    wanted[USERS + 3] = "NONE";
    EXPECT_EQ(askUntil(requests, wanted), requests.size());

    // Node 3 holds node 1's names in many fragments, as its status report tells.
    const int viewer = connectLoopback(1, ports_[2].local);
    ASSERT_GE(viewer, 0);
    LineSocket status(viewer);
    ASSERT_TRUE(status.send("STATUS\n"));
    const std::string report = status.drain(Millis(1000));
    int users = 0, channels = 0, fragments = 0;
    const size_t at = report.find("node 1 names: ");
    ASSERT_NE(at, std::string::npos) << report;
    ASSERT_EQ(std::sscanf(report.c_str() + at, "node 1 names: %d users, %d channels in %d fragments", &users, &channels,
                          &fragments),
              3);
    EXPECT_EQ(users, USERS);
    EXPECT_EQ(channels, CHANNELS - 1);
    EXPECT_GE(fragments, 10);
    for (auto &d : daemons_) EXPECT_TRUE(d->running());
}

}  // namespace
