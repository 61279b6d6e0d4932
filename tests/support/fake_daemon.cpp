#include "support/fake_daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

namespace qtest {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool waitReadable(int fd, Clock::time_point deadline)
{
    // Bounded: each pass either returns or waits out what is left of the deadline.
    for (int tries = 0; tries < 1000; ++tries) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, remainingMs(deadline));
        if (r > 0) return true;
        if (r == 0 || errno != EINTR) return false;
    }
    return false;
}

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
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
    sockaddr_in addr = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        ::close(fd);
        return LineSocket();
    }
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
    char chunk[1024];
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

FakeDaemon::FakeDaemon()
{
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ < 0) throw std::runtime_error("daemon socket");
    // Port 0: the kernel's choice is taken while the socket keeps it, leaving no window for others.
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || listen(listener_, 4) < 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) < 0) {
        ::close(listener_);
        throw std::runtime_error("daemon listen");
    }
    port_ = ntohs(addr.sin_port);
}

FakeDaemon::~FakeDaemon()
{
    link_.close();
    if (listener_ >= 0) ::close(listener_);
}

bool FakeDaemon::acceptLink(Millis timeout)
{
    if (!waitReadable(listener_, Clock::now() + timeout)) return false;
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return false;
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

}  // namespace qtest
