// Puts the server's global tables in the state a fresh node has before its first peer.
#pragma once

#include <cstdio>
#include <cstring>

#include "core/admission.h"
#include "core/connections.h"
#include "core/server.h"
#include "irc/away.h"
#include "irc/channels.h"
#include "irc/dispatch.h"
#include "irc/member_notices.h"
#include "irc/node_queries.h"
#include "irc/profile.h"
#include "routing/daemon_link.h"
#include "routing/pending_queue.h"
#include "rtlib/rt_args.h"

// The neighbour table points into storage that a test owns, so no entry may outlive the test.
inline void clearNeighbours()
{
    std::memset(neighborNodes, 0, sizeof neighborNodes);
    neighbors = 0;
}

// Descriptors left in the table are not closed: every one a test installs is owned by its ClientEnd.
inline void resetTables(const char *hostName)
{
    // The hooks are wired as start-up wires them, once, as the pollers they add are not undone.
    static const bool wired = (wireIrc(), wireRouting(), true);
    (void)wired;
    clearConnectionTable();
    clearFreshTable();
    // The exact replies' sizes, with room for the members of every other node a file may list.
    sizeChannelTables(EXACT_LIMITS, MAX_NEIGHBORS);
    std::memset(&msgQueue, 0, sizeof msgQueue);
    resetReadiness();
    std::snprintf(host.name, sizeof host.name, "%s", hostName);
    host.roomCount = 0;
    argList.verbose = 0;
    resetMemberNotices();
    clearAwayTable();
    clearNodeQueries();
    replyMode = Replies::Exact;  // the exact replies unless a test takes the profile
    // No patience: a hop that fails ends its line at once, unless a test asks for more.
    argList.neighbor_timeout = 0;
    argList.advertisement_cycle_time = 0;
    curr_nodeID = 0;
    clearNeighbours();
}

// As a fixture's first member it resets the tables before the members after it attach their slots.
struct FreshTables {
    explicit FreshTables(const char *hostName) { resetTables(hostName); }
    ~FreshTables() { clearNeighbours(); }
    FreshTables(const FreshTables &) = delete;
    FreshTables &operator=(const FreshTables &) = delete;
};
