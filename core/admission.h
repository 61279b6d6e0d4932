// Admission: connections taken off the listening socket, held in the fresh table until their first
// line says what they are, and closed when they stay silent too long.
#pragma once

#include <cstddef>

#include "limits.h"

// A connection that has not yet said what it is: its first line decides. Another node's FORWARD
// is taken and the connection closed, so it never needs a client slot; anything else makes it a
// client, which takes a slot with the bytes read so far, or is closed when none is free.
struct FreshConnection {
    int sock;                    // 0 marks a free entry
    unsigned peerAddr;           // IPv4, host order; 0 for an IPv6 peer, which is never another node
    char ip[IP_TEXT_SIZE];
    char bytes[LINE_SIZE];       // what has been read so far; it holds no complete line yet
    size_t length;
    long long admittedAt;
};

struct TableSizes;

extern FreshConnection *freshConnections;  // tableSizes.fresh entries

// Start-up: the fresh table for those sizes, zeroed; false when the memory is refused.
bool sizeFreshTable(const TableSizes &sizes);
// Tests: every entry free. An entry a test fills by hand is read by readFresh, not by the loop.
void clearFreshTable();
// The entries below this may be in use; the ones from here on never were.
int freshReach();
// What a fresh entry's socket is to the wait (readiness.h): below every slot's tag.
inline int freshTag(int entry) { return -(entry + 1); }

void reserveSpareDescriptor();
// Takes every connection waiting on the listening socket into the fresh table and reads what it
// has already sent.
void addConnection();
// The same for another listening socket: the TLS port's, or an IPv6 one.
void addConnectionFrom(int listener, bool tls);
// Reads a fresh connection, and classifies it once its first line is complete.
void readFresh(int entry);
// Closes the slot's connection, which is sent the ERROR line of coreHooks.closingLine first.
void closeSlotWithReason(int slot, const char *reason);
// Closes connections that have neither registered nor been used by another node in time.
void closeSilentConnections(long long now);
// 1 when the loop should read the fresh entry now.
int freshWantsInput(int entry);
