#include "support/fake_daemon.h"

#include "support/ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

namespace qtest {

namespace {

using Clock = std::chrono::steady_clock;

// Longer than the whole suite may run; an answering daemon is stopped long before.
constexpr auto LIFETIME = std::chrono::minutes(10);
// Lines answered in one write at most, so that a steady stream still gets its answers.
constexpr int BATCH_LINES = 4096;

bool waitReadable(int fd, Clock::time_point deadline) { return waitForEvents(fd, POLLIN, deadline); }

std::string withoutLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

bool asksForHops(const std::string &request)
{
    return request.rfind("NEXTHOP ", 0) == 0 || request.rfind("NEXTHOPS ", 0) == 0;
}

}  // namespace

LineSocket::LineSocket(LineSocket &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), pending_(std::move(other.pending_)), eof_(other.eof_) {}

LineSocket &LineSocket::operator=(LineSocket &&other) noexcept
{
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        pending_ = std::move(other.pending_);
        eof_ = other.eof_;
    }
    return *this;
}

LineSocket::~LineSocket() { close(); }

LineSocket LineSocket::connectTo(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return LineSocket();
    sockaddr_in addr = loopbackAddress(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        ::close(fd);
        return LineSocket();
    }
    // A line the node does not answer is acknowledged late; Nagle would hold the next one until then.
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return LineSocket(fd);
}

bool LineSocket::send(const std::string &bytes)
{
    if (fd_ < 0) return false;
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool LineSocket::fill(Clock::time_point deadline)
{
    if (fd_ < 0 || eof_ || !waitReadable(fd_, deadline)) return false;
    char chunk[16384];
    ssize_t got = read(fd_, chunk, sizeof chunk);
    if (got <= 0) {
        eof_ = true;
        return false;
    }
    pending_.append(chunk, static_cast<size_t>(got));
    return true;
}

std::string LineSocket::readLine(Millis timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (int reads = 0; reads < 1000; ++reads) {
        size_t lf = pending_.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending_.substr(0, lf + 1);
            pending_.erase(0, lf + 1);
            return line;
        }
        if (!fill(deadline)) break;
    }
    return "";
}

bool LineSocket::readable(Millis timeout)
{
    return fd_ >= 0 && waitReadable(fd_, Clock::now() + timeout);
}

std::string LineSocket::drain(Millis window)
{
    const auto deadline = Clock::now() + window;
    for (int reads = 0; reads < 1000 && fill(deadline); ++reads) {}
    return std::exchange(pending_, std::string());
}

bool LineSocket::readsEofOnly(Millis timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (int reads = 0; reads < 1000 && !eof_ && fill(deadline); ++reads) {}
    return eof_ && pending_.empty();
}

void LineSocket::shutdownWrite()
{
    if (fd_ >= 0) (void)shutdown(fd_, SHUT_WR);
}

void LineSocket::resetHard()
{
    if (fd_ < 0) return;
    linger hard{1, 0};
    (void)setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close();
}

void LineSocket::close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

FakeDaemon::FakeDaemon() { listenAgain(); }

FakeDaemon::~FakeDaemon()
{
    stopAnswering();
    link_.close();
    if (listener_ >= 0) ::close(listener_);
}

void FakeDaemon::stopListening()
{
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
}

// SO_REUSEADDR from the first listener on, so that the port can be taken again while the old
// link's end waits out TIME_WAIT. Port 0 (the first time) takes one of the kernel's choice.
void FakeDaemon::listenAgain()
{
    stopListening();
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    (void)setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = loopbackAddress(port_);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || listen(listener_, 4) < 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) < 0)
        throw std::runtime_error("listening on 127.0.0.1 for the node's daemon link");
    port_ = ntohs(addr.sin_port);
}

bool FakeDaemon::acceptLink(Millis timeout)
{
    if (!waitReadable(listener_, Clock::now() + timeout)) return false;
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return false;
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    link_ = LineSocket(fd);
    return true;
}

const std::vector<std::string> &FakeDaemon::collect(Millis window)
{
    const auto deadline = Clock::now() + window;
    for (int lines = 0; lines < 1000; ++lines) {
        std::string line = link_.readLine(std::chrono::duration_cast<Millis>(deadline - Clock::now()));
        if (line.empty()) break;
        received_.push_back(line);
    }
    return received_;
}

std::string FakeDaemon::nextLine(Millis timeout)
{
    std::string line = link_.readLine(timeout);
    if (!line.empty()) received_.push_back(line);
    return line;
}

bool FakeDaemon::startAnswering(Answerer answer, Millis timeout)
{
    if (answering_.joinable() || !acceptLink(timeout)) return false;
    stop_ = false;
    answering_ = std::thread([this, answer = std::move(answer)] { answerLoop(answer); });
    return true;
}

void FakeDaemon::stopAnswering()
{
    stop_ = true;
    if (answering_.joinable()) answering_.join();
}

void FakeDaemon::answerLoop(const Answerer &answer)
{
    const auto end = Clock::now() + LIFETIME;
    std::vector<std::string> lines;
    while (!stop_ && Clock::now() < end) {
        // The first line waits a little, so that stop_ is seen; the rest only take what has come.
        lines.clear();
        for (std::string line; lines.size() < BATCH_LINES && !(line = link_.readLine(Millis(lines.empty() ? 20 : 0))).empty();)
            lines.push_back(line);
        if (lines.empty()) {
            if (link_.atEnd()) return;
            continue;
        }
        {
            // Recorded before the answers go out: whatever they set moving comes later.
            std::lock_guard<std::mutex> lock(mutex_);
            received_.insert(received_.end(), lines.begin(), lines.end());
        }
        std::string answers;
        uint64_t count = 0;
        for (const std::string &line : lines) {
            const size_t before = answers.size();
            answers += answer(withoutLineEnd(line));
            count += answers.size() != before ? 1 : 0;
        }
        if (!answers.empty() && !link_.send(answers)) return;
        answered_.fetch_add(count, std::memory_order_release);
    }
}

std::vector<std::string> FakeDaemon::receivedSoFar() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool FakeDaemon::waitFor(const std::string &line, Millis timeout, size_t count) const
{
    const auto deadline = Clock::now() + timeout;
    for (int polls = 0; polls < 10000; ++polls) {
        size_t seen = 0;
        for (const std::string &got : receivedSoFar()) seen += got == line ? 1 : 0;
        if (seen >= count) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(Millis(5));
    }
    return false;
}

void ScriptedRouter::setTable(Table table)
{
    std::lock_guard<std::mutex> lock(tableMutex_);
    table_ = std::move(table);
}

bool ScriptedRouter::start(Millis timeout)
{
    return startAnswering(
        [this](const std::string &request) -> std::string {
            if (!asksForHops(request)) return "";
            std::lock_guard<std::mutex> lock(tableMutex_);
            auto found = table_.find(request);
            return (found != table_.end() ? found->second : "NONE") + "\n";
        },
        timeout);
}

}  // namespace qtest
