// The status of this node's links, one line per neighbour, for the operator's tools: asked for by
// a connection from this machine whose first line is LINK_STATUS_REQUEST, in the client profile.
//   link <neighbour ID> <down|opening|up|one-shot> <clear|sealed> up <seconds, or -> sent <n>
//        acked <n> waiting <n> resent <n> rtt_us <n>
// then "end". waiting counts the lines queued for that hop or in flight to it; rtt_us is the last
// acknowledgement's round trip, 0 before the first.
#pragma once

#include <cstdint>

#include "../core/limits.h"
#include "node_link.h"

inline constexpr char LINK_STATUS_REQUEST[] = "LINKSTATUS";

// 1 when a fresh connection's first line from peerAddr asks for the link status.
int isLinkStatusRequest(const char *line, unsigned peerAddr);
// 1 for an address of this machine: loopback, or this node's own.
int isLocalAddress(unsigned peerAddr);
// 1 when a connection from peerAddr may ask (the client profile, from this machine).
int mayAskLinkStatus(unsigned peerAddr);
// One neighbour's line, without CR LF; keyLoaded says what a link that is not up yet will be.
void formatLinkStatus(char (&line)[LINE_SIZE], uint32_t nodeID, const LinkReport &r, int waiting, long long nowMs,
                      bool keyLoaded);
// Writes every neighbour's line and "end" on the fresh connection fd, as far as it takes them now.
void answerLinkStatus(int fd, const char *line);
