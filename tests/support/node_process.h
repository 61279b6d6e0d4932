// The quorvel binary as a child process: its configuration file, its captured output, its end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/fake_daemon.h"

namespace qtest {

// The ports a node's configuration line names.
struct NodePorts {
    uint16_t routing = 0;
    uint16_t local = 0;   // where the daemon (a FakeDaemon in the tests) listens
    uint16_t server = 0;  // the node's IRC port
};

std::string configLine(uint32_t id, const NodePorts &ports, const std::string &host = "127.0.0.1");
std::string hostName();  // what the node prints and puts in every reply

class NodeProcess {
public:
    NodeProcess();  // runs QUORVEL_BINARY
    // A private temporary directory for the configuration and the captured output of that binary.
    explicit NodeProcess(std::string binary);
    ~NodeProcess();  // kills the child if it still runs, reaps it, removes every file
    NodeProcess(const NodeProcess &) = delete;
    NodeProcess &operator=(const NodeProcess &) = delete;

    std::string writeConfig(const std::string &contents);  // returns its path
    std::string dir() const { return dir_; }
    pid_t pid() const { return pid_; }

    // argv[0] is the binary; args follow it as given. extraEnv ("NAME=value") is added to
    // the test's own environment.
    void start(const std::vector<std::string> &args, const std::vector<std::string> &extraEnv = {});
    // The exit status, -1 for a death by signal, nullopt while it still runs after the timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    bool running();

    std::string out() const;
    std::string err() const;
    // Polls the captured stdout until it contains the text; false after the timeout, or once the
    // process has ended without writing it.
    bool waitForOutput(const std::string &text, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const
    {
        return waitForText(text, false, timeout);
    }
    bool waitForError(const std::string &text, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const
    {
        return waitForText(text, true, timeout);
    }

private:
    std::string binary_;
    std::string dir_;
    std::vector<std::string> files_;
    pid_t pid_ = -1;
    mutable std::optional<int> status_;  // set by the first look that finds the child ended

    std::optional<int> reap() const;
    bool waitForText(const std::string &text, bool onError, std::chrono::milliseconds timeout) const;
};

// The daemon's accept, then a connection to the server port retried every 20 ms for up to 5 s.
// The connection returned is a client of the node; an invalid one means the node never listened.
LineSocket waitUntilServing(FakeDaemon &daemon, uint16_t serverPort);
LineSocket connectWithRetry(uint16_t serverPort);

}  // namespace qtest
