// NICK, USER and QUIT: a client becomes a user when it has given both a nickname and its
// details, in either order, and the daemon learns every nickname that lives here.
#include "registration.h"

#include <cstdio>
#include <cstring>

#include "../core/connections.h"
#include "../core/framing.h"
#include "../core/log.h"
#include "../core/server.h"
#include "../core/sizes.h"
#include "../core/text.h"
#include "../routing/daemon_requests.h"
#include "../routing/pending_queue.h"
#include "../rtlib/rt_args.h"
#include "channel_modes.h"
#include "channels.h"
#include "host_lookup.h"
#include "member_notices.h"
#include "motd.h"
#include "profile_commands.h"
#include "profile.h"
#include "replies.h"

namespace {

constexpr char FMT_ERROR_CLOSING[] = "ERROR :Closing link: %s";  // the reason
constexpr char FMT_USER_REPORT[] =
    "\nUser Registered As: \n\tuserName: %s\n\thostName: %s\n\tserverName: %s\n\trealName: %s\n\n";

// The client profile greets a registered client with 001-005, as clients wait for.
bool welcomesClients() { return replyMode == Replies::Client; }

// A nick is the whole network's in the client profile, and this node's alone in the exact replies.
bool nicksAreNetworkWide() { return replyMode == Replies::Client; }

// The client profile tells a client why it is closed (ERROR) before it closes; the exact replies
// close without a word.
bool repliesWithError() { return replyMode == Replies::Client; }

constexpr char FMT_GUEST_NICK[] = "Guest%02u%02u";  // this node's line in the configuration file, the slot

// Per slot: since the daemon last answered for the user's nick, a member notice showed that nick
// held by a node with a higher ID too, whose holder is the one to yield.
bool exactHigherHolderSeen[MAX_CONNECTIONS];
bool *higherHolderSeen = exactHigherHolderSeen;

bool detailsComplete(const Connection &c)
{
    return c.userName[0] != '\0' && c.hostName[0] != '\0' && c.realName[0] != '\0';
}

void completeRegistration(int slot)
{
    connections[slot].registered = 1;
    logInfo("%s registered in slot %d from %s", connections[slot].nick, slot, connections[slot].ip);
    if (welcomesClients()) sendWelcome(slot);
    sendMotd(slot);
    announceUser(connections[slot].nick);
}

// The members of the user's channels, the user among them, see the change once each, under the
// new nick already; `oldPrefix` is what the user was known as until now.
void announceNickChange(int slot, const char *oldNick, const char *oldPrefix)
{
    const Connection &c = connections[slot];
    privilegesFollowNick(oldNick, c.nick);
    if (joinCount(slot) > 0) {
        char notice[LINE_SIZE];
        if (keepsExactBytes()) formatLine(notice, FMT_NICK_CHANGE, oldNick, c.userName, c.hostName, c.nick);
        else formatLine(notice, FMT_PROFILE_NICK_CHANGE, oldPrefix, c.nick);
        sendToChannelsOnce(slot, notice);
        announceMemberNick(oldPrefix, c.nick);
    }
    withdrawUser(oldNick);
    announceUser(c.nick);
}

// The nick has passed every check: it is stored, and completes a registration or is announced.
void takeNick(int slot, const char *nick)
{
    Connection &c = connections[slot];
    char oldNick[NICK_MAX + 1];
    copyCut(oldNick, c.nick);
    char oldPrefix[PREFIX_SIZE];
    userPrefix(slot, oldPrefix);
    setNick(slot, nick);
    higherHolderSeen[slot] = false;
    if (c.registered) announceNickChange(slot, oldNick, oldPrefix);
    else if (detailsComplete(c)) completeRegistration(slot);
}

// Unique on the network: every node reads the same configuration file, and its line there and
// the slot tell the guests apart. Nine characters, a valid nick.
void guestNick(int slot, char (&nick)[NICK_MAX + 1])
{
    int line = 0;
    while (line < curr_node_config_file.count && curr_node_config_file.entries[line].nodeID != curr_nodeID) ++line;
    std::snprintf(nick, sizeof nick, FMT_GUEST_NICK, static_cast<unsigned>(line) % 100, static_cast<unsigned>(slot) % 100);
}

// The user gives its nick up for its guest nick: it is told why and sees its own NICK line (its
// channels' members, itself among them, see that line anyway), and the daemon and the other
// nodes learn of the change as for any NICK.
void yieldNick(int slot)
{
    char guest[NICK_MAX + 1];
    guestNick(slot, guest);
    // A guest nick that some user here holds (this one, or another who chose it by hand) stays
    // where it is: another holder of this nick yields instead, or the next period tries again.
    if (!checkNick(guest)) return;
    const Connection &c = connections[slot];
    replyf(slot, FMT_NICK_COLLISION_NOTICE, serverName(), c.nick, c.nick, guest);
    if (joinCount(slot) == 0) {
        char prefix[PREFIX_SIZE];
        userPrefix(slot, prefix);
        replyf(slot, FMT_PROFILE_NICK_CHANGE, prefix, guest);
    }
    takeNick(slot, guest);
}

// The exact replies write each word with the space after it; clients show a real name in WHO and
// WHOIS, where that last space reads as part of the name. A lone ':' keeps its one space, as an
// empty real name would leave the registration incomplete.
bool trimsRealName() { return replyMode == Replies::Client; }

// The trailing parameter and every word after it, each followed by one space.
void storeRealName(Connection &c, const char *firstWord, LineCursor &cur)
{
    TextBuilder realName(c.realName);
    for (const char *word = firstWord; word; word = cur.next()) {
        realName.add(word);
        realName.add(" ");
    }
    const size_t length = realName.length();
    if (trimsRealName() && length > 1 && c.realName[length - 1] == ' ') c.realName[length - 1] = '\0';
}

void reportUser(const Connection &c)
{
    if (argList.verbose != 1) return;
    std::printf(FMT_USER_REPORT, c.userName, c.hostName, c.serverName, c.realName);
}

// USER's parameters, each refusal answered; true when all of them were given.
bool takeUserDetails(int slot, LineCursor &cur)
{
    Connection &c = connections[slot];
    const char *userName = cur.next();
    if (!userName) {
        replyf(slot, FMT_461_USER_PARAMS, serverName(), numericTarget(slot));
        return false;
    }
    copyCut(c.userName, userName);
    if (!cur.next() || !cur.next()) {  // the host and server words are read but not used
        replyf(slot, FMT_461_USER_PARAMS, serverName(), numericTarget(slot));
        return false;
    }
    copyCut(c.serverName, serverName());
    const char *trailing = cur.next();
    if (!trailing || trailing[0] != ':') {
        replyf(slot, FMT_461_USER_PARAMS, serverName(), numericTarget(slot));
        return false;
    }
    storeRealName(c, trailing + 1, cur);
    return true;
}

// Whether a slot holds the nick, for the client in `slot` that asks for it: its own nick counts,
// but not its own nick in another case, which only the profile's casemapping finds.
bool nickTakenFor(int slot, const char *nick)
{
    const int holder = findUser(nick);
    return holder >= 0 && (holder != slot || std::strcmp(connections[slot].nick, nick) == 0);
}

// What a USER that was taken does once the host name is known.
void finishUser(int slot)
{
    const Connection &c = connections[slot];
    reportUser(c);
    if (c.nick[0] != '\0') completeRegistration(slot);
}

}  // namespace

