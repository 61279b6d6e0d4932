// The connection table: who holds each slot, its peer's arrival and departure, and whether the loop
// reads it.
#include "connections.h"

#include <sodium.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "framing.h"
#include "hooks.h"
#include "log.h"
#include "names.h"
#include "readiness.h"
#include "sizes.h"
#include "slot_list.h"
#include "socket_address.h"
#include "text.h"

namespace {

Connection exactConnections[MAX_CONNECTIONS];

// The slots by nick, so that finding a nick costs what one nick does whatever the table holds:
// open addressing with linear probing in twice as many cells as slots, each cell 1 + a slot, or 0
// for none. Only setNick changes a nick, so the cells always agree with the table.
constexpr int EXACT_NICK_CELLS = 16;
static_assert(EXACT_NICK_CELLS >= 2 * MAX_CONNECTIONS && (EXACT_NICK_CELLS & (EXACT_NICK_CELLS - 1)) == 0);
int exactNickCells[EXACT_NICK_CELLS];
int *nickCells = exactNickCells;
unsigned nickMask = EXACT_NICK_CELLS - 1;

// Keyed with a secret drawn at start (SipHash, libsodium's shorthash): users choose their nicks,
// and with a known hash they could pile thousands into one probe chain, which every message to any
// of them, and every nick taken, would then walk. The exact node's cells hold at most its four
// clients and the daemon link, so no choice of nicks makes a chain longer than that: FNV-1a serves
// them at a tenth of SipHash's cost on every message to a nick.
unsigned nickHome(const char *nick)
{
    if (nickCells == exactNickCells) return hashName(nick) & nickMask;
    // Drawn on first use, without a guarded static: the node carries no C++ runtime.
    static unsigned char key[crypto_shorthash_KEYBYTES];
    static bool keyed = false;
    if (!keyed) {
        randombytes_buf(key, sizeof key);
        keyed = true;
    }
    // Names that compare the same must share a home: the hash is taken over the folded name.
    char folded[NICK_MAX + 1];
    const char *name = nick;
    if (casemapping() != Casemapping::Exact) {
        foldNameInto(folded, sizeof folded, nick);
        name = folded;
    }
    unsigned char out[crypto_shorthash_BYTES];
    crypto_shorthash(out, reinterpret_cast<const unsigned char *>(name), strnlen(name, NICK_MAX), key);
    unsigned hash;
    std::memcpy(&hash, out, sizeof hash);
    return hash & nickMask;
}

void indexNick(int slot)
{
    unsigned cell = nickHome(connections[slot].nick);
    while (nickCells[cell] != 0) cell = (cell + 1) & nickMask;
    nickCells[cell] = slot + 1;
}

// Takes the slot's cell out and moves up the cells after it that probing would no longer reach.
void unindexNick(int slot)
{
    unsigned hole = nickHome(connections[slot].nick);
    while (nickCells[hole] != 0 && nickCells[hole] != slot + 1) hole = (hole + 1) & nickMask;
    if (nickCells[hole] == 0) return;
    nickCells[hole] = 0;
    for (unsigned cell = (hole + 1) & nickMask; nickCells[cell] != 0; cell = (cell + 1) & nickMask) {
        const unsigned home = nickHome(connections[nickCells[cell] - 1].nick);
        // Stays unless its home lies cyclically in (hole, cell].
        const bool reachable = hole < cell ? (home > hole && home <= cell) : (home > hole || home <= cell);
        if (reachable) continue;
        nickCells[hole] = nickCells[cell];
        nickCells[cell] = 0;
        hole = cell;
    }
}

unsigned nickCellsFor(int slots)
{
    unsigned cells = EXACT_NICK_CELLS;
    while (cells < 2u * static_cast<unsigned>(slots)) cells *= 2;
    return cells;
}

}  // namespace

Connection *connections = exactConnections;
CoreHooks coreHooks;

namespace {

unsigned lastSerial;
// No client slot below it is free, so the search for one starts there: with thousands of slots
// taken, the accept of a connection the node must turn away looks at none of them.
int freeFrom = FIRST_CLIENT_SLOT;
// Slots from here on have never been taken, so every scan of the table stops here: a node sized for
// thousands of clients touches, and keeps resident, only as much of its table as it has used. The
// exact node's slots are always scanned, as a test may fill them by hand.
int reach = MAX_CONNECTIONS;
// Client slots that have not registered yet, for the idle sweep; and slots whose input the loop
// stopped watching until they want it again.
SlotList unregistered;
SlotList paused;

void clearSlot(int slot)
{
    Connection &c = connections[slot];
    if (slot >= FIRST_CLIENT_SLOT && slot < freeFrom) freeFrom = slot;
    c.sock = 0;
    releaseInput(c);
    if (c.nick[0] != '\0') unindexNick(slot);
    std::memset(c.nick, 0, sizeof c.nick);
    std::memset(c.userName, 0, sizeof c.userName);
    std::memset(c.realName, 0, sizeof c.realName);
    std::memset(c.hostName, 0, sizeof c.hostName);
    std::memset(c.serverName, 0, sizeof c.serverName);
    c.registered = 0;
    c.skippingLine = 0;
    c.holdInput = 0;
    c.lookupPending = 0;
    c.reportWhenNamed = 0;
    c.broken = 0;
    outClear(c.out);
}

}  // namespace

