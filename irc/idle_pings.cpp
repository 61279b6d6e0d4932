// Idle clients in the client profile. A client whose TCP vanished without a word sends nothing and
// is never told anything that fails, so without a question it would hold its slot and its nick
// for ever: after a period of silence it is asked (PING), and after another it is closed.
#include "idle_pings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "../core/admission.h"
#include "../core/client_profile.h"
#include "../core/clock.h"
#include "../core/connections.h"
#include "../core/server.h"
#include "../core/sizes.h"
#include "../rtlib/rt_args.h"
#include "replies.h"

namespace {

constexpr char PING_OPTION[] = "--ping-period";
constexpr char PING_TIMEOUT[] = "Ping timeout";
// Often enough that a close comes at most this late, seldom enough that a walk of every slot
// costs nothing beside the clients' own lines.
constexpr long long CHECK_GAP_MAX_MS = 1000;

long long periodMs = PING_PERIOD_DEFAULT_S * 1000LL;
long long nextCheckAt;
bool optionGiven;

// Per slot: when its client's last line came, and whether it was asked since.
long long exactHeardAt[MAX_CONNECTIONS];
bool exactPinged[MAX_CONNECTIONS];
long long *heardAt = exactHeardAt;
bool *pinged = exactPinged;

// The exact replies never ping: their clients keep their slots until they leave.
bool pingsIdleClients() { return replyMode == Replies::Client; }

long long checkGapMs() { return periodMs / 2 < CHECK_GAP_MAX_MS ? periodMs / 2 : CHECK_GAP_MAX_MS; }

void checkSlot(int slot, long long now)
{
    const Connection &c = connections[slot];
    if (c.sock == 0 || !c.registered) return;
    const long long silent = now - heardAt[slot];
    if (pinged[slot] && silent >= 2 * periodMs) return closeSlotWithReason(slot, PING_TIMEOUT);
    if (pinged[slot] || silent < periodMs) return;
    pinged[slot] = true;
    replyf(slot, FMT_PING_IDLE, serverName());
}

void beforeWait()
{
    if (pingsIdleClients()) wakeWithinMs(nextCheckAt - nowMillis());
}

void afterWait()
{
    if (!pingsIdleClients()) return;
    const long long now = nowMillis();
    if (now >= nextCheckAt) checkIdleClients(now);
}

}  // namespace

void takePingOption(int &argc, char **argv)
{
    const char *text = rt_take_valued_option(argc, argv, PING_OPTION);
    if (!text) return;
    optionGiven = true;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < 1 || value > PING_PERIOD_MAX_S) {
        std::fprintf(stderr, "%s: invalid %s = %s (a number from 1 to %d)\n", argv[0], PING_OPTION, text, PING_PERIOD_MAX_S);
        std::exit(rt_error_status);
    }
    setPingPeriodMs(value * 1000LL);
}

bool pingOptionGiven() { return optionGiven; }

void setPingPeriodMs(long long ms)
{
    periodMs = ms;
    nextCheckAt = 0;
}

long long pingPeriodMs() { return periodMs; }

bool sizeIdlePings(const TableSizes &sizes)
{
    const auto oldSlots = static_cast<size_t>(slotCount());
    const auto slots = static_cast<size_t>(sizes.slots);
    return resizeTable(heardAt, exactHeardAt, oldSlots, slots) && resizeTable(pinged, exactPinged, oldSlots, slots);
}

void heardFrom(int slot)
{
    // Read by the pings alone: the exact node's lines spare the clock.
    if (!pingsIdleClients()) return;
    heardAt[slot] = nowMillis();
    pinged[slot] = false;
}

void checkIdleClients(long long now)
{
    nextCheckAt = now + checkGapMs();
    for (int slot = FIRST_CLIENT_SLOT; slot < slotReach(); ++slot) checkSlot(slot, now);
}

Poller idlePingPoller() { return {beforeWait, afterWait}; }