bool sizeNickHolders(const TableSizes &sizes)
{
    return resizeTable(higherHolderSeen, exactHigherHolderSeen, static_cast<size_t>(slotCount()),
                       static_cast<size_t>(sizes.slots));
}

int checkNick(const char *nick) { return findUser(nick) < 0 ? 1 : 0; }

void sendMotd(int slot)
{
    const char *nick = connections[slot].nick;
    replyf(slot, FMT_375_MOTD_START, serverName(), nick, serverName());
    sendMotdLines(slot, nick);
    replyf(slot, FMT_376_MOTD_END, serverName(), nick);
}

void handleNick(int slot, LineCursor &cur)
{
    const char *word = cur.next();
    if (!word) {
        replyf(slot, FMT_431_NO_NICKNAME, serverName(), numericTarget(slot));
        return;
    }
    char nick[NICK_MAX + 1];
    const bool taken = takeName(nick, word);
    if (!taken || !checkNickFormat(nick)) {
        replyf(slot, FMT_432_BAD_NICK, serverName(), numericTarget(slot), taken ? nick : word);
        return;
    }
    // The client's own current nickname counts as taken too, but not in another case.
    if (nickTakenFor(slot, nick)) {
        replyf(slot, FMT_433_NICK_IN_USE, serverName(), numericTarget(slot), nick);
        return;
    }
    // A nick is unique in the whole network in the profile: the client's later lines wait for the
    // daemon's answer, so that its replies keep their order.
    if (nicksAreNetworkWide() && askNickElsewhere(slot, nick)) {
        connections[slot].holdInput = 1;
        return;
    }
    takeNick(slot, nick);
}

