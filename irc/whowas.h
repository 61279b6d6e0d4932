// WHOWAS in the client profile. No nick history is kept, so every nick asked of is answered 406:
// irssi sends WHOWAS after a WHOIS draws 401, and a 421 there reads as a broken server.
#pragma once

#include "dispatch.h"

void handleWhowas(int slot, LineCursor &cur);
