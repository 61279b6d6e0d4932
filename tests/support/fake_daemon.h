// The routing daemon's end of the node's link, driven line by line by the test or answering by
// itself (from a fixed table, or from whatever function the caller routes with), and the
// line-oriented socket that clients use too.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
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
    ~FakeDaemon();  // stops answering first
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

    // The answer to one request (the line without CR LF): whole lines, each ending in LF, or "" for none.
    using Answerer = std::function<std::string(const std::string &request)>;
    // Takes the node's link, then answers from a thread until stopped or the link ends. The
    // answers to the lines of one read leave in one write, in the order of their requests.
    bool startAnswering(Answerer answer, Millis timeout = Millis(5000));
    void stopAnswering();
    // While answering: a copy of the record, taken under its lock.
    std::vector<std::string> receivedSoFar() const;
    // Waits until the line (CR LF included) has arrived `count` times in all.
    bool waitFor(const std::string &line, Millis timeout = Millis(3000), size_t count = 1) const;
    // Requests answered so far, counted once their answers are written.
    uint64_t answered() const { return answered_.load(std::memory_order_acquire); }

private:
    void answerLoop(const Answerer &answer);

    int listener_ = -1;
    uint16_t port_ = 0;
    LineSocket link_;
    std::vector<std::string> received_;
    mutable std::mutex mutex_;  // guards received_ while the answering thread runs
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> answered_{0};
    std::thread answering_;
};

// Answers NEXTHOP and NEXTHOPS from a table and nothing else. Keys are requests as the node sends
// them, without CR LF ("NEXTHOP carol", "NEXTHOPS 1 #c"); values are the answer lines without LF
// ("OK 2 1"). A request missing from the table is answered "NONE".
class ScriptedRouter : public FakeDaemon {
public:
    using Table = std::map<std::string, std::string>;

    ScriptedRouter() = default;
    ~ScriptedRouter() { stopAnswering(); }  // before the table goes
    void setTable(Table table);
    bool start(Millis timeout = Millis(5000));
    // Every line the node has sent, CR LF included, in arrival order.
    std::vector<std::string> received() const { return receivedSoFar(); }

private:
    std::mutex tableMutex_;
    Table table_;
};

}  // namespace qtest
