#include "bench_nodes.h"

#include "support/ports.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qbench {

// ---- children ----------------------------------------------------------------------------------

namespace {

constexpr int MAX_CHILDREN = 16;
std::atomic<pid_t> children[MAX_CHILDREN];

void killAndReap(pid_t pid)
{
    (void)kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
}

// The run's files, written out before any signal can need them, so the handler only reads them.
constexpr int MAX_FILES = 16;
char filesToRemove[MAX_FILES][512];
char dirToRemove[512];
std::atomic<int> fileCount{0};

// Only async-signal-safe calls: the signal may interrupt any thread anywhere.
void onFatalSignal(int sig)
{
    for (auto &slot : children) {
        pid_t pid = slot.exchange(0);
        if (pid > 0) killAndReap(pid);
    }
    for (int i = 0; i < fileCount.load(); ++i) unlink(filesToRemove[i]);
    if (dirToRemove[0] != '\0') rmdir(dirToRemove);
    _exit(128 + sig);
}

void copyPath(char (&to)[512], const std::string &from)
{
    std::memset(to, 0, sizeof to);
    std::memcpy(to, from.data(), std::min(from.size(), sizeof to - 1));
}

// Set before the files exist; an interrupted run then leaves nothing behind in the temp directory.
void rememberFiles(const std::string &dir, const std::vector<std::string> &files)
{
    fileCount = 0;
    copyPath(dirToRemove, dir);
    int n = 0;
    for (const std::string &f : files)
        if (n < MAX_FILES) copyPath(filesToRemove[n++], f);
    fileCount = n;
}

void forgetFiles()
{
    fileCount = 0;
    dirToRemove[0] = '\0';
}

}  // namespace

void installChildReaper()
{
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = onFatalSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
    std::atexit(endAllChildren);
}

void rememberChild(pid_t pid)
{
    for (auto &slot : children) {
        pid_t expected = 0;
        if (slot.compare_exchange_strong(expected, pid)) return;
    }
    // No room to remember it: it must not outlive this call unremembered.
    killAndReap(pid);
    throw std::runtime_error("too many child processes");
}

void endChild(pid_t pid)
{
    if (pid <= 0) return;
    for (auto &slot : children) {
        pid_t expected = pid;
        if (slot.compare_exchange_strong(expected, 0)) {
            killAndReap(pid);
            return;
        }
    }
}

void endAllChildren()
{
    for (auto &slot : children) {
        pid_t pid = slot.exchange(0);
        if (pid > 0) killAndReap(pid);
    }
}

namespace {

// Forgets a child that has already been reaped, so its PID is never signalled again.
void forgetChild(pid_t pid)
{
    for (auto &slot : children) {
        pid_t expected = pid;
        if (slot.compare_exchange_strong(expected, 0)) return;
    }
}

}  // namespace

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

// ---- scripted daemon ---------------------------------------------------------------------------

namespace {

std::vector<std::string> wordsOf(const std::string &line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

}  // namespace

ScriptedDaemon::ScriptedDaemon(int nodeId, int nodeCount, Registry &registry)
    : node_(nodeId), nodeCount_(nodeCount), registry_(registry)
{
    listener_ = listenOnFreePort(port_);
}

ScriptedDaemon::~ScriptedDaemon()
{
    stop();
    if (link_ >= 0) ::close(link_);
    if (listener_ >= 0) ::close(listener_);
}

void ScriptedDaemon::start() { thread_ = std::thread([this] { run(); }); }

void ScriptedDaemon::stop()
{
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

bool ScriptedDaemon::waitLinked(Clock::time_point deadline) const
{
    for (int polls = 0; polls < 100000 && !linked_.load(); ++polls) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(Millis(2));
    }
    return linked_.load();
}

std::vector<std::string> ScriptedDaemon::oddLines() const
{
    std::lock_guard<std::mutex> lock(oddMutex_);
    return odd_;
}

void ScriptedDaemon::note(const std::string &odd)
{
    std::lock_guard<std::mutex> lock(oddMutex_);
    if (odd_.size() < 20) odd_.push_back(odd);
}

bool ScriptedDaemon::acceptLink()
{
    // Polled in short waits so that stop() is seen even if the node never connects.
    while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        link_ = fd;
        setNoDelay(fd);
        linked_ = true;
        return true;
    }
    return false;
}

