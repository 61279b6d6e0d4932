// The commands only the client profile answers: what real clients send besides the core
// subset (PING, CAP, MODE, USERHOST, ISON, WHOIS), and the welcome that opens a registration.
#pragma once

#include "dispatch.h"

// A user of this node (never the daemon link) that has registered, or -1.
int findRegistered(const char *nick);
// 001 to 005, which the profile sends before the MOTD.
void sendWelcome(int slot);

void handlePing(int slot, LineCursor &cur);
void handlePong(int slot, LineCursor &cur);
void handleCap(int slot, LineCursor &cur);
void handleMode(int slot, LineCursor &cur);
void handleUserhost(int slot, LineCursor &cur);
void handleIson(int slot, LineCursor &cur);
void handleWhois(int slot, LineCursor &cur);
// One 319 line of the WHOIS of `nick` for the user in `slot` (a WordLines emitter).
void emitWhoisChannels(int slot, const char *nick, const char *channels);
