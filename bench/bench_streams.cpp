#include "bench_streams.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <thread>

namespace qbench {

namespace {

constexpr size_t BATCH_BYTES = 16384;
constexpr size_t INBOUND_KEPT = 2048;

void keepInbound(int fd, WriterResult &result)
{
    for (int reads = 0; reads < 64; ++reads) {
        char chunk[4096];
        ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got <= 0) return;
        result.inboundBytes += static_cast<uint64_t>(got);
        if (result.inbound.size() < INBOUND_KEPT)
            result.inbound.append(chunk, std::min(static_cast<size_t>(got), INBOUND_KEPT - result.inbound.size()));
    }
}

// Parses "<digits>" exactly; false for anything else.
bool parseSeq(const char *p, size_t n, uint64_t &seq)
{
    if (n == 0 || n > 19) return false;
    seq = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        seq = seq * 10 + static_cast<uint64_t>(p[i] - '0');
    }
    return true;
}

void checkLine(StreamCheck &s, const char *line, size_t n)
{
    const std::string &pre = s.expectPrefix;
    uint64_t seq = 0;
    const bool framed = n > pre.size() && std::memcmp(line, pre.data(), pre.size()) == 0 &&
                        parseSeq(line + pre.size(), n - pre.size(), seq);
    if (framed && seq == s.next) {
        ++s.ok;
        ++s.next;
        return;
    }
    ++s.bad;
    if (s.firstBad.empty())
        s.firstBad = "got \"" + std::string(line, std::min<size_t>(n, 200)) + "\" where \"" + pre +
                     std::to_string(s.next) + "\" was due";
    // Resynchronise on a well-formed later number, so that one loss is not counted as all lines
    // after it; a number the writer never sent is a corrupted line, not a sign of progress.
    if (framed && seq > s.next && seq <= s.maxSeq) s.next = seq + 1;
}

// Takes every complete line out of the buffer; a line must end in CR LF.
void consumeLines(StreamCheck &s)
{
    size_t start = 0;
    const char *data = s.buffer.data();
    for (;;) {
        const void *lfp = std::memchr(data + start, '\n', s.buffer.size() - start);
        if (!lfp) break;
        size_t lf = static_cast<size_t>(static_cast<const char *>(lfp) - data);
        if (lf > start && data[lf - 1] == '\r') checkLine(s, data + start, lf - 1 - start);
        else checkLine(s, data + start, lf - start);  // no CR: never the expected line
        start = lf + 1;
    }
    s.buffer.erase(0, start);
}

}  // namespace

void runWriter(int fd, const WriterPlan &plan, const std::atomic<bool> &abort, WriterResult &result)
{
    std::string batch;
    batch.reserve(BATCH_BYTES + 64);
    uint64_t next = 1;        // first number not yet in a batch
    uint64_t batchEnd = 1;    // first number after the current batch
    size_t offset = 0;        // bytes of the current batch already sent
    bool started = false;
    for (uint64_t rounds = 0; rounds < std::numeric_limits<uint64_t>::max() && !abort.load(); ++rounds) {
        if (offset == batch.size()) {
            result.sent = batchEnd - 1;
            batch.clear();
            offset = 0;
            if (next > plan.count || Clock::now() >= plan.stopSending) return;
            uint64_t limit = plan.count;
            if (plan.allowedUpTo) limit = std::min(limit, plan.allowedUpTo());
            if (limit < next) {
                // The window is closed: the readers have to catch up first.
                keepInbound(fd, result);
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                continue;
            }
            for (; next <= limit && batch.size() < BATCH_BYTES; ++next) {
                batch += plan.linePrefix;
                batch += std::to_string(next);
                batch += "\r\n";
            }
            batchEnd = next;
        }
        if (!started) {
            result.firstSend = Clock::now();
            started = true;
        }
        ssize_t n = ::send(fd, batch.data() + offset, batch.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            offset += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            result.error = std::string("send failed: ") + std::strerror(errno);
            return;
        }
        pollfd p{fd, POLLOUT | POLLIN, 0};
        (void)poll(&p, 1, 50);
        if (p.revents & POLLIN) keepInbound(fd, result);
    }
}

bool readStreams(std::vector<StreamCheck> &streams, const ReadPlan &plan, std::string &why)
{
    auto lastProgress = Clock::now();
    std::vector<char> chunk(65536);
    for (uint64_t rounds = 0; rounds < std::numeric_limits<uint64_t>::max(); ++rounds) {
        const uint64_t target = plan.finalCount->load(std::memory_order_acquire);
        bool allDone = true;
        for (const StreamCheck &s : streams) allDone = allDone && s.next > target;
        if (allDone) break;
        bool allClosed = true;
        for (const StreamCheck &s : streams) allClosed = allClosed && s.closed;
        if (allClosed) {
            why = "the node closed the connection";
            break;
        }
        const auto now = Clock::now();
        if (now >= plan.hardDeadline) {
            why = "time limit reached while waiting for lines";
            break;
        }
        if (now - lastProgress >= plan.stallLimit) {
            why = "nothing arrived for " + std::to_string(plan.stallLimit.count()) + " ms";
            break;
        }
        std::vector<pollfd> fds;
        for (StreamCheck &s : streams) fds.push_back({s.closed ? -1 : s.client->sock.fd(), POLLIN, 0});
        if (poll(fds.data(), fds.size(), 20) <= 0) continue;
        uint64_t slowest = std::numeric_limits<uint64_t>::max();
        for (size_t i = 0; i < streams.size(); ++i) {
            StreamCheck &s = streams[i];
            if (fds[i].revents) {
                ssize_t got = ::recv(s.client->sock.fd(), chunk.data(), chunk.size(), MSG_DONTWAIT);
                if (got > 0) {
                    s.buffer.append(chunk.data(), static_cast<size_t>(got));
                    const uint64_t before = s.ok;
                    consumeLines(s);
                    lastProgress = Clock::now();
                    if (s.ok != before) s.lastArrival = lastProgress;
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    s.closed = true;
                }
            }
            slowest = std::min(slowest, s.next - 1);
        }
        if (plan.slowestSeen) plan.slowestSeen->store(slowest, std::memory_order_release);
    }
    const uint64_t target = plan.finalCount->load(std::memory_order_acquire);
    for (const StreamCheck &s : streams)
        if (s.ok != target || s.bad != 0) return false;
    return true;
}

std::string describeStreams(const std::vector<StreamCheck> &streams, uint64_t sent)
{
    std::string text;
    for (const StreamCheck &s : streams) {
        if (s.ok == sent && s.bad == 0) continue;
        std::string detail = "receiver " + s.client->nick + ": " + std::to_string(s.ok) + " of " +
                             std::to_string(sent) + " lines intact, " +
                             std::to_string(sent > s.ok ? sent - s.ok : 0) + " lost, " + std::to_string(s.bad) +
                             " wrong lines" + (s.closed ? ", connection closed" : "");
        if (!s.firstBad.empty()) detail += "; first wrong: " + s.firstBad;
        text += (text.empty() ? "" : "; ") + detail;
    }
    return text;
}

}  // namespace qbench