void ScriptedDaemon::run()
{
    if (!acceptLink()) return;
    std::string partial;
    std::string answers;
    std::vector<char> chunk(65536);
    while (!stopping_) {
        pollfd p{link_, POLLIN, 0};
        int r = poll(&p, 1, 50);
        if (r <= 0) continue;
        ssize_t got = ::recv(link_, chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) {
            closed_ = true;
            return;
        }
        partial.append(chunk.data(), static_cast<size_t>(got));
        uint64_t answered = 0;
        size_t start = 0;
        for (size_t lf; (lf = partial.find('\n', start)) != std::string::npos; start = lf + 1) {
            size_t end = (lf > start && partial[lf - 1] == '\r') ? lf - 1 : lf;
            const size_t before = answers.size();
            handleLine(partial.substr(start, end - start), answers);
            if (answers.size() != before) ++answered;
        }
        partial.erase(0, start);
        if (answers.empty()) continue;
        // Answers to one chunk leave in one write, in the order of their requests.
        if (!sendAll(link_, answers.data(), answers.size(), Clock::now() + Millis(5000))) {
            closed_ = true;
            return;
        }
        answers.clear();
        answers_.fetch_add(answered, std::memory_order_release);
    }
}

void ScriptedDaemon::handleLine(const std::string &line, std::string &answers)
{
    const std::vector<std::string> w = wordsOf(line);
    if (w.empty()) return;
    const std::string &cmd = w[0];
    if (cmd == "NEXTHOP" || cmd == "NEXTHOPS") {
        requests_.fetch_add(1, std::memory_order_release);
        // Every request is answered, even a malformed one: the node pairs answers by order alone.
        if (cmd == "NEXTHOP" && w.size() == 2) {
            answers += nextHop(node_, nodeCount_, registry_, w[1]);
        } else if (cmd == "NEXTHOPS" && w.size() == 3) {
            answers += nextHops(node_, nodeCount_, registry_, std::strtol(w[1].c_str(), nullptr, 10), w[2]);
        } else {
            note(line);
            answers += "NONE\n";
        }
        return;
    }
    if (w.size() != 2) {
        note(line);
        return;
    }
    if (cmd == "ADDUSER") registry_.addUser(w[1], node_);
    else if (cmd == "REMOVEUSER") registry_.removeUser(w[1], node_);
    else if (cmd == "ADDCHAN") registry_.addChannel(w[1], node_);
    else if (cmd == "REMOVECHAN") registry_.removeChannel(w[1], node_);
    else note(line);
}

std::string ScriptedDaemon::nextHop(int node, int nodeCount, const Registry &registry, const std::string &nick)
{
    const int home = registry.userNode(nick);
    if (home == 0 || home == node || home > nodeCount) return "NONE\n";
    const int step = home > node ? node + 1 : node - 1;
    const int hops = home > node ? home - node : node - home;
    return "OK " + std::to_string(step) + " " + std::to_string(hops) + "\n";
}

std::string ScriptedDaemon::nextHops(int node, int nodeCount, const Registry &registry, long source,
                                     const std::string &channel)
{
    const std::set<int> hosts = registry.channelNodes(channel);
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

namespace {

std::string slurpTail(const std::string &path, size_t lastBytes)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    std::string s = all.str();
    return s.size() > lastBytes ? s.substr(s.size() - lastBytes) : s;
}

std::string describeStatus(int status)
{
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("killed by signal ") + strsignal(WTERMSIG(status));
    return "ended";
}

}  // namespace

Network::Network(std::string binary, int nodeCount) : binary_(std::move(binary))
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorvel-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    configPath_ = dir_ + "/nodes.conf";
    std::set<uint16_t> taken;
    for (int id = 1; id <= nodeCount; ++id) {
        NodeEntry n;
        n.id = id;
        n.daemon = std::make_unique<ScriptedDaemon>(id, nodeCount, registry_);
        taken.insert(n.daemon->port());
        // Distinct from each other and from every daemon port already held.
        for (uint16_t *p : {&n.routingPort, &n.serverPort}) {
            for (int tries = 0; tries < 50 && (*p == 0 || taken.count(*p)); ++tries) *p = freePort();
            if (taken.count(*p)) throw std::runtime_error("no distinct free ports");
            taken.insert(*p);
        }
        nodes_.push_back(std::move(n));
    }
    rememberFiles(dir_, files());
}

