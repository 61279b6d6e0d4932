// Messages between nodes: one FORWARD line per short-lived connection to a next hop.
#pragma once

#include <cstdint>

#include "pending_queue.h"

struct LineCursor;

// The daemon's "OK" for the front message: the words after it name the next hops.
void forwardAnswer(const PendingMessage &m, LineCursor &hops);
// One FORWARD line to the node `hop`; 1 when the whole line was sent.
int forwardMessage(uint32_t hop, uint32_t srcNode, const char *sender, const char *target, const char *text);
// Reads a node ID as the decimal number it must be; anything else is 0, which no hop may be.
uint32_t readNodeId(const char *word);

void handleForward(int slot, LineCursor &cur);
