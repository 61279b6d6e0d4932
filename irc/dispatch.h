// The entry point of every received line and the table of commands; its handlers read
// parameters with the word cursor of core/text.h.
#pragma once

#include "../core/text.h"

// May reset the slot (QUIT): callers do not touch the slot's line buffer afterwards.
void parseCmd(char *line, int slot);
// Start-up: command handling's part in the loop and in a peer's departure, and what routing asks
// of it (routingHooks).
void wireIrc();
