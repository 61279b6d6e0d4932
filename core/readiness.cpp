// The loop's one wait, on an epoll set, level-triggered: a socket that still holds bytes is reported
// again in the next pass, as select reported it. What the core watches of its own sockets stays
// registered from pass to pass and changes only when the core changes it, so that thousands of
// idle clients cost the wait nothing; the pollers' sockets are registered again in every pass that
// watches them, as a poller closes its own unannounced, and a number closed and given to a new
// socket must never pass for the old one.
#include "readiness.h"

#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "table_memory.h"
#include "tls.h"

namespace {

constexpr unsigned char READ = 1;
constexpr unsigned char WRITE = 2;
// What epoll holds of a descriptor is unknown (a poller's): it is told again.
constexpr unsigned char UNSURE = 0x80;
struct Readiness {
    int epollFd = -1;
    int capacity = 0;
    unsigned char *own = nullptr;      // the core's lasting interest: READ, WRITE
    unsigned char *pass = nullptr;     // the pollers' interest in this pass
    unsigned char *held = nullptr;     // what epoll holds: READ | WRITE, UNSURE, or 0 for nothing
    unsigned char *changed = nullptr;  // 1 while the descriptor waits in `changes`
    unsigned char *found = nullptr;    // what the last wait found: READ, WRITE
    int *tags = nullptr;
    int *changes = nullptr;            // the core's interests changed since the last wait
    int changeCount = 0;
    int *watched = nullptr;            // what pollers watch in this pass
    int watchedCount = 0;
    int *watchedBefore = nullptr;      // what they watched in the last pass
    int watchedBeforeCount = 0;
    int *picked = nullptr;             // readyIndexes' answer
    epoll_event *events = nullptr;     // the last wait's findings
    int foundCount = 0;
    void *memory = nullptr;
    size_t memoryBytes = 0;
};

Readiness r;

// The tables, carved out of one mapping: epoll_event first, for its alignment.
bool mapTables(int capacity)
{
    const auto n = static_cast<size_t>(capacity);
    const size_t bytes = n * (sizeof(epoll_event) + 5 * sizeof(int) + 5);
    void *memory = mapZeroed(bytes);
    if (!memory) return false;
    r.events = static_cast<epoll_event *>(memory);
    r.tags = reinterpret_cast<int *>(r.events + n);
    r.changes = r.tags + n;
    r.watched = r.changes + n;
    r.watchedBefore = r.watched + n;
    r.picked = r.watchedBefore + n;
    r.own = reinterpret_cast<unsigned char *>(r.picked + n);
    r.pass = r.own + n;
    r.held = r.pass + n;
    r.changed = r.held + n;
    r.found = r.changed + n;
    r.memory = memory;
    r.memoryBytes = bytes;
    r.capacity = capacity;
    return true;
}

void noteChange(int fd)
{
    if (r.changed[fd]) return;
    r.changed[fd] = 1;
    r.changes[r.changeCount++] = fd;
}

// A descriptor that epoll dropped on its close is added again; one that it holds still, modified.
void tell(int fd, unsigned char interest)
{
    const bool heldBefore = r.held[fd] != 0;
    if (interest == 0) {
        if (heldBefore) (void)epoll_ctl(r.epollFd, EPOLL_CTL_DEL, fd, nullptr);  // fails once closed: nothing to do
        return;
    }
    epoll_event ev{};
    ev.events = ((interest & READ) ? EPOLLIN : 0u) | ((interest & WRITE) ? EPOLLOUT : 0u);
    ev.data.fd = fd;
    int op = heldBefore ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(r.epollFd, op, fd, &ev) == 0) return;
    if (errno != (heldBefore ? ENOENT : EEXIST)) return;
    op = heldBefore ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    (void)epoll_ctl(r.epollFd, op, fd, &ev);
}

// Brings what epoll holds of one descriptor in line with what is wanted of it now.
void settle(int fd)
{
    const unsigned char wanted = r.own[fd] | r.pass[fd];
    if (r.pass[fd] != 0) {
        tell(fd, wanted);
        r.held[fd] = UNSURE;
    } else if (r.held[fd] != wanted) {
        tell(fd, wanted);
        r.held[fd] = wanted;
    }
}

// Epoll is told what changed since the last wait: the core's changed interests, what pollers watch
// now, and what they no longer watch.
void reconcile()
{
    for (int i = 0; i < r.changeCount; ++i) {
        r.changed[r.changes[i]] = 0;
        settle(r.changes[i]);
    }
    r.changeCount = 0;
    for (int i = 0; i < r.watchedCount; ++i) settle(r.watched[i]);
    for (int i = 0; i < r.watchedBeforeCount; ++i)
        if (r.pass[r.watchedBefore[i]] == 0) settle(r.watchedBefore[i]);
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

void forgetFound()
{
    for (int i = 0; i < r.foundCount; ++i) r.found[r.events[i].data.fd] = 0;
    r.foundCount = 0;
}

}  // namespace

int descriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1u << 20))
        return 1 << 20;
    return static_cast<int>(limit.rlim_cur);
}

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

void watchOwn(int fd, bool read, bool write)
{
    if (r.epollFd < 0) (void)prepareReadiness(descriptorLimit());
    if (!canWatch(fd)) return;
    const unsigned char interest = (read ? READ : 0) | (write ? WRITE : 0);
    if (r.own[fd] == interest) return;
    r.own[fd] = interest;
    noteChange(fd);
}

void watchOwnReading(int fd, bool read)
{
    if (canWatch(fd)) watchOwn(fd, read, (r.own[fd] & WRITE) != 0);
}

void watchOwnWriting(int fd, bool write)
{
    if (canWatch(fd)) watchOwn(fd, (r.own[fd] & READ) != 0, write);
}

void tagDescriptor(int fd, int tag)
{
    if (r.epollFd < 0) (void)prepareReadiness(descriptorLimit());
    if (!canWatch(fd)) return;
    // A socket the core takes up anew (an accept) may bear the number of one a poller closed after
    // the wait: what the wait found belonged to that one.
    if (r.tags[fd] == 0) r.found[fd] = 0;
    r.tags[fd] = tag;
}

int tagOf(int fd) { return canWatch(fd) ? r.tags[fd] : 0; }

void closeDescriptor(int fd)
{
    if (fd <= 0) return;
    // Closing removes it from epoll; a new socket given the same number is added afresh.
    if (canWatch(fd)) {
        r.own[fd] = 0;
        r.held[fd] = 0;
        r.tags[fd] = 0;
        // A socket opened later in this pass may take the number: the wait found nothing of it.
        r.found[fd] = 0;
    }
    endTlsSession(fd);
    close(fd);
}

void releaseDescriptor(int fd)
{
    if (!canWatch(fd)) return;
    r.own[fd] = 0;
    r.tags[fd] = 0;
    // Epoll still holds it: the poller's first watch tells it afresh, and a pass without one drops it.
    if (r.held[fd] != 0) r.held[fd] = UNSURE;
    noteChange(fd);
}

void beginWatching()
{
    if (r.epollFd < 0) (void)prepareReadiness(descriptorLimit());
    for (int i = 0; i < r.watchedCount; ++i) r.pass[r.watched[i]] = 0;
    std::memcpy(r.watchedBefore, r.watched, static_cast<size_t>(r.watchedCount) * sizeof(int));
    r.watchedBeforeCount = r.watchedCount;
    r.watchedCount = 0;
}

void watchRead(int fd)
{
    if (!canWatch(fd)) return;
    if (r.pass[fd] == 0) r.watched[r.watchedCount++] = fd;
    r.pass[fd] |= READ;
}

void watchWrite(int fd)
{
    if (!canWatch(fd)) return;
    if (r.pass[fd] == 0) r.watched[r.watchedCount++] = fd;
    r.pass[fd] |= WRITE;
}

int waitReady(long long ms)
{
    forgetFound();
    if (r.epollFd < 0) return -1;
    reconcile();
    const int timeout = ms < 0 ? 0 : ms > 1000000 ? 1000000 : static_cast<int>(ms);
    const int ready = epoll_wait(r.epollFd, r.events, std::min(r.capacity, READY_PER_PASS), timeout);
    if (ready <= 0) return ready;
    for (int i = 0; i < ready; ++i) {
        const int fd = r.events[i].data.fd;
        r.found[fd] = readyFor(r.events[i].events, r.own[fd] | r.pass[fd]);
    }
    r.foundCount = ready;
    return ready;
}

bool isReadable(int fd) { return canWatch(fd) && (r.found[fd] & READ) != 0; }

bool isWritable(int fd) { return canWatch(fd) && (r.found[fd] & WRITE) != 0; }

const int *readyIndexes(int (*pick)(int tag), int &count)
{
    count = 0;
    for (int i = 0; i < r.foundCount; ++i) {
        const int fd = r.events[i].data.fd;
        const int index = (r.found[fd] & READ) ? pick(r.tags[fd]) : -1;
        if (index >= 0) r.picked[count++] = index;
    }
    std::sort(r.picked, r.picked + count);
    return r.picked;
}

void resetReadiness()
{
    if (r.epollFd >= 0) close(r.epollFd);
    r.epollFd = -1;
    forgetFound();
    if (r.memory) std::memset(r.memory, 0, r.memoryBytes);
    r.changeCount = r.watchedCount = r.watchedBeforeCount = 0;
    (void)prepareReadiness(descriptorLimit());
}
