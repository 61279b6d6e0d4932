// parseCmd: answers from the daemon link go to the answer handling, client lines to the command
// that their first word names, behind that command's registration gate.
#include "dispatch.h"

#include <cstdio>
#include <cstring>

#include "../core/connections.h"
#include "../core/hooks.h"
#include "../core/server.h"
#include "../core/sizes.h"
#include "../core/text.h"
#include "../routing/pending_queue.h"
#include "../routing/routing_hooks.h"
#include "../rtlib/rt_args.h"
#include "away.h"
#include "channel_commands.h"
#include "channels.h"
#include "host_lookup.h"
#include "idle_pings.h"
#include "member_notices.h"
#include "messages.h"
#include "motd.h"
#include "node_queries.h"
#include "network_members.h"
#include "operator_commands.h"
#include "profile.h"
#include "profile_commands.h"
#include "registration.h"
#include "replies.h"
#include "topic_commands.h"
#include "whowas.h"

namespace {

// Refused with 451 / 462; a Quiet command from a client not yet registered is dropped without a
// word, as a NOTICE must never draw an automatic reply. ProfileRegistered is Open in the exact
// replies, which answer LIST and WHO before registration, and Registered in the client profile,
// where a peer that never registered learns nothing of the channels and their members.
enum class Gate { Open, Registered, Unregistered, Quiet, ProfileRegistered };

using Handler = void (*)(int slot, LineCursor &cur);

struct CommandRow {
    const char *word;
    Gate gate;
    Handler handler;
};

constexpr CommandRow COMMANDS[] = {  // compared in order, exactly and case-sensitively
    {"NICK",    Gate::Open,         handleNick},
    {"PRIVMSG", Gate::Registered,   handlePrivmsg},
    {"USER",    Gate::Unregistered, handleUser},
    {"JOIN",    Gate::Registered,   handleJoin},
    {"WHO",     Gate::ProfileRegistered, handleWho},
    {"LIST",    Gate::ProfileRegistered, handleList},
    {"PART",    Gate::Registered,   handlePart},
    {"QUIT",    Gate::Registered,   handleQuit},
};  // FORWARD is no client's word: another node's line is taken before a connection is a client

// What real clients send besides: known only in the client profile, 421 otherwise.
constexpr CommandRow PROFILE_COMMANDS[] = {
    {"NOTICE",   Gate::Quiet,        handleNotice},
    {"PING",     Gate::Open,         handlePing},
    {"PONG",     Gate::Open,         handlePong},
    {"CAP",      Gate::Open,         handleCap},
    {"MODE",     Gate::Registered,   handleMode},
    {"USERHOST", Gate::Registered,   handleUserhost},
    {"ISON",     Gate::Registered,   handleIson},
    {"WHOIS",    Gate::Registered,   handleWhois},
    {"WHOWAS",   Gate::Registered,   handleWhowas},
    {"NAMES",    Gate::Registered,   handleNames},
    {"TOPIC",    Gate::Registered,   handleTopic},
    {"AWAY",     Gate::Registered,   handleAway},
    {"KICK",     Gate::Registered,   handleKick},
    {"INVITE",   Gate::Registered,   handleInvite},
};

// The rows above, and registration before LIST and WHO, are the client profile's; the exact replies
// answer 421 to every word but their own.
bool knowsClientCommands() { return replyMode == Replies::Client; }

template <size_t N>
const CommandRow *findIn(const CommandRow (&table)[N], const char *word)
{
    for (const CommandRow &row : table)
        if (std::strcmp(row.word, word) == 0) return &row;
    return nullptr;
}

const CommandRow *findCommand(const char *word)
{
    const CommandRow *row = findIn(COMMANDS, word);
    return row || !knowsClientCommands() ? row : findIn(PROFILE_COMMANDS, word);
}

// The gate's refusal, or false when the command may run.
bool refusedByGate(Gate gate, int slot)
{
    const bool registered = connections[slot].registered != 0;
    if (gate == Gate::ProfileRegistered) gate = knowsClientCommands() ? Gate::Registered : Gate::Open;
    if (gate == Gate::Registered && !registered) {
        replyf(slot, FMT_451_NOT_REGISTERED, serverName(), numericTarget(slot));
        return true;
    }
    if (gate == Gate::Quiet) return !registered;
    if (gate == Gate::Unregistered && registered) {
        replyf(slot, FMT_462_ALREADY_REGISTERED, serverName(), numericTarget(slot));
        return true;
    }
    return false;
}

// The exact framing drops such a line without a word; the client profile answers 417.
bool answersLongLines() { return replyMode == Replies::Client; }

void refuseLongLine(int slot)
{
    if (answersLongLines()) replyf(slot, FMT_417_INPUT_TOO_LONG, serverName(), requesterNick(slot));
}

}  // namespace

void parseCmd(char *line, int slot)
{
    if (argList.verbose == 1) std::printf("Command[%i]: %s\n", slot, line);
    LineCursor cur{line};
    char command[LINE_SIZE] = {};
    if (const char *word = cur.next()) copyCut(command, word);

    // Whatever it says, a line on the daemon link is an answer, never a client command.
    if (slot == DAEMON_SLOT) {
        handleDaemonLine(command, cur);
        return;
    }
    heardFrom(slot);
    if (command[0] == '\0') return;  // a line of spaces only

    const CommandRow *row = findCommand(command);
    if (!row) {
        replyf(slot, FMT_421_UNKNOWN_COMMAND, serverName(), numericTarget(slot), command);
        return;
    }
    if (!refusedByGate(row->gate, slot)) row->handler(slot, cur);
}

void wireIrc()
{
    coreHooks.handleLine = parseCmd;
    coreHooks.departs = userDeparts;
    coreHooks.reload = reloadMotd;
    coreHooks.lineTooLong = refuseLongLine;
    coreHooks.closingLine = closingLinkLine;
    routingHooks.sendToNick = sendToNick;
    routingHooks.sendToChannel = sendToChannel;
    routingHooks.takeMemberNotice = takeMemberNotice;
    routingHooks.nickCheckAnswered = nickCheckAnswered;
    routingHooks.heldNickAnswered = heldNickAnswered;
    routingHooks.tellSender = tellSender;
    routingHooks.daemonLinkUp = announceEverything;
    routingHooks.nodeSplit = splitFromNode;
    routingHooks.questionUndelivered = questionUndelivered;
    addTableSizer(sizeHostLookups);
    addTableSizer(sizeNickHolders);
    addTableSizer(sizeChannelSlots);
    addTableSizer(sizeAwayTable);
    addTableSizer(sizeIdlePings);
    initHostLookup();
    addPoller(hostLookupPoller());
    addPoller(memberNoticePoller());
    addPoller(idlePingPoller());
    addPoller(nodeQueryPoller());
}
