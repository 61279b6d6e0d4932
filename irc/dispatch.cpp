// parseCmd: answers from the daemon link go to the answer handling, client lines to the command
// that their first word names, behind that command's registration gate.
#include "dispatch.h"

#include <cstdio>
#include <cstring>

#include "../core/connections.h"
#include "../core/hooks.h"
#include "../core/server.h"
#include "../core/text.h"
#include "../routing/pending_queue.h"
#include "../rtlib/rt_args.h"
#include "channel_commands.h"
#include "host_lookup.h"
#include "messages.h"
#include "registration.h"
#include "replies.h"

namespace {

enum class Gate { Open, Registered, Unregistered };  // refused with 451 / 462

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
    {"WHO",     Gate::Open,         handleWho},
    {"LIST",    Gate::Open,         handleList},
    {"PART",    Gate::Registered,   handlePart},
    {"QUIT",    Gate::Registered,   handleQuit},
};  // FORWARD is no client's word: another node's line is taken before a connection is a client

const CommandRow *findCommand(const char *word)
{
    for (const CommandRow &row : COMMANDS)
        if (std::strcmp(row.word, word) == 0) return &row;
    return nullptr;
}

// The gate's refusal, or false when the command may run.
bool refusedByGate(Gate gate, int slot)
{
    const bool registered = connections[slot].registered != 0;
    if (gate == Gate::Registered && !registered) {
        replyf(slot, FMT_451_NOT_REGISTERED, serverName());
        return true;
    }
    if (gate == Gate::Unregistered && registered) {
        replyf(slot, FMT_462_ALREADY_REGISTERED, serverName());
        return true;
    }
    return false;
}

}  // namespace

char *LineCursor::next(char separator)
{
    while (*pos == separator) ++pos;
    if (*pos == '\0') return nullptr;
    char *word = pos;
    while (*pos != separator && *pos != '\0') ++pos;
    if (*pos == separator) *pos++ = '\0';
    return word;
}

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
    if (command[0] == '\0') return;  // a line of spaces only

    const CommandRow *row = findCommand(command);
    if (!row) {
        replyf(slot, FMT_421_UNKNOWN_COMMAND, serverName(), command);
        return;
    }
    if (!refusedByGate(row->gate, slot)) row->handler(slot, cur);
}

void wireIrc()
{
    coreHooks.handleLine = parseCmd;
    coreHooks.departs = userDeparts;
    initHostLookup();
    addPoller(hostLookupPoller());
}
