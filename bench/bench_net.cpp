#include "bench_net.h"

#include "support/ports.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

namespace qbench {

namespace {

}  // namespace

double secondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

double microsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::micro>(to - from).count();
}

int millisLeft(Clock::time_point deadline) { return qtest::millisLeft(deadline); }

uint16_t freePort() { return qtest::freePort(); }

int listenOnFreePort(uint16_t &port) { return qtest::boundSocket(16, port, SOCK_CLOEXEC); }

int connectLoopback(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr = qtest::loopbackAddress(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool setNonBlocking(int fd, bool on)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

void setNoDelay(int fd)
{
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

short waitFor(int fd, short events, Clock::time_point deadline)
{
    // Each pass either returns or waits out what is left; EINTR alone repeats it.
    for (int tries = 0; tries < 1000; ++tries) {
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, millisLeft(deadline));
        if (r > 0) return p.revents;
        if (r == 0 || errno != EINTR) return 0;
    }
    return 0;
}

bool sendAll(int fd, const char *data, size_t size, Clock::time_point deadline)
{
    size_t done = 0;
    for (int tries = 0; done < size && tries < 1000000; ++tries) {
        ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        if (Clock::now() >= deadline) return false;
        if (!(waitFor(fd, POLLOUT, deadline) & POLLOUT)) return false;
    }
    return done == size;
}

Client::Client(Client &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), nick_(std::move(other.nick_)), pending_(std::move(other.pending_)),
      eof_(other.eof_) {}

Client &Client::operator=(Client &&other) noexcept
{
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        nick_ = std::move(other.nick_);
        pending_ = std::move(other.pending_);
        eof_ = other.eof_;
    }
    return *this;
}

Client Client::connectTo(uint16_t port)
{
    int fd = connectLoopback(port);
    if (fd >= 0) setNoDelay(fd);
    return Client(fd);
}

bool Client::send(const std::string &bytes, Millis timeout)
{
    if (fd_ < 0) return false;
    return sendAll(fd_, bytes.data(), bytes.size(), Clock::now() + timeout);
}

bool Client::fill(Clock::time_point deadline)
{
    if (fd_ < 0 || eof_) return false;
    for (int tries = 0; tries < 1000; ++tries) {
        char chunk[16384];
        ssize_t got = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            pending_.append(chunk, static_cast<size_t>(got));
            return true;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            eof_ = true;
            return false;
        }
        if (!(waitFor(fd_, POLLIN, deadline) & (POLLIN | POLLHUP | POLLERR))) return false;
    }
    return false;
}

bool Client::readLine(std::string &line, Clock::time_point deadline)
{
    for (int reads = 0; reads < 100000; ++reads) {
        size_t lf = pending_.find('\n');
        if (lf != std::string::npos) {
            size_t end = (lf > 0 && pending_[lf - 1] == '\r') ? lf - 1 : lf;
            line.assign(pending_, 0, end);
            pending_.erase(0, lf + 1);
            return true;
        }
        if (!fill(deadline)) return false;
    }
    return false;
}

bool Client::waitForLineContaining(const std::string &text, Clock::time_point deadline, std::string *skipped)
{
    std::string line;
    for (int lines = 0; lines < 10000; ++lines) {
        if (!readLine(line, deadline)) return false;
        if (line.find(text) != std::string::npos) return true;
        if (skipped) *skipped += line + "\n";
    }
    return false;
}

bool Client::registerAs(const std::string &nick, Clock::time_point deadline, std::string *why)
{
    nick_ = nick;
    if (!send("NICK " + nick + "\r\nUSER " + nick + " h s :Bench " + nick + "\r\n")) {
        if (why) *why = "could not send NICK/USER";
        return false;
    }
    std::string skipped;
    if (waitForLineContaining(" 376 ", deadline, &skipped)) return true;
    if (why) {
        *why = eof_ ? "connection closed before 376" : "no 376 in time";
        if (!skipped.empty()) *why += " (got: " + skipped.substr(0, 300) + ")";
    }
    return false;
}

std::string Client::drain(Millis window)
{
    const auto deadline = Clock::now() + window;
    for (int reads = 0; reads < 1000 && fill(deadline); ++reads) {}
    return std::exchange(pending_, std::string());
}

void Client::close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace qbench
