// The reverse lookup of a client's address, which USER records as its host name. It never waits:
// the answer comes through hostNameFound, from inside the loop, or at once when it is known.
#pragma once

#include "../core/hooks.h"

struct TableSizes;

bool sizeHostLookups(const TableSizes &sizes);  // the lookups waiting, one per slot
void initHostLookup();
// Asks for the name of the slot's address; hostNameFound gets it, or null for no name when the
// lookup fails or runs past HOST_LOOKUP_LIMIT_MS. May answer before it returns.
void startHostLookup(int slot);
Poller hostLookupPoller();