std::vector<std::string> Network::files() const
{
    std::vector<std::string> all{configPath_};
    for (const NodeEntry &n : nodes_) {
        all.push_back(dir_ + "/node" + std::to_string(n.id) + ".out");
        all.push_back(dir_ + "/node" + std::to_string(n.id) + ".err");
    }
    return all;
}

Network::~Network()
{
    for (NodeEntry &n : nodes_) {
        endChild(n.pid);
        n.pid = -1;
    }
    for (NodeEntry &n : nodes_) n.daemon->stop();
    for (const std::string &f : files()) unlink(f.c_str());
    rmdir(dir_.c_str());
    forgetFiles();
}

bool Network::start(std::string &why)
{
    {
        std::ofstream conf(configPath_, std::ios::binary);
        for (const NodeEntry &n : nodes_)
            conf << n.id << " 127.0.0.1 " << n.routingPort << " " << n.daemon->port() << " " << n.serverPort << "\n";
        if (!conf) {
            why = "cannot write " + configPath_;
            return false;
        }
    }
    for (NodeEntry &n : nodes_) n.daemon->start();
    for (NodeEntry &n : nodes_) {
        const std::string idText = std::to_string(n.id);
        const std::string outPath = dir_ + "/node" + idText + ".out";
        const std::string errPath = dir_ + "/node" + idText + ".err";
        std::vector<std::string> argvText{binary_, idText, configPath_};
        std::vector<char *> argv;
        for (std::string &a : argvText) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = qtest::spawnWithOutput(argv.data(), environ, outPath.c_str(), errPath.c_str());
        if (pid < 0) {
            why = "fork failed";
            return false;
        }
        n.pid = pid;
        rememberChild(pid);
        if (!waitUntilServing(n, why)) return false;
    }
    return true;
}

bool Network::waitUntilServing(NodeEntry &n, std::string &why)
{
    const auto deadline = Clock::now() + Millis(5000);
    for (int polls = 0; polls < 2500 && !n.daemon->waitLinked(Clock::now() + Millis(20)); ++polls) {
        std::string dead = deadNodes();
        if (!dead.empty()) {
            why = dead;
            return false;
        }
        if (Clock::now() >= deadline) {
            why = "node " + std::to_string(n.id) + " never connected to its routing daemon";
            return false;
        }
    }
    for (int tries = 0; tries < 500; ++tries) {
        int fd = connectLoopback(n.serverPort);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        std::string dead = deadNodes();
        if (!dead.empty()) {
            why = dead;
            return false;
        }
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(Millis(10));
    }
    why = "node " + std::to_string(n.id) + " never accepted on port " + std::to_string(n.serverPort);
    return false;
}

std::string Network::deadNodes()
{
    std::string report;
    for (NodeEntry &n : nodes_) {
        if (n.pid <= 0) continue;
        int status = 0;
        pid_t r = waitpid(n.pid, &status, WNOHANG);
        if (r != n.pid) continue;
        forgetChild(n.pid);
        n.pid = -1;
        n.ended = true;
        report += "node " + std::to_string(n.id) + " " + describeStatus(status) + "; output: " + nodeOutput(n.id) + "\n";
    }
    for (const NodeEntry &n : nodes_)
        if (n.ended && report.empty()) report = "node " + std::to_string(n.id) + " is not running\n";
    return report;
}

std::string Network::nodeOutput(int id, size_t lastBytes) const
{
    const std::string base = dir_ + "/node" + std::to_string(id);
    std::string out = slurpTail(base + ".out", lastBytes);
    std::string err = slurpTail(base + ".err", lastBytes);
    std::string all = "[stdout] " + out + (err.empty() ? "" : " [stderr] " + err);
    for (char &c : all)
        if (c == '\n') c = ' ';
    return all;
}

long Network::statusField(int id, const std::string &field) const
{
    const NodeEntry &n = nodes_.at(static_cast<size_t>(id - 1));
    if (n.pid <= 0) return -1;
    std::ifstream in("/proc/" + std::to_string(n.pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ":", 0) != 0) continue;
        return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
}

}  // namespace qbench
