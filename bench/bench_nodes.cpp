#include "bench_nodes.h"

#include "support/ports.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qbench {

// ---- cleanup on a signal ------------------------------------------------------------------------

namespace {

// What the handler ends and removes, written down before any signal can need it, so that the
// handler only reads fixed arrays. A node's files are its directory's three.
constexpr int MAX_NODES = 8;
constexpr const char *NODE_FILES[] = {"stdout", "stderr", "node.conf"};
struct Remembered {
    std::atomic<pid_t> pid{0};
    char dir[256] = {};
    char files[3][300] = {};
};
Remembered remembered[MAX_NODES];

// Only async-signal-safe calls: the signal may interrupt any thread anywhere.
void onFatalSignal(int sig)
{
    for (Remembered &r : remembered) {
        const pid_t pid = r.pid.exchange(0);
        if (pid <= 0) continue;
        (void)kill(pid, SIGKILL);
        for (const char *file : r.files) unlink(file);
        rmdir(r.dir);
    }
    _exit(128 + sig);
}

void remember(int slot, const qtest::NodeProcess &p)
{
    Remembered &r = remembered[slot];
    std::snprintf(r.dir, sizeof r.dir, "%s", p.dir().c_str());
    for (int i = 0; i < 3; ++i) std::snprintf(r.files[i], sizeof r.files[i], "%s/%s", p.dir().c_str(), NODE_FILES[i]);
    r.pid = p.pid();
}

std::string lastBytes(const std::string &text, size_t count)
{
    return text.size() > count ? text.substr(text.size() - count) : text;
}

std::vector<std::string> wordsOf(const std::string &line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

}  // namespace

void installSignalCleanup()
{
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = onFatalSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
}

// ---- registry ----------------------------------------------------------------------------------

void Registry::addUser(const std::string &nick, int node)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        users_[nick] = node;
    }
    changed_.notify_all();
}

void Registry::removeUser(const std::string &nick, int node)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = users_.find(nick);
        if (it != users_.end() && it->second == node) users_.erase(it);
    }
    changed_.notify_all();
}

void Registry::addChannel(const std::string &name, int node)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        channels_[name].insert(node);
    }
    changed_.notify_all();
}

void Registry::removeChannel(const std::string &name, int node)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = channels_.find(name);
        if (it != channels_.end()) {
            it->second.erase(node);
            if (it->second.empty()) channels_.erase(it);
        }
    }
    changed_.notify_all();
}

int Registry::userNode(const std::string &nick) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = users_.find(nick);
    return it == users_.end() ? 0 : it->second;
}

std::set<int> Registry::channelNodes(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = channels_.find(name);
    return it == channels_.end() ? std::set<int>{} : it->second;
}

bool Registry::waitForUser(const std::string &nick, int node, Clock::time_point deadline) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] {
        auto it = users_.find(nick);
        return it != users_.end() && it->second == node;
    });
}

bool Registry::waitForUserGone(const std::string &nick, Clock::time_point deadline) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] { return users_.find(nick) == users_.end(); });
}

bool Registry::waitForChannel(const std::string &name, int node, Clock::time_point deadline) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] {
        auto it = channels_.find(name);
        return it != channels_.end() && it->second.count(node) > 0;
    });
}

std::string Registry::nextHop(int node, int nodeCount, const std::string &nick) const
{
    const int home = userNode(nick);
    if (home == 0 || home == node || home > nodeCount) return "NONE\n";
    const int step = home > node ? node + 1 : node - 1;
    const int hops = home > node ? home - node : node - home;
    return "OK " + std::to_string(step) + " " + std::to_string(hops) + "\n";
}

std::string Registry::nextHops(int node, int nodeCount, long source, const std::string &channel) const
{
    const std::set<int> hosts = channelNodes(channel);
    if (hosts.empty()) return "NONE\n";
    std::string answer = "OK";
    for (int dir : {-1, 1}) {
        const int child = node + dir;
        if (child < 1 || child > nodeCount) continue;
        // The branch that leads back to where the message entered has had it already.
        if ((source - node) * dir > 0) continue;
        bool leadsToMember = false;
        for (int h : hosts) leadsToMember = leadsToMember || (h - node) * dir > 0;
        if (leadsToMember) answer += " " + std::to_string(child);
    }
    return answer + "\n";
}

