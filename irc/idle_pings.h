// Idle clients in the client profile: a registered client silent for a period is sent a PING, and
// one that is still silent a period later is closed for a ping time-out.
#pragma once

#include "../core/hooks.h"

struct TableSizes;

inline constexpr int PING_PERIOD_DEFAULT_S = 90;
inline constexpr int PING_PERIOD_MAX_S = 3600;

// Takes --ping-period SECONDS out of argv wherever it stands; a value that is no number from 1 to
// PING_PERIOD_MAX_S ends the process with status 255.
void takePingOption(int &argc, char **argv);
bool pingOptionGiven();
// The period in milliseconds: the silence before a PING, and again before the close.
void setPingPeriodMs(long long ms);
long long pingPeriodMs();
bool sizeIdlePings(const TableSizes &sizes);
// Every line from a client counts as an answer, a PONG or anything else.
void heardFrom(int slot);
// Pings and closes what has been silent too long; `now` in monotonic milliseconds.
void checkIdleClients(long long now);
Poller idlePingPoller();
