// The nodes the benchmark runs: quorvel processes in a line 1-2-...-n, each beside the tests' fake
// routing daemon, which routes from one shared record of who lives where.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "support/fake_daemon.h"
#include "support/node_process.h"

namespace qbench {

using Clock = std::chrono::steady_clock;
using qtest::Millis;

// A fatal signal ends every node and removes its files, as a plain return does.
void installSignalCleanup();

// Which node hosts each user and each channel, as the nodes announce them to their daemons.
class Registry {
public:
    void addUser(const std::string &nick, int node);
    void removeUser(const std::string &nick, int node);
    void addChannel(const std::string &name, int node);
    void removeChannel(const std::string &name, int node);
    int userNode(const std::string &nick) const;  // 0 when no node hosts it
    std::set<int> channelNodes(const std::string &name) const;
    bool waitForUser(const std::string &nick, int node, Clock::time_point deadline) const;
    bool waitForUserGone(const std::string &nick, Clock::time_point deadline) const;
    bool waitForChannel(const std::string &name, int node, Clock::time_point deadline) const;

    // The daemon's answers, as pure functions of the record, for a node of a line of nodeCount.
    std::string nextHop(int node, int nodeCount, const std::string &nick) const;
    std::string nextHops(int node, int nodeCount, long source, const std::string &channel) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<std::string, int> users_;
    std::map<std::string, std::set<int>> channels_;
};

struct NodeEntry {
    explicit NodeEntry(const std::string &binary) : process(binary) {}

    int id = 0;
    qtest::NodePorts ports;
    std::atomic<uint64_t> requests{0};  // NEXTHOP and NEXTHOPS lines its daemon got
    std::mutex oddMutex;
    std::vector<std::string> odd;       // lines that no daemon request looks like
    // Declared after what its answering thread touches, so that it stops first; the process
    // goes before the daemon.
    qtest::FakeDaemon daemon;
    qtest::NodeProcess process;
};

// A line of nodes on 127.0.0.1, started in order, each only once its daemon listens.
class Network {
public:
    Network(std::string binary, int nodeCount);
    ~Network();  // ends every node by PID, then stops the daemons, then removes the files
    Network(const Network &) = delete;
    Network &operator=(const Network &) = delete;

    // Starts every node and waits until each serves clients; false with a reason otherwise.
    bool start(std::string &why);
    int size() const { return static_cast<int>(nodes_.size()); }
    NodeEntry &node(int id) { return *nodes_.at(static_cast<size_t>(id - 1)); }
    Registry &registry() { return registry_; }
    // Empty while every node runs; otherwise what became of the nodes that ended.
    std::string deadNodes();
    std::vector<std::string> oddLines(int id);
    long statusField(int id, const std::string &field);  // a kB figure from /proc; -1 if unknown

private:
    std::string answer(NodeEntry &n, const std::string &request);

    Registry registry_;  // before the nodes, whose daemons route from it until they stop
    std::vector<std::unique_ptr<NodeEntry>> nodes_;
};

}  // namespace qbench