// ---- network -----------------------------------------------------------------------------------

Network::Network(std::string binary, int nodeCount)
{
    if (nodeCount > MAX_NODES) throw std::runtime_error("too many nodes");
    std::vector<uint16_t> taken;
    for (int id = 1; id <= nodeCount; ++id) {
        auto &n = *nodes_.emplace_back(std::make_unique<NodeEntry>(binary));
        n.id = id;
        taken.push_back(n.daemon.port());
        n.ports = {qtest::freshPort(taken), n.daemon.port(), qtest::freshPort(taken)};
    }
}

Network::~Network()
{
    // Forgotten first, so that the handler never signals a PID that the destructors have reaped.
    for (Remembered &r : remembered) r.pid = 0;
}

bool Network::start(std::string &why)
{
    std::string config;
    for (const auto &n : nodes_) config += qtest::configLine(static_cast<uint32_t>(n->id), n->ports);
    for (auto &n : nodes_) {
        const std::string id = std::to_string(n->id);
        n->process.start({id, n->process.writeConfig(config)});
        remember(n->id - 1, n->process);
        NodeEntry *entry = n.get();
        if (!n->daemon.startAnswering([this, entry](const std::string &request) { return answer(*entry, request); })) {
            why = "node " + id + " never connected to its routing daemon; " + deadNodes();
            return false;
        }
        qtest::LineSocket probe = qtest::connectWithRetry(n->ports.server);
        if (!probe.valid()) {
            why = "node " + id + " never accepted on port " + std::to_string(n->ports.server) + "; " + deadNodes();
            return false;
        }
    }
    return true;
}

std::string Network::answer(NodeEntry &n, const std::string &request)
{
    const std::vector<std::string> w = wordsOf(request);
    if (w.empty()) return "";
    const std::string &cmd = w[0];
    const int count = size();
    if (cmd == "NEXTHOP" || cmd == "NEXTHOPS") {
        n.requests.fetch_add(1, std::memory_order_release);
        // Every request is answered, even a malformed one: the node pairs answers by order alone.
        if (cmd == "NEXTHOP" && w.size() == 2) return registry_.nextHop(n.id, count, w[1]);
        if (cmd == "NEXTHOPS" && w.size() == 3)
            return registry_.nextHops(n.id, count, std::strtol(w[1].c_str(), nullptr, 10), w[2]);
    } else if (w.size() == 2 && cmd == "ADDUSER") {
        registry_.addUser(w[1], n.id);
        return "";
    } else if (w.size() == 2 && cmd == "REMOVEUSER") {
        registry_.removeUser(w[1], n.id);
        return "";
    } else if (w.size() == 2 && cmd == "ADDCHAN") {
        registry_.addChannel(w[1], n.id);
        return "";
    } else if (w.size() == 2 && cmd == "REMOVECHAN") {
        registry_.removeChannel(w[1], n.id);
        return "";
    }
    {
        std::lock_guard<std::mutex> lock(n.oddMutex);
        if (n.odd.size() < 20) n.odd.push_back(request);
    }
    return cmd == "NEXTHOP" || cmd == "NEXTHOPS" ? "NONE\n" : "";
}

std::vector<std::string> Network::oddLines(int id)
{
    NodeEntry &n = node(id);
    std::lock_guard<std::mutex> lock(n.oddMutex);
    return n.odd;
}

std::string Network::deadNodes()
{
    std::string report;
    for (auto &n : nodes_) {
        if (n->process.pid() <= 0 || n->process.running()) continue;
        const auto status = n->process.waitForExit(Millis(0));
        std::string output = "[stdout] " + lastBytes(n->process.out(), 600) + " [stderr] " + lastBytes(n->process.err(), 600);
        for (char &c : output)
            if (c == '\n') c = ' ';
        report += "node " + std::to_string(n->id) +
                  (status && *status >= 0 ? " exited with status " + std::to_string(*status) : " was killed by a signal") +
                  "; output: " + output + "\n";
    }
    return report;
}

long Network::statusField(int id, const std::string &field)
{
    NodeEntry &n = node(id);
    if (!n.process.running()) return -1;
    std::ifstream in("/proc/" + std::to_string(n.process.pid()) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ":", 0) != 0) continue;
        return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
}

}  // namespace qbench
