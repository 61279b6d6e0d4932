// The processes and daemons the benchmark runs: quorvel nodes in a line 1-2-...-n, each beside a
// scripted routing daemon that answers from one shared record of who lives where.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"

namespace qbench {

// Every child is recorded here the moment it is forked, so that a signal, an exception or a plain
// return all end it by its PID.
void installChildReaper();
void rememberChild(pid_t pid);
void endChild(pid_t pid);  // SIGKILL and reap; a PID that is not ours is left alone
void endAllChildren();

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

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<std::string, int> users_;
    std::map<std::string, std::set<int>> channels_;
};

// Answers NEXTHOP and NEXTHOPS at once, in request order, for nodes 1..nodeCount in a line.
class ScriptedDaemon {
public:
    ScriptedDaemon(int nodeId, int nodeCount, Registry &registry);
    ~ScriptedDaemon();
    ScriptedDaemon(const ScriptedDaemon &) = delete;
    ScriptedDaemon &operator=(const ScriptedDaemon &) = delete;

    uint16_t port() const { return port_; }
    void start();
    void stop();
    bool waitLinked(Clock::time_point deadline) const;
    bool linkClosed() const { return closed_.load(); }
    uint64_t requests() const { return requests_.load(std::memory_order_acquire); }
    uint64_t answers() const { return answers_.load(std::memory_order_acquire); }
    std::vector<std::string> oddLines() const;  // lines that no daemon request looks like

    // The answers themselves, as pure functions of the registry, for a node in the line.
    static std::string nextHop(int node, int nodeCount, const Registry &registry, const std::string &nick);
    static std::string nextHops(int node, int nodeCount, const Registry &registry, long source,
                                const std::string &channel);

private:
    void run();
    bool acceptLink();
    void handleLine(const std::string &line, std::string &answers);
    void note(const std::string &odd);

    int node_;
    int nodeCount_;
    Registry &registry_;
    int listener_ = -1;
    int link_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> linked_{false};
    std::atomic<bool> closed_{false};
    std::atomic<uint64_t> requests_{0};
    std::atomic<uint64_t> answers_{0};
    mutable std::mutex oddMutex_;
    std::vector<std::string> odd_;
};

struct NodeEntry {
    int id = 0;
    uint16_t routingPort = 0;
    uint16_t serverPort = 0;
    pid_t pid = -1;
    bool ended = false;  // it was started and has been reaped
    std::unique_ptr<ScriptedDaemon> daemon;
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
    NodeEntry &node(int id) { return nodes_.at(static_cast<size_t>(id - 1)); }
    Registry &registry() { return registry_; }
    // Empty while every node runs; otherwise what became of the first one that ended.
    std::string deadNodes();
    std::string nodeOutput(int id, size_t lastBytes = 600) const;
    long statusField(int id, const std::string &field) const;  // a kB figure from /proc; -1 if unknown

private:
    bool waitUntilServing(NodeEntry &n, std::string &why);
    std::vector<std::string> files() const;

    std::string binary_;
    std::string dir_;
    std::string configPath_;
    Registry registry_;
    std::vector<NodeEntry> nodes_;
};

}  // namespace qbench