void nickCheckAnswered(int slot, unsigned serial, const char *nick, bool elsewhere)
{
    Connection &c = connections[slot];
    if (c.sock == 0 || c.serial != serial) return;
    // A client here may have taken it while the daemon was asked.
    if (elsewhere || nickTakenFor(slot, nick)) replyf(slot, FMT_433_NICK_IN_USE, serverName(), numericTarget(slot), nick);
    else takeNick(slot, nick);
    resumeInput(slot);
}

// Two nodes that grant one nick at the same moment both hear from their daemons that nobody else
// has it, and both keep it. So each node asks again, once a period, for every nick it holds, and
// resolves a collision by this rule: when the daemon's answer names another node (an OK with a
// hop other than 0), the user yields its nick for its guest nick, unless a member notice showed
// the same nick on a node with a higher ID since the last answer: then that node's holder yields
// and this one keeps it. Between two holders the one on the higher node therefore always yields
// once its daemon sees the other; the lower one yields too only when it heard nothing of the
// higher one (its holder is in no channel, so sends no notices). A notice alone never forces a
// change, so a forged one can only delay a yield, never take a nick away.
void recheckNicks()
{
    for (int slot = FIRST_CLIENT_SLOT; slot < slotReach(); ++slot)
        if (connections[slot].sock != 0 && connections[slot].registered) askNickStillOurs(slot);
}

void heldNickAnswered(int slot, unsigned serial, const char *nick, bool elsewhere)
{
    const Connection &c = connections[slot];
    if (c.sock == 0 || c.serial != serial || !c.registered || !sameName(c.nick, nick)) return;
    const bool higherYields = higherHolderSeen[slot];
    higherHolderSeen[slot] = false;
    if (elsewhere && !higherYields) yieldNick(slot);
}

void nickSeenOnNode(const char *nick, uint32_t node)
{
    const int slot = findUser(nick);
    if (slot >= FIRST_CLIENT_SLOT && connections[slot].registered && node > curr_nodeID) higherHolderSeen[slot] = true;
}

void handleUser(int slot, LineCursor &cur)
{
    Connection &c = connections[slot];
    // Asked before any parameter is read, so even a USER that is then refused sets the host name.
    c.lookupPending = 1;
    startHostLookup(slot);
    const bool accepted = takeUserDetails(slot, cur);
    if (c.lookupPending) {
        // The client's later lines wait for the name, so that its replies keep their order.
        c.holdInput = 1;
        c.reportWhenNamed = accepted ? 1 : 0;
        return;
    }
    if (accepted) finishUser(slot);
}

// Without a name for the address the address itself stands in, so registration can still complete.
void hostNameFound(int slot, unsigned serial, const char *name)
{
    Connection &c = connections[slot];
    if (c.sock == 0 || c.serial != serial || !c.lookupPending) return;
    copyCut(c.hostName, name ? name : c.ip);
    c.lookupPending = 0;
    if (!c.holdInput) return;  // answered at once, inside USER
    if (c.reportWhenNamed) finishUser(slot);
    c.reportWhenNamed = 0;
    resumeInput(slot);
}

// A peer leaves in this order: the daemon forgets its nick, the members of its channels see it
// go (the notice is built from the names the slot still holds), then the core clears the slot.
// QUIT leaves the channels itself before its reset, while the quitter can still read its own
// notice, so there the daemon hears REMOVECHAN for a channel left empty before REMOVEUSER.
void userDeparts(int slot)
{
    const Connection &c = connections[slot];
    higherHolderSeen[slot] = false;
    if (c.nick[0] != '\0') withdrawUser(c.nick);
    removeFromChan(slot);
}

int closingLinkLine(char *line, const char *reason)
{
    if (!repliesWithError()) return 0;
    std::snprintf(line, LINE_SIZE, FMT_ERROR_CLOSING, reason);
    return 1;
}

void handleQuit(int slot, LineCursor &cur)
{
    const char *reason = cur.trailing();
    removeFromChan(slot, Leave::Quit, reason && reason[0] != '\0' ? reason : nullptr);
    resetConnection(slot);
}
