// The daemons' side of the network: hellos to find which links are up, and the reliable flooding
// of advertisements over them. Everything runs on the daemon's one thread, driven by its loop.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "lsdb.h"
#include "topology.h"

// Each cycle refreshes fragment 0 of this node's advertisement, which keeps all its fragments
// alive elsewhere, and one in this many of the others: they change only with the names they
// carry, and the refresh only mends a copy that went astray.
inline constexpr int REFRESH_CYCLES = 10;
// Fragments sent to a neighbour and not yet acknowledged; more wait their turn. A link that comes
// up is sent the whole database, thousands of datagrams with many names: at the pace of its
// acknowledgements rather than in a burst its socket buffer would drop.
inline constexpr int SEND_WINDOW = 32;

struct RouterTiming {
    int64_t cycleMs;            // hellos and a fresh fragment 0 of this node, each cycle
    int64_t neighbourTimeoutMs; // a neighbour not heard from for this long is down
    int64_t resendMs;           // a fragment not acknowledged in this time is sent again
    int64_t lifetimeMs;         // a node whose fragment 0 was not refreshed in this time is forgotten
};

struct InFlight {
    bool used;
    uint8_t origin;    // database index
    uint8_t fragment;
    uint32_t seq;      // of the copy last sent
    int64_t resendAt;
};

struct Neighbour {
    int node;                       // index into the configuration and the database
    sockaddr_in addr;               // its routing port: datagrams from anywhere else are not its
    int64_t lastHeard;              // -1 until its first datagram
    bool namesUs;                   // its last hello listed this node
    bool up;
    bool configDiffers;             // its hellos carry another digest of the configuration file
    bool owedDatabase;              // its link just came up: it is sent every fragment held
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
    InFlight inFlight[SEND_WINDOW]; // fragments sent it and not yet acknowledged
    int inFlightCount;
    int64_t nextResendAt;           // of the earliest in flight (any time when none is)
    bool queued[MAX_NODES][MAX_FRAGMENTS];         // by origin and fragment: waits for room in the window
    uint16_t queue[MAX_NODES * MAX_FRAGMENTS];     // origin * MAX_FRAGMENTS + fragment, oldest first
    int queueHead, queueLength;
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
// Timers: hellos, neighbour time-outs, resends, expiry, and the fragments of this node's own
// advertisement that changed (own_advert.h), which go out here.
void floodingTick(int64_t now);
int64_t nextFloodingDeadline(int64_t now);
