// The table of every peer that stays connected: slot 0 is the routing daemon, 1 to 4 are clients.
#pragma once

#include <cstddef>

#include "limits.h"
#include "out_queue.h"

struct Connection {
    int sock;                    // 0 marks a free slot
    char buffer[LINE_SIZE];      // incomplete line carried from one read to the next
    char nick[NICK_MAX + 1];
    char userName[LINE_SIZE];
    char hostName[LINE_SIZE];
    char realName[LINE_SIZE];
    char serverName[LINE_SIZE];
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

extern Connection connections[MAX_CONNECTIONS];

// A connection that has not yet said what it is: its first line decides. Another node's FORWARD
// is taken and the connection closed, so it never needs a client slot; anything else makes it a
// client, which takes a slot with the bytes read so far, or is closed when none is free.
struct FreshConnection {
    int sock;                    // 0 marks a free entry
    unsigned peerAddr;           // IPv4, host order
    char ip[IP_TEXT_SIZE];
    char bytes[LINE_SIZE];       // what has been read so far; it holds no complete line yet
    size_t length;
    long long admittedAt;
};

extern FreshConnection freshConnections[FRESH_SLOTS];

inline constexpr char DAEMON_NICK[] = "!@$";  // no nickname can start with '!', so no client takes it

void prepareConnectionTable(int daemonSock);  // 0: slot 0 stays free until the link is taken
// Slot 0 becomes the daemon link on daemonSock, at start-up and whenever the link is re-established.
void takeDaemonLink(int daemonSock);
void reserveSpareDescriptor();
// Takes every connection waiting on the listening socket into the fresh table and reads what it
// has already sent.
void addConnection();
// Reads a fresh connection, and classifies it once its first line is complete.
void readFresh(int entry);
void resetConnection(int slot);
// The client slot whose present peer has that serial, or -1 (it left, or it is no client's).
int clientSlotOf(unsigned serial);
int findUser(const char *nick);  // first slot 0 to 4 holding that nick, or -1
// Closes the socket first, so that nothing of the departure is written to the peer that left.
void dropConnection(int slot);
// The wire form of one line: text cut at SEND_TEXT_MAX characters or before its first CR or LF,
// then CR LF; returns its length.
size_t frameLine(char (&line)[LINE_SIZE], const char *text);
// Queues text plus CR LF for the slot; a text past SEND_TEXT_MAX characters is cut there.
// Returns 1 when the line was queued whole, 0 otherwise: a free slot gets nothing, and a peer
// whose queue is full has stopped reading and is marked to be dropped.
int sendData(int slot, const char *text);
// Writes every queue as far as its socket takes it now; a failed peer is marked to be dropped.
void flushOutput();
// Drops every peer marked as stopped or failed; the daemon link among them counts as lost.
void dropBrokenPeers();
// Closes connections that have neither registered nor been used by another node in time.
void closeSilentConnections(long long now);
// 1 when the loop should read the slot, or the fresh entry, now.
int wantsInput(int slot);
int freshWantsInput(int entry);
__attribute__((format(printf, 2, 3))) void replyf(int slot, const char *fmt, ...);
// Formats into a zeroed line buffer; a text past LINE_MAX_CHARS characters is cut there.
__attribute__((format(printf, 2, 3))) void formatLine(char (&line)[LINE_SIZE], const char *fmt, ...);
