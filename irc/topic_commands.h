// TOPIC: a channel's topic asked for, or set by a member, the same on every node.
#pragma once

#include "dispatch.h"

void handleTopic(int slot, LineCursor &cur);
