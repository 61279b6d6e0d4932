// How many peers the node's tables hold, fixed once at start-up: four clients in the exact replies,
// --max-clients in the client profile, and no more than the system's descriptor limit allows.
#pragma once

#include <sys/socket.h>

#include <algorithm>
#include <cstddef>

#include "limits.h"
#include "table_memory.h"

inline constexpr int EXACT_CLIENT_SLOTS = MAX_CONNECTIONS - FIRST_CLIENT_SLOT;
inline constexpr int DEFAULT_MAX_CLIENTS = 4096;
inline constexpr int MAX_CLIENTS_LIMIT = 100000;  // the most --max-clients takes
// Descriptors beside the clients' and the fresh table's: standard streams, the listening socket,
// the spare, the wait, the daemon link's reconnection, node links (one out and two in per
// neighbour) and one-shot hops, c-ares, the MOTD file.
inline constexpr int DESCRIPTOR_MARGIN = 4 * MAX_NEIGHBORS;

struct TableSizes {
    int clients;           // client slots, 1 and up
    int slots;             // clients + 1: slot 0 is the daemon link
    int fresh;             // entries of the fresh table
    int freshPerStranger;  // fresh entries one address that is no node's may hold
    int descriptors;       // the descriptor limit these tables need
    // The listening socket's backlog, and the most connections one pass accepts: after a restart or
    // an outage every client reconnects at once, and one the backlog has no room for waits a second
    // or more to send its SYN again. The system caps it at its somaxconn.
    int backlog;
};

// What `clients` client slots need: the fresh table grows with them, for the bursts of connections
// a busy node takes (at least one entry for every other node of a full configuration), and one
// stranger holds no more fresh entries than it could make clients, nor half of the table.
constexpr TableSizes sizesFor(int clients)
{
    TableSizes s{};
    s.clients = clients;
    s.slots = clients + FIRST_CLIENT_SLOT;
    s.fresh = std::max(FRESH_SLOTS, clients / 4);
    s.freshPerStranger = std::min(clients, s.fresh / 2);
    s.descriptors = s.slots + s.fresh + DESCRIPTOR_MARGIN;
    s.backlog = std::clamp(clients, LISTEN_BACKLOG, SOMAXCONN);
    return s;
}
static_assert(sizesFor(EXACT_CLIENT_SLOTS).slots == MAX_CONNECTIONS && sizesFor(EXACT_CLIENT_SLOTS).fresh == FRESH_SLOTS &&
                  sizesFor(EXACT_CLIENT_SLOTS).freshPerStranger == FRESH_PER_STRANGER &&
                  sizesFor(EXACT_CLIENT_SLOTS).backlog == LISTEN_BACKLOG,
              "the exact node's tables are as they always were");
// The most clients, up to `wanted`, whose tables fit `limit` descriptors (1 at the least).
int clientsWithin(int wanted, long long limit);

extern TableSizes tableSizes;  // the exact node's until start-up sizes the tables
inline int slotCount() { return tableSizes.slots; }
inline int clientSlotCount() { return tableSizes.clients; }

// Takes "--max-clients N" out of argv; a value that is no number from 1 to MAX_CLIENTS_LIMIT ends the
// process with rt_error_status. Only the client profile takes it (warnMaxClientsUnused).
void takeMaxClientsOption(int &argc, char **argv);
bool maxClientsGiven();
// The client slots asked for: EXACT_CLIENT_SLOTS in the exact replies, else --max-clients or its default.
int clientsAsked();

// A table indexed by slot (or sized by the client count) that follows the sizes.
using TableSizer = bool (*)(const TableSizes &sizes);
inline constexpr int MAX_TABLE_SIZERS = 8;
void addTableSizer(TableSizer sizer);  // wired at start-up, before the tables are sized
// Start-up: raises RLIMIT_NOFILE to what the asked tables need; where the system refuses, says so on
// standard error and, in the profile, serves as many clients as the descriptors it gives allow.
// Then sizes every table. Ends the process when the memory for them is refused.
void sizeTables(const char *prog);
// Sizes every table for `sizes`; false when the memory for one is refused. Tests size them again.
bool applyTableSizes(const TableSizes &sizes);

// Points `table` at the static `exact` array when `count` entries fit it, or else at a zeroed
// mapping of `count` entries, and gives back the mapping of `oldCount` it pointed at before; false,
// with the table unchanged, when the system refuses the memory.
template <typename T, size_t N>
bool resizeTable(T *&table, T (&exact)[N], size_t oldCount, size_t count)
{
    T *fresh = count <= N ? exact : static_cast<T *>(mapZeroed(count * sizeof(T)));
    if (!fresh) return false;
    if (table != exact && table != fresh) unmapZeroed(table, oldCount * sizeof(T));
    table = fresh;
    return true;
}
