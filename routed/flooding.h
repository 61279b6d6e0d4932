// The daemons' side of the network: hellos to find which links are up, and the reliable flooding
// of advertisements over them. Everything runs on the daemon's one thread, driven by its loop.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "lsdb.h"
#include "topology.h"

struct RouterTiming {
    int64_t cycleMs;            // hellos and a fresh advertisement of this node, each cycle
    int64_t neighbourTimeoutMs; // a neighbour not heard from for this long is down
    int64_t resendMs;           // an advertisement not acknowledged in this time is sent again
    int64_t lifetimeMs;         // an advertisement not refreshed in this time is forgotten
};

struct Neighbour {
    int node;                       // index into the configuration and the database
    sockaddr_in addr;               // its routing port: datagrams from anywhere else are not its
    int64_t lastHeard;              // -1 until its first datagram
    bool namesUs;                   // its last hello listed this node
    bool up;
    bool configDiffers;             // its hellos carry another digest of the configuration file
    // With a key, each side draws a nonce per neighbour; a pair of them is one session, and a
    // datagram counts only under the current session with a counter above the last one taken.
    uint64_t ownNonce;              // ours for this neighbour in the current session
    uint64_t peerNonce;             // its nonce, once a hello bound it to ownNonce; 0 until then
    uint64_t offeredNonce;          // the last unproven nonce its hellos named, which our answers name
    uint64_t candidateNonce;        // ours offered for a new session while one is bound; 0 for none
    int64_t nextSessionAnswer;      // answers to unproven hellos wait until then
    uint64_t lastCounter;           // of its last keyed datagram in this session: not above it is a replay
    uint64_t refused;               // its datagrams refused, for the status view
    int64_t nextRefusalNote;
    bool awaitingAck[MAX_NODES];    // by origin: the advertisement last sent it is unacknowledged
    uint32_t awaitedSeq[MAX_NODES];
    int64_t resendAt[MAX_NODES];
};

struct NeighbourTable {
    int count;
    Neighbour entries[MAX_NODES];
};

extern NeighbourTable neighbours;

struct FloodStats {
    uint64_t sent;
    uint64_t received;
    uint64_t refused;    // malformed, from no neighbour, failing authentication, or replayed
};

const FloodStats &floodStats();

// Whether node (a database index) is no neighbour here, or not at the address its hellos came
// from, and those hellos carried another digest of the configuration file.
bool strangerConfigDiffers(int node);

// udpSock is bound to this node's routing port; the database holds every node of the file.
void startFlooding(int udpSock, const rt_config_file_t &config, const Topology &topology,
                   RouterTiming timing, int64_t now);
// Reads every datagram waiting on the socket (a bounded number per call).
void receiveDatagrams(int64_t now);
// Timers: hellos, neighbour time-outs, resends, expiry, and this node's own advertisement.
void floodingTick(int64_t now);
int64_t nextFloodingDeadline(int64_t now);
// This node's users or channels changed: its advertisement goes out on the next tick.
void ownAdvertChanged();
