// JOIN, PART, LIST and WHO over the channel table.
#pragma once

#include "dispatch.h"

void handleJoin(int slot, LineCursor &cur);
void handlePart(int slot, LineCursor &cur);
void handleList(int slot, LineCursor &cur);
void handleWho(int slot, LineCursor &cur);
