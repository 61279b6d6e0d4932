// Loopback sockets for the benchmark: free ports, listeners, and an IRC client whose every wait
// is bounded by a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace qbench {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

double secondsBetween(Clock::time_point from, Clock::time_point to);
double microsBetween(Clock::time_point from, Clock::time_point to);
int millisLeft(Clock::time_point deadline);  // 0 once the deadline has passed

// A port that was free on 127.0.0.1 a moment ago (bound to port 0, then released).
uint16_t freePort();
// A socket listening on 127.0.0.1 on a port the kernel picks and the socket keeps.
int listenOnFreePort(uint16_t &port);
// One connection attempt to 127.0.0.1:port; -1 when refused.
int connectLoopback(uint16_t port);
bool setNonBlocking(int fd, bool on);
void setNoDelay(int fd);
// Waits for the events on fd until the deadline; the revents, or 0 on timeout.
short waitFor(int fd, short events, Clock::time_point deadline);
// Sends all bytes, waiting for room until the deadline; false on error or timeout.
bool sendAll(int fd, const char *data, size_t size, Clock::time_point deadline);

// A client connection read line by line. Lines are returned without their CR LF.
class Client {
public:
    Client() = default;
    explicit Client(int fd) : fd_(fd) {}
    Client(Client &&other) noexcept;
    Client &operator=(Client &&other) noexcept;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    ~Client() { close(); }

    static Client connectTo(uint16_t port);  // not valid() when refused

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string &nick() const { return nick_; }
    bool eof() const { return eof_; }

    bool send(const std::string &bytes, Millis timeout = Millis(2000));
    // The next complete line, or false on timeout or end of stream.
    bool readLine(std::string &line, Clock::time_point deadline);
    // Reads lines until one contains the text; false on timeout or end of stream.
    bool waitForLineContaining(const std::string &text, Clock::time_point deadline, std::string *skipped = nullptr);
    // NICK and USER, then the lines up to the end of the message of the day.
    bool registerAs(const std::string &nick, Clock::time_point deadline, std::string *why = nullptr);
    // Whatever arrives within the window, buffered bytes first; for diagnostics.
    std::string drain(Millis window);
    // Bytes already read but not yet taken as lines.
    std::string &pending() { return pending_; }
    void close();

private:
    bool fill(Clock::time_point deadline);

    int fd_ = -1;
    std::string nick_;
    std::string pending_;
    bool eof_ = false;
};

}  // namespace qbench
