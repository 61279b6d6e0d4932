// The loop's one wait, on an epoll set, level-triggered: a socket that still holds bytes is reported
// again in the next pass, as select reported it. The core's own sockets keep their registration from
// pass to pass, so that thousands of idle clients cost the wait nothing; the pollers' sockets are
// registered again in every pass that watches them, as a poller closes its own, and a number closed
// and given to a new socket must never pass for the old one.
#include "readiness.h"

#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "table_memory.h"

namespace {

// What a pass watches a descriptor for, and who watches it.
constexpr unsigned char READ = 1;
constexpr unsigned char WRITE = 2;
constexpr unsigned char POLLER = 4;
// What epoll was last told of a descriptor, or that it is unknown (a poller's): told again.
constexpr unsigned char UNSURE = 0x80;

struct Readiness {
    int epollFd = -1;
    int capacity = 0;
    unsigned char *wanted = nullptr;  // this pass: READ, WRITE, POLLER
    unsigned char *held = nullptr;    // what epoll holds: READ | WRITE, UNSURE, or 0 for nothing
    unsigned char *found = nullptr;   // what the last wait found: READ, WRITE
    int *watched = nullptr;           // the descriptors wanted in this pass
    int watchedCount = 0;
    int *registered = nullptr;        // the descriptors epoll may hold: those of the last wait
    int registeredCount = 0;
    epoll_event *events = nullptr;    // the last wait's findings
    int foundCount = 0;
    void *memory = nullptr;
    size_t memoryBytes = 0;
};

Readiness r;

size_t bytesFor(int capacity)
{
    const auto n = static_cast<size_t>(capacity);
    return n * (3 + 2 * sizeof(int) + sizeof(epoll_event));
}

// The tables, carved out of one mapping: epoll_event first, for its alignment.
bool mapTables(int capacity)
{
    const size_t bytes = bytesFor(capacity);
    void *memory = mapZeroed(bytes);
    if (!memory) return false;
    const auto n = static_cast<size_t>(capacity);
    r.events = static_cast<epoll_event *>(memory);
    r.watched = reinterpret_cast<int *>(r.events + n);
    r.registered = r.watched + n;
    r.wanted = reinterpret_cast<unsigned char *>(r.registered + n);
    r.held = r.wanted + n;
    r.found = r.held + n;
    r.memory = memory;
    r.memoryBytes = bytes;
    r.capacity = capacity;
    return true;
}

}  // namespace

int descriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1u << 20))
        return 1 << 20;
    return static_cast<int>(limit.rlim_cur);
}

namespace {

void watch(int fd, unsigned char what)
{
    if (!canWatch(fd)) return;
    if (r.wanted[fd] == 0) r.watched[r.watchedCount++] = fd;
    r.wanted[fd] |= what;
}

// A descriptor that epoll dropped on its close is added again; one that it holds still, modified.
void tell(int fd, unsigned events, bool heldBefore)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    int op = heldBefore ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(r.epollFd, op, fd, &ev) == 0) return;
    if (errno != (heldBefore ? ENOENT : EEXIST)) return;
    op = heldBefore ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    (void)epoll_ctl(r.epollFd, op, fd, &ev);
}

// Epoll is told what changed since the last wait: what is watched now, and what no longer is.
void reconcile()
{
    for (int i = 0; i < r.watchedCount; ++i) {
        const int fd = r.watched[i];
        const unsigned char wanted = r.wanted[fd];
        const unsigned char events = wanted & (READ | WRITE);
        if (!(wanted & POLLER) && r.held[fd] == events) continue;
        tell(fd, ((wanted & READ) ? EPOLLIN : 0u) | ((wanted & WRITE) ? EPOLLOUT : 0u), r.held[fd] != 0);
        r.held[fd] = (wanted & POLLER) ? UNSURE : events;
    }
    for (int i = 0; i < r.registeredCount; ++i) {
        const int fd = r.registered[i];
        if (r.wanted[fd] != 0 || r.held[fd] == 0) continue;
        (void)epoll_ctl(r.epollFd, EPOLL_CTL_DEL, fd, nullptr);  // fails for one closed since: nothing to do
        r.held[fd] = 0;
    }
    std::memcpy(r.registered, r.watched, static_cast<size_t>(r.watchedCount) * sizeof(int));
    r.registeredCount = r.watchedCount;
}

