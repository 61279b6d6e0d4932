// What the node sends: lines framed and queued per slot, written by the loop, and the peers that
// stopped reading or failed dropped.
#pragma once

#include <cstddef>

#include "limits.h"

struct TableSizes;

// Start-up: the lists of slots with output and of slots to drop; false when the memory is refused.
bool sizeOutputLists(const TableSizes &sizes);
void clearOutputLists();  // tests: every queue empty already

// The wire form of one line: text cut at SEND_TEXT_MAX characters or before its first CR or LF,
// then CR LF; returns its length.
size_t frameLine(char (&line)[LINE_SIZE], const char *text);
// Queues text plus CR LF for the slot; a text past SEND_TEXT_MAX characters is cut there.
// Returns 1 when the line was queued whole, 0 otherwise: a free slot gets nothing, and a peer
// whose queue is full has stopped reading and is marked to be dropped.
int sendData(int slot, const char *text);
// Writes every queue as far as its socket takes it now; a failed peer is marked to be dropped.
void flushOutput();
// Before the wait: every slot with output queued is watched for writing, so that the wait ends as
// soon as its socket takes more.
void watchPendingOutput();
// The slot has stopped reading or failed: it is dropped at the next dropBrokenPeers.
void markBroken(int slot);
// Drops every peer marked as stopped or failed; the daemon link among them counts as lost.
void dropBrokenPeers();
__attribute__((format(printf, 2, 3))) void replyf(int slot, const char *fmt, ...);
// Formats into a zeroed line buffer; a text past LINE_MAX_CHARS characters is cut there.
__attribute__((format(printf, 2, 3))) void formatLine(char (&line)[LINE_SIZE], const char *fmt, ...);
