// The FORWARD lines that other nodes send here, each the first line of a connection of its own:
// taken only from another node of the configuration and only when every word reads as a node's
// (a listed source node, a sender that is a nick, a keyword the profile carries), then handed to
// the IRC layer, or declined when this node cannot hand it on now.
#include "forwarding.h"

#include <cstdio>
#include <cstring>

#include "../core/client_profile.h"
#include "../core/connections.h"
#include "../core/names.h"
#include "../core/server.h"
#include "../core/text.h"
#include "../rtlib/rt_args.h"
#include "custody.h"
#include "link_status.h"
#include "node_link.h"
#include "routing_hooks.h"

namespace {

constexpr char FMT_FORWARD_TRACE[] = "Command[%i]: %s\n";

// A line for a nick here needs nothing more, but for a question, whose answer is routed. Any other
// needs the daemon and a slot of the routing queue beside what the clients' shares keep (which
// also leaves its answer an entry of the pool): without them the line is declined, so that its
// sender keeps it and tries again. A channel's is declined whole, even with members here, as they
// would get it twice when the sender tries again.
bool canHandOn(const char *target, const char *command)
{
    if (!isChannelName(target) && findUser(target) >= FIRST_CLIENT_SLOT && !isQuestionKeyword(command)) return true;
    return connections[DAEMON_SLOT].sock != 0 && roomForLines(NO_SLOT) > 0;
}

// An answer for a sender here names the target as the sender wrote it; one for a sender
// elsewhere goes on towards its node.
FirstLine takeUndelivered(const Message &m)
{
    const int slot = findUser(m.target);
    if (slot >= FIRST_CLIENT_SLOT) {
        if (!m.repeat) routingHooks.tellSender(slot, m.text, SenderTold::NoSuchTarget);
        return FirstLine::Taken;
    }
    if (!canHandOn(m.target, m.command)) return FirstLine::Declined;
    routingHooks.sendToNick(NO_SLOT, m);
    return FirstLine::Taken;
}

bool isListedNode(uint32_t id) { return id != 0 && (id == curr_nodeID || findNeighbor(id) >= 0); }

bool isFirstWordForward(const char *line)
{
    while (*line == ' ') ++line;
    return std::strncmp(line, "FORWARD", 7) == 0 && (line[7] == ' ' || line[7] == '\0');
}

// The sender word without its colon: a nick, or in the client profile nick!user@host.
bool isSenderWord(const char *sender)
{
    const char *bang = std::strchr(sender, '!');
    const size_t nickLength = bang ? static_cast<size_t>(bang - sender) : std::strlen(sender);
    if (nickLength == 0 || nickLength > NICK_MAX) return false;
    char nick[NICK_MAX + 1] = {};
    std::memcpy(nick, sender, nickLength);
    if (!checkNickFormat(nick)) return false;
    if (!bang) return true;
    return carriesClientLines() && std::strlen(sender) < PREFIX_SIZE && std::strchr(bang, '@') != nullptr;
}

// Any keyword is taken as PRIVMSG; the client profile also carries NOTICE this way, the questions
// to a user's node and their answers, and the membership notices for the nodes' channel, which
// carry nothing else. nullptr: no node's line.
const char *messageKeyword(const char *word, const char *target)
{
    if (!carriesClientLines()) return "PRIVMSG";
    if (std::strcmp(target, NODES_CHANNEL) == 0) return memberKeyword(word);
    // The undelivered answer, the questions and their answers go to a nick: for a channel their
    // keyword would reach its members as a command no client sent.
    if (!isChannelName(target)) {
        if (std::strcmp(word, UNDELIVERED_KEYWORD) == 0) return UNDELIVERED_KEYWORD;
        if (const char *query = queryKeyword(word)) return query;
    }
    return std::strcmp(word, "NOTICE") == 0 ? "NOTICE" : "PRIVMSG";
}

// What a FORWARD line brings, checked word by word; false when it is not another node's line.
bool readForward(char *line, Message &m, char (&srcNode)[NODE_ID_TEXT_SIZE], char (&text)[LINE_SIZE])
{
    LineCursor cur{line};
    (void)cur.next();  // FORWARD
    const char *srcWord = cur.next();
    const char *senderWord = cur.next();
    const char *keyword = cur.next();
    const char *target = cur.next();
    if (!srcWord || !senderWord || !keyword || !target) return false;
    const uint32_t src = readNodeId(srcWord);
    const char *sender = senderWord + 1;  // the colon, whatever stands there
    if (!isListedNode(src) || !isSenderWord(sender)) return false;
    std::snprintf(srcNode, sizeof srcNode, "%lu", static_cast<unsigned long>(src));
    TextBuilder builder(text);
    // The profile's sender wrote the text as its client gave it, so it is taken as it stands.
    if (carriesClientLines()) builder.add(cur.pos);
    else appendWords(builder, cur);
    const char *command = messageKeyword(keyword, target);
    if (text[0] == '\0' || !command) return false;
    m = {srcNode, sender, target, text, command};
    return true;
}

// A message from another node, read and checked, as a line of a link or of a connection of its own.
FirstLine takeMessage(Message &m, uint32_t src)
{
    if (carriesClientLines() && std::strcmp(m.target, NODES_CHANNEL) == 0) {
        routingHooks.takeMemberNotice(src, m);
        return FirstLine::Taken;
    }
    // Names longer than a nick or a channel name exist nowhere; the cut one may.
    char target[NICK_MAX + 1];
    copyCut(target, m.target);
    m.target = target;
    if (std::strcmp(m.command, UNDELIVERED_KEYWORD) == 0 && !isChannelName(target)) return takeUndelivered(m);
    if (!canHandOn(target, m.command)) return FirstLine::Declined;
    if (isChannelName(target)) routingHooks.sendToChannel(NO_SLOT, m, target);
    else routingHooks.sendToNick(NO_SLOT, m);
    return FirstLine::Taken;
}

}  // namespace

