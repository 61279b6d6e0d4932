// The routing daemon's end of the node's link, and the line-oriented socket that clients use too.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qtest {

using Millis = std::chrono::milliseconds;

// One connected TCP socket read line by line; every read is bounded by a timeout.
class LineSocket {
public:
    LineSocket() = default;
    explicit LineSocket(int fd) : fd_(fd) {}
    LineSocket(LineSocket &&other) noexcept;
    LineSocket &operator=(LineSocket &&other) noexcept;
    LineSocket(const LineSocket &) = delete;
    LineSocket &operator=(const LineSocket &) = delete;
    ~LineSocket();

    // A single attempt at 127.0.0.1:port; an invalid socket when it is refused.
    static LineSocket connectTo(uint16_t port);

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool send(const std::string &bytes);
    // The next line with its CR LF, or "" when none is complete in time or the peer has closed.
    std::string readLine(Millis timeout = Millis(2000));
    // Waits for bytes without reading them.
    bool readable(Millis timeout);
    // Whatever arrives within the window, buffered bytes first.
    std::string drain(Millis window);
    // True once the peer's end of stream is read, with no byte before it.
    bool readsEofOnly(Millis timeout = Millis(2000));
    // Whether a read has met the peer's end of stream.
    bool atEnd() const { return eof_; }
    // Ends this side's stream and keeps reading: the peer's end then shows when it has closed too.
    void shutdownWrite();
    // Closing with SO_LINGER {1, 0} sends RST instead of FIN.
    void resetHard();
    void close();

private:
    // Reads once, waiting up to the deadline; false on timeout or end of stream.
    bool fill(std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    std::string pending_;
    bool eof_ = false;
};

// Listens on 127.0.0.1 before the node starts, so the node's connect at start-up finds it.
class FakeDaemon {
public:
    FakeDaemon();
    ~FakeDaemon();
    FakeDaemon(const FakeDaemon &) = delete;
    FakeDaemon &operator=(const FakeDaemon &) = delete;

    uint16_t port() const { return port_; }
    bool acceptLink(Millis timeout = Millis(5000));
    bool linked() const { return link_.valid(); }
    bool send(const std::string &line) { return link_.send(line); }
    // Records every complete line that arrives within the window, and returns the whole record.
    const std::vector<std::string> &collect(Millis window);
    // The next line, recorded like those of collect, as soon as it is complete; "" after the timeout.
    std::string nextLine(Millis timeout = Millis(2000));
    bool linkEnded() const { return link_.atEnd(); }
    const std::vector<std::string> &received() const { return received_; }
    void closeLink() { link_.close(); }
    // The daemon gone: no listener, so the node's attempts to link again are refused.
    void stopListening();
    // Back on the same port, as a restarted daemon would be.
    void listenAgain();

private:
    int listener_ = -1;
    uint16_t port_ = 0;
    LineSocket link_;
    std::vector<std::string> received_;
};

}  // namespace qtest
