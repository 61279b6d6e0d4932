#include "support/node_process.h"

#include "support/ports.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#ifndef QUORVEL_BINARY
#error "QUORVEL_BINARY must name the server binary"
#endif

namespace qtest {

namespace {

using Clock = std::chrono::steady_clock;

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace

std::string configLine(uint32_t id, const NodePorts &ports, const std::string &host)
{
    return std::to_string(id) + " " + host + " " + std::to_string(ports.routing) + " " +
           std::to_string(ports.local) + " " + std::to_string(ports.server) + "\n";
}

std::string hostName()
{
    char name[64] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

NodeProcess::NodeProcess() : NodeProcess(QUORVEL_BINARY) {}

NodeProcess::NodeProcess(std::string binary) : binary_(std::move(binary))
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorvel-process-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    files_ = {dir_ + "/stdout", dir_ + "/stderr"};
}

NodeProcess::~NodeProcess()
{
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
    }
    // Whatever the child wrote there too (an allocation count, say) goes with the directory.
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string NodeProcess::writeConfig(const std::string &contents)
{
    std::string path = dir_ + "/node.conf";
    std::ofstream(path, std::ios::binary) << contents;
    files_.push_back(path);
    return path;
}

void NodeProcess::start(const std::vector<std::string> &args, const std::vector<std::string> &extraEnv)
{
    std::vector<std::string> argvText{binary_};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText(extraEnv);
    for (char **e = environ; *e; ++e) envText.push_back(*e);
    std::vector<char *> envp;
    for (std::string &e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = spawnWithOutput(argv.data(), envp.data(), files_[0].c_str(), files_[1].c_str());
    if (pid_ < 0) throw std::runtime_error("fork");
}

std::optional<int> NodeProcess::waitForExit(std::chrono::milliseconds timeout)
{
    if (status_ || pid_ <= 0) return status_;
    const auto deadline = Clock::now() + timeout;
    for (int polls = 0; polls < 100000; ++polls) {
        if (reap()) return status_;
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
}

std::optional<int> NodeProcess::reap() const
{
    if (status_ || pid_ <= 0) return status_;
    int status = 0;
    pid_t r = 0;
    for (int tries = 0; tries < 100 && (r = waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR; ++tries) {}
    if (r == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
}

bool NodeProcess::running() { return pid_ > 0 && !waitForExit(std::chrono::milliseconds(0)); }

std::string NodeProcess::out() const { return slurp(files_[0]); }
std::string NodeProcess::err() const { return slurp(files_[1]); }

bool NodeProcess::waitForText(const std::string &text, bool onError, std::chrono::milliseconds timeout) const
{
    const auto deadline = Clock::now() + timeout;
    for (int polls = 0; polls < 10000; ++polls) {
        // Looked at before the output, so that what an ended process wrote last is still seen.
        const bool ended = reap().has_value();
        if ((onError ? err() : out()).find(text) != std::string::npos) return true;
        if (ended || Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

LineSocket connectWithRetry(uint16_t serverPort)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (int tries = 0; tries < 250; ++tries) {
        LineSocket s = LineSocket::connectTo(serverPort);
        if (s.valid() || Clock::now() >= deadline) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return LineSocket();
}

LineSocket waitUntilServing(FakeDaemon &daemon, uint16_t serverPort)
{
    if (!daemon.acceptLink()) return LineSocket();
    return connectWithRetry(serverPort);
}

}  // namespace qtest