bool sizeConnectionTable(const TableSizes &sizes)
{
    if (!resizeTable(connections, exactConnections, static_cast<size_t>(slotCount()), static_cast<size_t>(sizes.slots)))
        return false;
    const unsigned cells = nickCellsFor(sizes.slots);
    if (!resizeTable(nickCells, exactNickCells, nickMask + 1, cells)) return false;
    nickMask = cells - 1;
    freeFrom = FIRST_CLIENT_SLOT;
    reach = std::min(MAX_CONNECTIONS, sizes.slots);
    return unregistered.size(sizes.slots) && paused.size(sizes.slots);
}

void clearConnectionTable()
{
    std::memset(nickCells, 0, (nickMask + 1) * sizeof *nickCells);
    for (int slot = 0; slot < slotCount(); ++slot) {
        outClear(connections[slot].out);
        releaseInput(connections[slot]);
        std::memset(&connections[slot], 0, sizeof connections[slot]);
    }
    freeFrom = FIRST_CLIENT_SLOT;
    reach = std::min(MAX_CONNECTIONS, slotCount());
    unregistered.clear();
    paused.clear();
    clearOutputLists();
}

SlotList &unregisteredSlots() { return unregistered; }

int slotReach() { return reach; }

void occupySlot(int slot, int fd)
{
    Connection &c = connections[slot];
    if (slot >= reach) reach = slot + 1;
    clearSlot(slot);
    c.sock = fd;
    c.serial = ++lastSerial;
    c.admittedAt = nowMillis();
    tagDescriptor(fd, slotTag(slot));
    watchOwn(fd, true, false);
    if (slot >= FIRST_CLIENT_SLOT) unregistered.add(slot);
}

// The table is as its sizing left it, zeroed: clearing it again would make every page resident.
void prepareConnectionTable(int daemonSock)
{
    if (daemonSock != 0) takeDaemonLink(daemonSock);
}

void takeDaemonLink(int daemonSock)
{
    occupySlot(DAEMON_SLOT, daemonSock);
    setNick(DAEMON_SLOT, DAEMON_NICK);
    tuneSocket(daemonSock);
}

void resetConnection(int slot)
{
    assert(slot >= 0 && slot < slotCount());
    Connection &c = connections[slot];
    if (slot != DAEMON_SLOT && c.sock > 0) logInfo("slot %d closed (%s)", slot, c.ip);
    if (coreHooks.departs) coreHooks.departs(slot);
    // What the peer was still owed (a quitter's own departure notice) goes if its socket takes it.
    if (c.sock > 0 && !c.broken) (void)outFlush(c.out, c.sock);
    closeDescriptor(c.sock);
    clearSlot(slot);
    if (slot == DAEMON_SLOT && coreHooks.daemonLinkLost) coreHooks.daemonLinkLost();
}

int freeClientSlot()
{
    while (freeFrom < slotCount() && connections[freeFrom].sock != 0) ++freeFrom;
    return freeFrom < slotCount() ? freeFrom : -1;
}

int clientSlotOf(int owner, unsigned serial)
{
    if (owner < FIRST_CLIENT_SLOT || owner >= slotCount()) return -1;
    const Connection &c = connections[owner];
    return c.sock != 0 && c.serial == serial ? owner : -1;
}

void setNick(int slot, const char *nick)
{
    Connection &c = connections[slot];
    if (c.nick[0] != '\0') unindexNick(slot);
    copyCut(c.nick, nick);
    if (c.nick[0] != '\0') indexNick(slot);
}

int nickProbeLength(const char *nick)
{
    int cells = 0;
    for (unsigned cell = nickHome(nick); nickCells[cell] != 0; cell = (cell + 1) & nickMask) ++cells;
    return cells;
}

int findUser(const char *nick)
{
    // No slot is indexed without a nick: the first without one is looked for in the table.
    if (nick[0] == '\0') {
        for (int slot = 0; slot < slotReach(); ++slot)
            if (connections[slot].nick[0] == '\0') return slot;
        return -1;
    }
    int first = -1;
    for (unsigned cell = nickHome(nick); nickCells[cell] != 0; cell = (cell + 1) & nickMask) {
        const int slot = nickCells[cell] - 1;
        if (sameName(connections[slot].nick, nick) && (first < 0 || slot < first)) first = slot;
    }
    return first;
}

void dropConnection(int slot)
{
    Connection &c = connections[slot];
    closeDescriptor(c.sock);
    c.sock = 0;
    resetConnection(slot);
}

void pauseInput(int slot)
{
    watchOwnReading(connections[slot].sock, false);
    paused.add(slot);
}

void resumeWantedInput()
{
    paused.walk([](int slot) {
        const Connection &c = connections[slot];
        if (c.sock == 0) return false;
        if (!wantsInput(slot)) return true;
        watchOwnReading(c.sock, true);
        return false;
    });
}

int wantsInput(int slot)
{
    const Connection &c = connections[slot];
    if (c.sock == 0 || c.broken || c.holdInput) return 0;
    if (slot == DAEMON_SLOT) return 1;
    // A client that does not read its replies is not read either: it only stalls itself.
    if (outQueued(c.out) > OUT_QUEUE_SIZE / 2) return 0;
    // Nor is one that holds its share of the routing queue: the others go on.
    return !coreHooks.roomForLines || coreHooks.roomForLines(slot) > 0 ? 1 : 0;
}