uint32_t readNodeId(const char *word)
{
    const char *p = word;
    if (*p == '+') ++p;
    if (*p == '\0') return 0;
    uint64_t value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) return 0;
    }
    return static_cast<uint32_t>(value);
}

FirstLine takeForwardLine(char *line, unsigned peerAddr)
{
    if (nodeLinks && opensLink(line) && isNodeAddress(peerAddr)) return FirstLine::Link;
    if (isLinkStatusRequest(line, peerAddr)) return FirstLine::Query;
    if (!isFirstWordForward(line)) return FirstLine::Client;
    if (argList.verbose == 1) std::printf(FMT_FORWARD_TRACE, NO_SLOT, line);
    // Only the nodes of the configuration speak as nodes; anyone else is refused without a word.
    if (!isNodeAddress(peerAddr) || holdsControlBytes(line)) return FirstLine::Refused;
    Message m{};
    char srcNode[NODE_ID_TEXT_SIZE];
    char text[LINE_SIZE];
    if (!readForward(line, m, srcNode, text) || !isCarriedName(m.target)) return FirstLine::Refused;
    // A numbered message (on links only) that was taken here before is handed on, not delivered
    // again; one handed back is new when it comes again.
    const Custody &id = custodyNow();
    const uint32_t src = readNodeId(srcNode);
    m.repeat = custodySeenBefore(src, id.session, id.number);
    if (m.repeat) custodyRepeat();
    const FirstLine kind = takeMessage(m, src);
    if (kind == FirstLine::Declined && !m.repeat) custodyForget(src, id.session, id.number);
    return kind;
}

// A line on a link passes the rules of a one-shot connection's line from the same node; anything
// else on a link is no node's.
FirstLine takeLinkLine(int n, char *line)
{
    const FirstLine kind = takeForwardLine(line, neighborNodes[n]->ipaddr);
    return kind == FirstLine::Client || kind == FirstLine::Link || kind == FirstLine::Query ? FirstLine::Refused : kind;
}

int isNodeAddress(unsigned peerAddr)
{
    for (int n = 0; n < neighbors; ++n)
        if (neighborNodes[n]->ipaddr == peerAddr) return 1;
    return 0;
}
