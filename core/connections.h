// The table of every peer that stays connected: slot 0 is the routing daemon, the others clients.
#pragma once

#include <cstddef>

#include "limits.h"
#include "out_queue.h"
#include "output.h"  // every user of the table sends on it

struct Connection {
    int sock;                    // 0 marks a free slot
    int input;                   // the buffer of the line in progress (framing.h), 1 + its index; 0 for none
    char nick[NICK_MAX + 1];
    char userName[LINE_SIZE];
    char hostName[LINE_SIZE];
    char realName[LINE_SIZE];
    char serverName[HOST_NAME_SIZE];  // this node's name, as the client's USER made it known
    char ip[IP_TEXT_SIZE];       // kept after a reset until the next accept overwrites it
    int registered;
    int skippingLine;            // the line in progress outgrew the buffer or held a zero byte: dropped up to its LF
    unsigned serial;             // tells the successive peers of one slot apart
    int holdInput;               // lines wait unhandled until what the last one started is done
    int lookupPending;           // the client's host name is being looked up
    int reportWhenNamed;         // a USER waits for the host name to be reported and completed
    int broken;                  // stopped reading or failed: to be dropped like a closed peer
    long long admittedAt;        // monotonic milliseconds
    OutQueue out;
};

struct TableSizes;

extern Connection *connections;  // slotCount() entries

// Start-up: the table for that many slots, zeroed; false when the memory is refused.
bool sizeConnectionTable(const TableSizes &sizes);
// Tests: every slot free and zeroed, its queued output given back.
void clearConnectionTable();
// Slots from here on have never been taken: the scans of the table stop here.
int slotReach();
// What a slot's socket is to the wait (readiness.h).
inline int slotTag(int slot) { return slot + 1; }
// The client slots that may not have registered yet, for the idle sweep.
class SlotList;
SlotList &unregisteredSlots();

inline constexpr char DAEMON_NICK[] = "!@$";  // no nickname can start with '!', so no client takes it

void prepareConnectionTable(int daemonSock);  // 0: slot 0 stays free until the link is taken
// Slot 0 becomes the daemon link on daemonSock, at start-up and whenever the link is re-established.
void takeDaemonLink(int daemonSock);
// A new peer in the slot, with a serial of its own; its time to register runs from here.
void occupySlot(int slot, int fd);
void resetConnection(int slot);
int freeClientSlot();  // the lowest free client slot, or -1
// `owner` while it is a client slot whose present peer has that serial, else -1 (it left).
int clientSlotOf(int owner, unsigned serial);
int findUser(const char *nick);  // the first slot holding that nick, or -1
int nickProbeLength(const char *nick);  // tests: the index's cells a lookup of that nick passes
// The only way a slot's nick changes, so that findUser knows it; the nick is cut as copyCut cuts.
void setNick(int slot, const char *nick);
// Closes the socket first, so that nothing of the departure is written to the peer that left.
void dropConnection(int slot);
// 1 when the loop should read the slot now.
int wantsInput(int slot);
// The slot was found readable while it wants no input: its socket is not watched for reading until
// it wants input again, which resumeWantedInput, before each wait, looks for.
void pauseInput(int slot);
void resumeWantedInput();