// What a socket with an error or a hang-up is ready for: a read or a send then fails at once, and
// its peer is dropped, so that epoll does not report it in every pass for ever.
unsigned char readyFor(unsigned events, unsigned char wanted)
{
    unsigned char ready = 0;
    if ((wanted & READ) && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) ready |= READ;
    if ((wanted & WRITE) && (events & (EPOLLOUT | EPOLLHUP | EPOLLERR))) ready |= WRITE;
    return ready;
}

}  // namespace

bool prepareReadiness(int capacity)
{
    if (capacity > r.capacity) {
        if (r.epollFd >= 0) close(r.epollFd);
        unmapZeroed(r.memory, r.memoryBytes);
        r = Readiness{};
        if (!mapTables(capacity)) return false;
    }
    if (r.epollFd < 0) r.epollFd = epoll_create1(EPOLL_CLOEXEC);
    return r.epollFd >= 0;
}

bool canWatch(int fd) { return fd > 0 && fd < r.capacity; }

void beginWatching()
{
    if (r.epollFd < 0) (void)prepareReadiness(descriptorLimit());
    for (int i = 0; i < r.watchedCount; ++i) r.wanted[r.watched[i]] = 0;
    r.watchedCount = 0;
}

void watchRead(int fd) { watch(fd, READ | POLLER); }

void watchWrite(int fd) { watch(fd, WRITE | POLLER); }

void watchOwn(int fd, bool read, bool write)
{
    const unsigned char what = (read ? READ : 0) | (write ? WRITE : 0);
    if (what != 0) watch(fd, what);
}

void closeDescriptor(int fd)
{
    if (fd <= 0) return;
    // Closing removes it from epoll; a new socket given the same number is added afresh.
    if (canWatch(fd)) r.held[fd] = 0;
    close(fd);
}

void releaseDescriptor(int fd)
{
    // Epoll still holds it: the poller's first watch tells it afresh, and a pass without one drops it.
    if (canWatch(fd) && r.held[fd] != 0) r.held[fd] = UNSURE;
}

int waitReady(long long ms)
{
    for (int i = 0; i < r.foundCount; ++i) r.found[r.events[i].data.fd] = 0;
    r.foundCount = 0;
    if (r.epollFd < 0) return -1;
    reconcile();
    const int timeout = ms < 0 ? 0 : ms > 1000000 ? 1000000 : static_cast<int>(ms);
    const int ready = epoll_wait(r.epollFd, r.events, r.capacity, timeout);
    if (ready <= 0) return ready;
    for (int i = 0; i < ready; ++i) {
        const int fd = r.events[i].data.fd;
        r.found[fd] = readyFor(r.events[i].events, r.wanted[fd]);
    }
    r.foundCount = ready;
    return ready;
}

bool isReadable(int fd) { return canWatch(fd) && (r.found[fd] & READ) != 0; }

bool isWritable(int fd) { return canWatch(fd) && (r.found[fd] & WRITE) != 0; }

void resetReadiness()
{
    if (r.epollFd >= 0) close(r.epollFd);
    r.epollFd = -1;
    for (int i = 0; i < r.registeredCount; ++i) r.held[r.registered[i]] = 0;
    for (int i = 0; i < r.foundCount; ++i) r.found[r.events[i].data.fd] = 0;
    for (int i = 0; i < r.watchedCount; ++i) r.wanted[r.watched[i]] = 0;
    r.registeredCount = r.foundCount = r.watchedCount = 0;
    (void)prepareReadiness(descriptorLimit());
}
