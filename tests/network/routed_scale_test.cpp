// A full mesh of 24 real routing daemons, idle: each cycle may cost only a hello, one refresh and
// one acknowledgement per link and direction. The daemons count their own datagrams and report
// them, with their sequence numbers, through the status request on the local port.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

constexpr int NODES = 24;
constexpr int MEASURED_CYCLES = 3;  // about: the assertion is per cycle the daemons counted
// A hello, the refresh and its acknowledgement, to each other node, each cycle.
constexpr long long PER_CYCLE = 3LL * (NODES - 1);

struct Report {
    bool complete = false;
    int linksUp = 0;
    unsigned long long sent = 0, refused = 0;
    unsigned long seq = 0;
};

// Asks the daemon on 127.0.0.1:port for its status; incomplete when it does not answer in time.
Report askStatus(uint16_t port)
{
    Report r;
    const int fd = connectLoopback(1, port);
    if (fd < 0) return r;
    const timeval patience = {2, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::string text;
    if (send(fd, "STATUS\n", 7, MSG_NOSIGNAL) == 7) {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        unsigned long id;
        char state[8];
        r.complete = r.complete || line == "end";
        if (std::sscanf(line.c_str(), "link %lu %7s", &id, state) == 2) r.linksUp += std::string(state) == "up,";
        (void)std::sscanf(line.c_str(), "status of node %*u: datagrams %*[^,], sent %llu, received %*u, refused %llu",
                          &r.sent, &r.refused);
        if (line.find("(this node)") != std::string::npos) (void)std::sscanf(line.c_str(), "node %*u seq %lu", &r.seq);
    }
    return r;
}

TEST(RoutedScale, AnIdleMeshOf24CostsWhatTheCycleAsksFor)
{
    std::vector<uint16_t> taken;
    std::vector<NodePorts> ports(NODES);
    std::string config;
    for (int i = 0; i < NODES; ++i) {
        ports[i] = {freshPort(taken), freshPort(taken), freshPort(taken)};
        config += configLine(static_cast<uint32_t>(i + 1), ports[i]);
    }
    std::vector<std::unique_ptr<NodeProcess>> daemons;
    for (int i = 0; i < NODES; ++i) {
        auto &d = *daemons.emplace_back(std::make_unique<NodeProcess>(QUORVEL_ROUTED_BINARY));
        d.start({"-i", std::to_string(i + 1), "-c", d.writeConfig(config), "-a", "1", "-n", "3", "-r", "1"});
        ASSERT_TRUE(d.waitForOutput("ready", std::chrono::milliseconds(5000))) << "daemon " << i + 1 << ": " << d.err();
    }

    // Every link up everywhere, asked at most once every 200 ms for 15 s.
    bool converged = false;
    for (int round = 0; round < 75 && !converged; ++round) {
        converged = true;
        for (int i = 0; i < NODES && converged; ++i) converged = askStatus(ports[i].local).linksUp == NODES - 1;
        if (!converged) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_TRUE(converged) << "the mesh never came up whole";
    // The databases that each new link was sent, and their acknowledgements, die down first.
    std::this_thread::sleep_for(std::chrono::seconds(2));

    std::vector<Report> before(NODES), after(NODES);
    for (int i = 0; i < NODES; ++i) before[i] = askStatus(ports[i].local);
    std::this_thread::sleep_for(std::chrono::seconds(MEASURED_CYCLES));
    for (int i = 0; i < NODES; ++i) after[i] = askStatus(ports[i].local);

    long long total = 0;
    for (int i = 0; i < NODES; ++i) {
        ASSERT_TRUE(before[i].complete && after[i].complete) << "daemon " << i + 1;
        const long long sent = static_cast<long long>(after[i].sent - before[i].sent);
        const long long cycles = static_cast<long long>(after[i].seq - before[i].seq);
        total += sent;
        // Each refresh is one rise of the number: a storm shows as many rises a second.
        EXPECT_GE(cycles, 1) << "daemon " << i + 1 << " refreshed nothing";
        EXPECT_LE(cycles, MEASURED_CYCLES + 2) << "daemon " << i + 1 << " re-issued its advertisement";
        // The cycle in progress at either end of the window may be counted in part.
        EXPECT_LE(sent, PER_CYCLE * (cycles + 1)) << "daemon " << i + 1;
        EXPECT_EQ(after[i].linksUp, NODES - 1) << "daemon " << i + 1;
        EXPECT_EQ(after[i].refused, 0u) << "daemon " << i + 1;
    }
    std::printf("[  count   ] %d daemons, full mesh, 1 s cycle: %lld datagrams sent in about %d s\n", NODES, total,
                MEASURED_CYCLES);
    for (auto &d : daemons) EXPECT_TRUE(d->running());
}

}  // namespace
