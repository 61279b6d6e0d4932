// scripts/quorvel-net run as a user runs it, in a process group of its own, for the tests that
// start whole networks with it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/irc_client.h"

#if !defined(QUORVEL_SOURCE_DIR) || !defined(QUORVEL_BINARY)
#error "QUORVEL_SOURCE_DIR and QUORVEL_BINARY must name the source tree and the server"
#endif

namespace qtest {

using Clock = std::chrono::steady_clock;

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// The directory both binaries were built in; the launcher is pointed at it so that it runs what
// this build made (a sanitized build included) and never builds anything itself.
inline std::string buildDir()
{
    const std::string server = QUORVEL_BINARY;
    return server.substr(0, server.rfind('/'));
}

// The launcher in a process group of its own, its stdout and stderr together in one file. Ending
// the group ends whatever it started too, should it ever leave something behind.
class Launcher {
public:
    Launcher()
    {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorvel-launcher-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        dir_ = pattern;
        outPath_ = dir_ + "/output";
    }
    ~Launcher()
    {
        if (pid_ > 0) {
            (void)kill(-pid_, SIGKILL);
            if (!status_) {
                int status = 0;
                while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
            }
        }
        unlink(outPath_.c_str());
        rmdir(dir_.c_str());
    }
    Launcher(const Launcher &) = delete;
    Launcher &operator=(const Launcher &) = delete;

    // wrapper goes before the launcher (ip netns exec NAME, say). A script's background job has
    // SIGINT ignored, which sigintIgnored reproduces; otherwise it is handed over in its default state.
    void start(const std::vector<std::string> &args, const std::vector<std::string> &wrapper = {},
               bool sigintIgnored = false)
    {
        std::vector<std::string> argvText = wrapper;
        argvText.push_back(std::string(QUORVEL_SOURCE_DIR) + "/scripts/quorvel-net");
        argvText.insert(argvText.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &a : argvText) argv.push_back(a.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setpgroup(&attr, 0);
        // bash cannot trap a signal that was ignored when it started, as it is for a suite run in
        // the background, so SIGINT is handed over in its default state and unblocked.
        sigset_t defaults, none;
        sigemptyset(&defaults);
        if (!sigintIgnored) sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        // The child inherits an ignored SIGINT through the exec; the parent restores its own after.
        struct sigaction ignore{}, previous{};
        ignore.sa_handler = SIG_IGN;
        if (sigintIgnored) sigaction(SIGINT, &ignore, &previous);
        const int failed = posix_spawnp(&pid_, argv[0], &files, &attr, argv.data(), environ);
        if (sigintIgnored) sigaction(SIGINT, &previous, nullptr);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&files);
        if (failed) {
            pid_ = -1;
            throw std::runtime_error("posix_spawn " + argvText[0]);
        }
    }

    pid_t pid() const { return pid_; }
    std::string out() const { return slurp(outPath_); }

    // Polls the output until it holds the text; false when the launcher ends first or time runs out.
    bool waitForOutput(const std::string &text, Millis timeout)
    {
        const auto deadline = Clock::now() + timeout;
        for (int polls = 0; polls < 10000; ++polls) {
            if (out().find(text) != std::string::npos) return true;
            if (Clock::now() >= deadline || waitForExit(Millis(0))) return false;
            std::this_thread::sleep_for(Millis(20));
        }
        return false;
    }

    // The exit status, -1 for a death by signal, nullopt while it still runs after the timeout.
    std::optional<int> waitForExit(Millis timeout)
    {
        if (status_ || pid_ <= 0) return status_;
        const auto deadline = Clock::now() + timeout;
        for (int polls = 0; polls < 100000; ++polls) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return status_;
            }
            if ((r < 0 && errno != EINTR) || Clock::now() >= deadline) break;
            std::this_thread::sleep_for(Millis(10));
        }
        return std::nullopt;
    }

private:
    std::string dir_;
    std::string outPath_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

inline bool startsWith(const std::string &line, const std::string &prefix) { return line.rfind(prefix, 0) == 0; }

inline std::vector<std::string> linesOf(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline bool someLineHasAll(const std::string &text, std::initializer_list<std::string> parts)
{
    for (const std::string &line : linesOf(text)) {
        bool all = true;
        for (const std::string &p : parts) all = all && line.find(p) != std::string::npos;
        if (all) return true;
    }
    return false;
}

// Sends numbered copies of a message, one every read window, until one of them arrives; routes
// take a few advertisement cycles to reach across the middle node, and until then a message is
// refused or dropped on the way. What arrives is the number of the first copy seen, or 0.
inline int sendUntilArrives(Client &from, Client &to, const std::string &target, const std::string &text)
{
    const std::string expected = ":" + from.nick + " PRIVMSG " + target + " :" + text + " ";
    const auto deadline = Clock::now() + std::chrono::seconds(12);
    for (int attempt = 1; attempt <= 24 && Clock::now() < deadline; ++attempt) {
        from.say("PRIVMSG " + target + " :" + text + " " + std::to_string(attempt));
        for (int lines = 0; lines < 50; ++lines) {
            const std::string line = to.sock.readLine(Millis(500));
            if (line.empty()) break;
            EXPECT_TRUE(startsWith(line, expected)) << "to " << to.nick << ": " << line;
            if (startsWith(line, expected)) return std::atoi(line.c_str() + expected.size());
        }
    }
    return 0;
}

// The lines that arrive within the window; every one must be a refusal of the named target.
inline void expectOnlyRefusals(Client &c, const std::string &target, Millis window)
{
    for (const std::string &line : linesOf(c.sock.drain(window)))
        EXPECT_EQ(line + "\n", noSuchTarget(target)) << "to " << c.nick;
}

}  // namespace qtest
