// Registration of a client as a user (NICK, USER, QUIT), the nickname lookups and the MOTD.
#pragma once

#include <cstdint>

#include "../core/connections.h"
#include "../core/names.h"
#include "dispatch.h"

struct TableSizes;

bool sizeNickHolders(const TableSizes &sizes);  // the per-slot record of the nick rule below
int checkNick(const char *nick);       // 1 when no slot holds the nick, the asker's own included
void sendMotd(int slot);

void handleNick(int slot, LineCursor &cur);
void handleUser(int slot, LineCursor &cur);
void handleQuit(int slot, LineCursor &cur);  // resets the slot
// The answer of the lookup that USER started for the connection `serial` in the slot; null when
// the address has no name.
void hostNameFound(int slot, unsigned serial, const char *name);
// The daemon's answer whether another node hosts the nick that the connection `serial` in the
// slot asked for: 433 when one does, else the nick is taken; the client's input then goes on.
void nickCheckAnswered(int slot, unsigned serial, const char *nick, bool elsewhere);
// Asks the daemon again for the nick of every user here (client profile, once a period).
void recheckNicks();
// The daemon's answer to that question for the connection `serial` in the slot: the user yields
// its nick for a guest nick when another node hosts it too, by the rule in registration.cpp.
void heldNickAnswered(int slot, unsigned serial, const char *nick, bool elsewhere);
// A member notice showed `nick` on that node: remembered when a user here holds it too.
void nickSeenOnNode(const char *nick, uint32_t node);
// What a departing peer's leaving means to the daemon and to the channel's members.
void userDeparts(int slot);
// The ERROR line a client is sent before the server closes it for `reason` (LINE_SIZE bytes):
// only in the client profile, 0 otherwise.
int closingLinkLine(char *line, const char *reason);
