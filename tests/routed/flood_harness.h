// The daemon's flooding driven in-process: node 1 is the daemon under test, every other node of a
// full mesh is a UDP socket of the test on 127.0.0.1. Time is whatever the test passes in, so a
// case steps through cycles without waiting for them.
#pragma once

#include "routed/flooding.h"
#include "routed/status.h"
#include "routed/topology.h"
#include "tests/routed/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace routedtest {

inline constexpr int64_t CYCLE_MS = 1000;

class FloodHarness {
public:
    // Nodes 1..count, all on 127.0.0.1; the file names no links, so it is a full mesh.
    explicit FloodHarness(int count)
    {
        std::memset(&config_, 0, sizeof config_);
        std::memset(&lsdb, 0, sizeof lsdb);
        config_.count = count;
        lsdb.count = count;
        lsdb.self = 0;
        for (int i = 0; i < count; ++i) {
            socks_.push_back(boundUdp(config_.entries[i].routing_port));
            config_.entries[i].nodeID = static_cast<uint32_t>(i + 1);
            config_.entries[i].ipaddr = INADDR_LOOPBACK;
            lsdb.nodes[i].id = static_cast<uint32_t>(i + 1);
        }
        Topology topology{};
        for (int a = 0; a < count; ++a)
            for (int b = 0; b < count; ++b) topology.linked[a][b] = a != b;
        startFlooding(socks_[0], config_, topology, {CYCLE_MS, 3 * CYCLE_MS, 300, 3 * CYCLE_MS}, 0);
    }
    ~FloodHarness()
    {
        for (int fd : socks_) close(fd);
    }
    FloodHarness(const FloodHarness &) = delete;
    FloodHarness &operator=(const FloodHarness &) = delete;

    // A datagram to the daemon from node id's routing port.
    void send(uint32_t id, const std::string &datagram)
    {
        const sockaddr_in to = addressOf(1);
        ASSERT_EQ(sendto(socks_[id - 1], datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                         sizeof to),
                  static_cast<ssize_t>(datagram.size()));
    }

    // One pass of the daemon's loop at time now.
    void pump(int64_t now)
    {
        receiveDatagrams(now);
        floodingTick(now);
    }

    // What the daemon has sent node id so far, oldest first.
    std::vector<std::string> received(uint32_t id)
    {
        std::vector<std::string> out;
        char data[2048];
        for (ssize_t n; (n = recv(socks_[id - 1], data, sizeof data, MSG_DONTWAIT)) >= 0;)
            out.emplace_back(data, static_cast<size_t>(n));
        return out;
    }

    // Every datagram the daemon has sent, to whichever node.
    std::vector<std::string> receivedByAll()
    {
        std::vector<std::string> out;
        for (uint32_t id = 2; id <= count(); ++id)
            for (std::string &d : received(id)) out.push_back(std::move(d));
        return out;
    }

    // Every other node says it hears node 1 and acknowledges the advertisement that follows: every
    // link is up, and nothing waits to be sent again.
    void bringUp(int64_t now)
    {
        for (uint32_t id = 2; id <= count(); ++id) send(id, "HELLO " + std::to_string(id) + " 1");
        pump(now);
        for (uint32_t id = 2; id <= count(); ++id) send(id, "ACK " + std::to_string(id) + " 1 " + std::to_string(ownSeq()));
        pump(now);
        receivedByAll();
    }

    uint32_t count() const { return static_cast<uint32_t>(socks_.size()); }

    static uint32_t ownSeq(int fragment = 0) { return lsdb.nodes[lsdb.self].fragments[fragment].seq; }

private:
    static int boundUdp(uint16_t &port)
    {
        sockaddr_in addr;
        const int fd = boundLoopback(SOCK_DGRAM, addr);
        port = ntohs(addr.sin_port);
        return fd;
    }

    sockaddr_in addressOf(uint32_t id) const { return loopbackAt(1, config_.entries[id - 1].routing_port); }

    rt_config_file_t config_;
    std::vector<int> socks_;
};

// The daemon's status report, as a status request would read it.
inline std::string statusReport()
{
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    writeStatus(fds[0]);
    close(fds[0]);
    std::string report;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[1], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<size_t>(n));
    close(fds[1]);
    return report;
}

inline int countKind(const std::vector<std::string> &datagrams, const std::string &kind)
{
    int n = 0;
    for (const std::string &d : datagrams) n += d.rfind(kind + " ", 0) == 0;
    return n;
}

}  // namespace routedtest
