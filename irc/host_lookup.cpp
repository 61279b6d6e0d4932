// Reverse lookups through c-ares, whose sockets and timers join the loop's one wait, so that a
// slow or silent name server delays only the client that is being looked up.
#include "host_lookup.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netdb.h>

#include <cstdint>

#include "../core/clock.h"
#include "../core/connections.h"
#include "../core/server.h"
#include "../core/sizes.h"
#include "../core/slot_list.h"
#include "registration.h"

namespace {

ares_channel channel;
bool ready;

struct Lookup {
    unsigned serial;     // the connection it is for; 0 when none is waiting
    long long deadline;
};

Lookup exactLookups[MAX_CONNECTIONS];
Lookup *lookups = exactLookups;
SlotList waiting;  // the slots whose lookups wait: the pass looks at these, not at the table

// Above every slot number the tables can have.
constexpr uintptr_t TAG_BASE = MAX_CLIENTS_LIMIT + FIRST_CLIENT_SLOT;

// Each answer names its slot and connection, so an answer for a peer that has left is dropped.
void *tagFor(int slot, unsigned serial)
{
    return reinterpret_cast<void *>(static_cast<uintptr_t>(serial) * TAG_BASE + static_cast<uintptr_t>(slot));
}

void finish(int slot, const char *name)
{
    const unsigned serial = lookups[slot].serial;
    lookups[slot].serial = 0;
    hostNameFound(slot, serial, name);
}

void answered(void *tag, int status, int, hostent *found)
{
    const auto value = reinterpret_cast<uintptr_t>(tag);
    const int slot = static_cast<int>(value % TAG_BASE);
    const auto serial = static_cast<unsigned>(value / TAG_BASE);
    if (lookups[slot].serial != serial || serial == 0) return;
    const bool named = status == ARES_SUCCESS && found && found->h_name && found->h_name[0] != '\0';
    finish(slot, named ? found->h_name : nullptr);
}

// The sockets c-ares asked the pass's wait to watch.
ares_socket_t watched[ARES_GETSOCK_MAXNUM];
int watchedMask;

void beforeWait()
{
    if (!ready) return;
    watchedMask = ares_getsock(channel, watched, ARES_GETSOCK_MAXNUM);
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        if (ARES_GETSOCK_READABLE(watchedMask, i)) watchRead(watched[i]);
        if (ARES_GETSOCK_WRITABLE(watchedMask, i)) watchWrite(watched[i]);
    }
    const long long now = nowMillis();
    waiting.forEach([now](int slot) {
        if (lookups[slot].serial != 0) wakeWithinMs(lookups[slot].deadline - now);
    });
    timeval most = {1, 0};
    timeval next{};
    const timeval *due = ares_timeout(channel, &most, &next);
    wakeWithinMs(static_cast<long long>(due->tv_sec) * 1000 + due->tv_usec / 1000);
}

void afterWait()
{
    if (!ready) return;
    // Socket by socket, as its numbers may lie past what an fd_set holds; the last call runs
    // c-ares' own timers.
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        const ares_socket_t fd = watched[i];
        const bool readable = ARES_GETSOCK_READABLE(watchedMask, i) && isReadable(fd);
        const bool writable = ARES_GETSOCK_WRITABLE(watchedMask, i) && isWritable(fd);
        if (readable || writable)
            ares_process_fd(channel, readable ? fd : ARES_SOCKET_BAD, writable ? fd : ARES_SOCKET_BAD);
    }
    ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    const long long now = nowMillis();
    waiting.walk([now](int slot) {
        if (lookups[slot].serial == 0) return false;
        if (now < lookups[slot].deadline) return true;
        finish(slot, nullptr);
        return false;
    });
}

}  // namespace

bool sizeHostLookups(const TableSizes &sizes)
{
    return resizeTable(lookups, exactLookups, static_cast<size_t>(slotCount()), static_cast<size_t>(sizes.slots)) &&
           waiting.size(sizes.slots);
}

void initHostLookup()
{
    if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) return;
    ares_options options{};
    options.timeout = static_cast<int>(HOST_LOOKUP_LIMIT_MS);
    options.tries = 1;
    ready = ares_init_options(&channel, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES) == ARES_SUCCESS;
}

void startHostLookup(int slot)
{
    const Connection &c = connections[slot];
    in_addr four{};
    in6_addr six{};
    const bool isFour = inet_pton(AF_INET, c.ip, &four) == 1;
    if (!ready || (!isFour && inet_pton(AF_INET6, c.ip, &six) != 1)) {
        hostNameFound(slot, c.serial, nullptr);
        return;
    }
    waiting.add(slot);
    lookups[slot] = {c.serial, nowMillis() + HOST_LOOKUP_LIMIT_MS};
    // A name from the hosts file comes back before this returns.
    if (isFour) ares_gethostbyaddr(channel, &four, sizeof four, AF_INET, answered, tagFor(slot, c.serial));
    else ares_gethostbyaddr(channel, &six, sizeof six, AF_INET6, answered, tagFor(slot, c.serial));
}

Poller hostLookupPoller() { return {beforeWait, afterWait}; }
