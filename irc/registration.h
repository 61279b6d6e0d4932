// Registration of a client as a user (NICK, USER, QUIT), the nickname lookups and the MOTD.
#pragma once

#include "dispatch.h"

int findUser(const char *nick);        // first slot 0 to 4 holding that nick, or -1
int checkNick(const char *nick);       // 1 when no slot holds the nick, the asker's own included
int checkNickFormat(const char *nick); // 1 for a letter followed by letters, digits and - [ ] \ ` ^ { | }
void sendMotd(int slot);

void handleNick(int slot, LineCursor &cur);
void handleUser(int slot, LineCursor &cur);
void handleQuit(int slot, LineCursor &cur);  // resets the slot
