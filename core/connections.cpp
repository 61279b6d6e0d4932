// The connection table: who holds each slot, its peer's arrival and departure, and whether the loop
// reads it.
#include "connections.h"

#include <cassert>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "hooks.h"
#include "log.h"
#include "readiness.h"
#include "socket_address.h"

Connection connections[MAX_CONNECTIONS];
CoreHooks coreHooks;

namespace {

unsigned lastSerial;

void clearSlot(Connection &c)
{
    c.sock = 0;
    std::memset(c.buffer, 0, sizeof c.buffer);
    std::memset(c.nick, 0, sizeof c.nick);
    std::memset(c.userName, 0, sizeof c.userName);
    std::memset(c.realName, 0, sizeof c.realName);
    std::memset(c.hostName, 0, sizeof c.hostName);
    std::memset(c.serverName, 0, sizeof c.serverName);
    std::memset(c.channel, 0, sizeof c.channel);
    c.registered = 0;
    c.skippingLine = 0;
    c.holdInput = 0;
    c.lookupPending = 0;
    c.reportWhenNamed = 0;
    c.broken = 0;
    outClear(c.out);
}

}  // namespace

void occupySlot(int slot, int fd)
{
    Connection &c = connections[slot];
    clearSlot(c);
    c.sock = fd;
    c.serial = ++lastSerial;
    c.admittedAt = nowMillis();
}

void prepareConnectionTable(int daemonSock)
{
    // Field by field: zeroing the output queues' bytes too would make all of them resident.
    for (Connection &c : connections) {
        clearSlot(c);
        std::memset(c.ip, 0, sizeof c.ip);
        c.serial = 0;
        c.admittedAt = 0;
    }
    if (daemonSock != 0) takeDaemonLink(daemonSock);
}

void takeDaemonLink(int daemonSock)
{
    occupySlot(DAEMON_SLOT, daemonSock);
    Connection &c = connections[DAEMON_SLOT];
    std::snprintf(c.nick, sizeof c.nick, "%s", DAEMON_NICK);
    tuneSocket(daemonSock);
}

void resetConnection(int slot)
{
    assert(slot >= 0 && slot < MAX_CONNECTIONS);
    Connection &c = connections[slot];
    if (slot != DAEMON_SLOT && c.sock > 0) logInfo("slot %d closed (%s)", slot, c.ip);
    if (coreHooks.departs) coreHooks.departs(slot);
    // What the peer was still owed (a quitter's own departure notice) goes if its socket takes it.
    if (c.sock > 0 && !c.broken) (void)outFlush(c.out, c.sock);
    closeDescriptor(c.sock);
    clearSlot(c);
    if (slot == DAEMON_SLOT && coreHooks.daemonLinkLost) coreHooks.daemonLinkLost();
}

int clientSlotOf(unsigned serial)
{
    for (int slot = FIRST_CLIENT_SLOT; slot < MAX_CONNECTIONS; ++slot)
        if (connections[slot].sock != 0 && connections[slot].serial == serial) return slot;
    return -1;
}

int findUser(const char *nick)
{
    for (int slot = 0; slot < MAX_CONNECTIONS; ++slot)
        if (std::strcmp(connections[slot].nick, nick) == 0) return slot;
    return -1;
}

void dropConnection(int slot)
{
    Connection &c = connections[slot];
    closeDescriptor(c.sock);
    c.sock = 0;
    resetConnection(slot);
}

int wantsInput(int slot)
{
    const Connection &c = connections[slot];
    if (c.sock == 0 || c.broken || c.holdInput) return 0;
    if (slot == DAEMON_SLOT) return 1;
    // A client that does not read its replies is not read either: it only stalls itself.
    if (c.out.tail - c.out.head > sizeof c.out.bytes / 2) return 0;
    // Nor is one that holds its share of the routing queue: the others go on.
    return !coreHooks.roomForLines || coreHooks.roomForLines(slot) > 0 ? 1 : 0;
}
