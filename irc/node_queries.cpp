// The questions this node asks of the node of a user it knows nothing of, and the answers it gives
// for its own users. A question is "<token>" (WHOIS) or "<token> <channel>" (INVITE) sent to the
// nick as a private message is; the answer goes back to the asker's nick under the asked user's
// prefix, as "<token> <channels> <length> :<real name><away text>" (311: the channels with their
// @ and + marks, joined by commas, or "*"; the length tells where the real name ends) or
// "<token>" (341). Each question waits in a fixed table until its answer or its time-out.
#include "node_queries.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../core/clock.h"
#include "../core/connections.h"
#include "../core/names.h"
#include "../core/server.h"
#include "../core/text.h"
#include "../routing/forwarding.h"
#include "../routing/pending_queue.h"
#include "away.h"
#include "channel_commands.h"
#include "channel_modes.h"
#include "channels.h"
#include "member_notices.h"
#include "messages.h"
#include "operator_commands.h"
#include "profile.h"
#include "profile_commands.h"
#include "replies.h"

namespace {

constexpr int QUERIES_MAX = 32;
// A node a few hops away answers within milliseconds; a question whose answer was lost on the
// way, or whose user's node no longer knows it, ends when this is over.
constexpr long long QUERY_PATIENCE_MS = 3000;
constexpr char FMT_QUERY_TOKEN[] = "%u";
constexpr char FMT_REAL_NAME_LENGTH[] = " %zu :";
constexpr int LENGTH_TEXT_SIZE = 24;

enum class Kind : unsigned char { Whois, Invite };

struct NodeQuery {
    unsigned token;  // 0 while the entry is free
    int slot;
    unsigned serial;
    long long dueAt;
    Kind kind;
    char nick[NICK_MAX + 1];
    char channel[CHANNEL_NAME_MAX + 1];
};

NodeQuery queries[QUERIES_MAX];
// Questions waiting for their answer: with none, a pass spends nothing on the table or the clock.
int waiting = 0;
unsigned lastToken;

// The asked user's nick, user and host, cut out of the answer's sender.
struct SenderParts {
    explicit SenderParts(const char *sender)
    {
        copyCut(buf, sender);
        char *bang = std::strchr(buf, '!');
        char *at = bang ? std::strchr(bang, '@') : nullptr;
        nick = buf;
        user = host = "*";
        if (!at) return;
        *bang = *at = '\0';
        user = bang + 1;
        host = at + 1;
    }
    char buf[PREFIX_SIZE];
    const char *nick;
    const char *user;
    const char *host;
};

void closeWhois(int slot, const char *nick)
{
    replyf(slot, FMT_318_END_OF_WHOIS, serverName(), connections[slot].nick, nick);
}

void closeNothing(int, const char *) {}

// The words of a WHOIS answer for the user `to` here.
bool replyWhois(int to, const Message &, const char *, TextBuilder &b)
{
    const int count = joinCount(to);
    b.add(" ");
    // A user in many channels of long names may fill the line: the channels that would leave no
    // room for the length stay out, since an answer cut before its length reads as none.
    int shown = 0;
    for (int i = 0; i < count; ++i) {
        const char *name = rooms[joinedRooms(to)[i]].name;
        const char *mark = privilegeMark(name, connections[to].nick);
        if (std::strlen(mark) + std::strlen(name) + 1 + LENGTH_TEXT_SIZE > b.room()) break;
        if (shown++ > 0) b.add(",");
        b.add(mark);
        b.add(name);
    }
    if (shown == 0) b.add("*");
    char length[LENGTH_TEXT_SIZE];
    std::snprintf(length, sizeof length, FMT_REAL_NAME_LENGTH, std::strlen(connections[to].realName));
    b.add(length);
    b.add(connections[to].realName);
    if (const char *away = awayTextOf(to)) b.add(away);
    return true;
}

// A WHOIS answer's words after its token, cut apart in a copy of their own.
struct WhoisAnswer {
    char words[LINE_SIZE];
    char *channels;
    const char *texts;
    size_t length;  // of the real name that opens `texts`

    // False when the words do not read as an answer: no channels, or no length in digits.
    bool read(const char *rest)
    {
        copyCut(words, rest);
        LineCursor cur{words};
        channels = cur.next();
        const char *lengthWord = cur.next();
        if (!channels || !lengthWord || !isDigit(lengthWord[0])) return false;
        char *end = nullptr;
        const unsigned long given = std::strtoul(lengthWord, &end, 10);
        if (*end != '\0') return false;
        texts = cur.pos[0] == ':' ? cur.pos + 1 : cur.pos;
        length = std::min(static_cast<size_t>(given), std::strlen(texts));
        return true;
    }
};

bool readsAsWhois(const char *rest)
{
    WhoisAnswer a;
    return a.read(rest);
}

void showWhois(const NodeQuery &q, const Message &m, const char *rest)
{
    const SenderParts who(m.sender);
    WhoisAnswer a;
    if (!a.read(rest)) return;
    char realName[LINE_SIZE] = {};
    std::memcpy(realName, a.texts, a.length);
    const char *nick = connections[q.slot].nick;
    const auto node = static_cast<unsigned long>(readNodeId(m.srcNode));
    replyf(q.slot, FMT_311_WHOIS_USER, serverName(), nick, who.nick, who.user, who.host, realName);
    replyf(q.slot, FMT_312_WHOIS_NODE, serverName(), nick, who.nick, node, node);
    WordLines shown(q.slot, who.nick, emitWhoisChannels);
    LineCursor list{a.channels};
    for (const char *channel = list.next(','); channel && std::strcmp(channel, "*") != 0; channel = list.next(','))
        shown.add(channel);
    shown.flush();
    if (a.texts[a.length] != '\0') replyf(q.slot, FMT_301_AWAY, serverName(), nick, who.nick, a.texts + a.length);
    closeWhois(q.slot, who.nick);
}

// The invitation is recorded here, where the invitee's JOIN is checked.
bool replyInvite(int to, const Message &m, const char *rest, TextBuilder &)
{
    char channel[CHANNEL_NAME_MAX + 1];
    copyCut(channel, rest);
    channel[std::strcspn(channel, " ")] = '\0';
    if (!isChannelName(channel)) return false;
    deliverInvite(m.sender, connections[to].nick, channel);
    return true;
}

bool readsAsInvite(const char *) { return true; }

void showInvite(const NodeQuery &q, const Message &m, const char *)
{
    const SenderParts who(m.sender);
    replyf(q.slot, FMT_341_INVITING, serverName(), connections[q.slot].nick, who.nick, q.channel);
}

struct QueryRow {
    Kind kind;
    const char *ask;
    const char *answer;
    // At the user's node: the answer's words after its token; false when none goes back.
    bool (*reply)(int to, const Message &m, const char *rest, TextBuilder &b);
    // At the asker's node: whether the answer's words after its token read as this kind's.
    bool (*reads)(const char *rest);
    // At the asker's node, for the asker still there.
    void (*show)(const NodeQuery &q, const Message &m, const char *rest);
    void (*close)(int slot, const char *nick);  // after a 401 or a 263
};

constexpr QueryRow QUERY_ROWS[] = {
    {Kind::Whois, "WHOIS", "311", replyWhois, readsAsWhois, showWhois, closeWhois},
    {Kind::Invite, "INVITE", "341", replyInvite, readsAsInvite, showInvite, closeNothing},
};

const QueryRow &rowOf(Kind kind) { return kind == Kind::Whois ? QUERY_ROWS[0] : QUERY_ROWS[1]; }

// Nodes ask each other about their users in the client profile only.
bool nodesAskEachOther() { return replyMode == Replies::Client; }

void settle(NodeQuery &q)
{
    q.token = 0;
    --waiting;
}

int freeEntry()
{
    for (int i = 0; i < QUERIES_MAX; ++i)
        if (queries[i].token == 0) return i;
    return -1;
}

// The token that opens a question's or an answer's text; 0 when it reads as none.
unsigned readToken(const char *text, const char **rest)
{
    char *end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || (*end != ' ' && *end != '\0') || value == 0 || value > 0xffffffffUL) return 0;
    *rest = *end == ' ' ? end + 1 : end;
    return static_cast<unsigned>(value);
}

void sendAsNode(const char *sender, const char *target, const char *text, const char *keyword, int owner)
{
    char srcNode[NODE_ID_TEXT_SIZE];
    std::snprintf(srcNode, sizeof srcNode, "%lu", static_cast<unsigned long>(curr_nodeID));
    (void)sendToNick(owner, Message{srcNode, sender, target, text, keyword});
}

bool ask(int slot, Kind kind, const char *nick, const char *channel)
{
    if (!canAskAbout(nick)) return false;
    const QueryRow &row = rowOf(kind);
    const int entry = freeEntry();
    if (entry < 0 || roomForLines(slot) <= 0) {
        replyf(slot, FMT_263_TRY_AGAIN, serverName(), connections[slot].nick, row.ask);
        row.close(slot, nick);
        return true;
    }
    NodeQuery &q = queries[entry];
    ++waiting;
    q = {++lastToken == 0 ? ++lastToken : lastToken, slot, connections[slot].serial, nowMillis() + QUERY_PATIENCE_MS,
         kind, {}, {}};
    copyCut(q.nick, nick);
    copyCut(q.channel, channel);
    char text[LINE_SIZE];
    TextBuilder b(text);
    char token[NODE_ID_TEXT_SIZE];
    std::snprintf(token, sizeof token, FMT_QUERY_TOKEN, q.token);
    b.add(token);
    if (channel[0] != '\0') {
        b.add(" ");
        b.add(channel);
    }
    char prefix[PREFIX_SIZE];
    userPrefix(slot, prefix);
    sendAsNode(prefix, nick, text, row.ask, slot);
    return true;
}

void answerQuestion(const QueryRow &row, int to, const Message &m)
{
    const char *rest = nullptr;
    const unsigned token = readToken(m.text, &rest);
    if (token == 0 || !connections[to].registered) return;
    // Cut to what the FORWARD line carries whole: the channels come first, the texts lose their end.
    char text[MEMBER_NOTICE_TEXT_MAX + 1];
    TextBuilder b(text);
    char tokenWord[NODE_ID_TEXT_SIZE];
    std::snprintf(tokenWord, sizeof tokenWord, FMT_QUERY_TOKEN, token);
    b.add(tokenWord);
    if (!row.reply(to, m, rest, b)) return;
    char asker[NICK_MAX + 1] = {};
    std::memcpy(asker, m.sender, std::min(std::strcspn(m.sender, "!"), sizeof asker - 1));
    char prefix[PREFIX_SIZE];
    userPrefix(to, prefix);
    sendAsNode(prefix, asker, text, row.answer, NO_SLOT);
}

void takeAnswer(const QueryRow &row, const Message &m)
{
    const char *rest = nullptr;
    const unsigned token = readToken(m.text, &rest);
    for (NodeQuery &q : queries) {
        if (token == 0 || q.token != token || q.kind != row.kind) continue;
        // Tokens are counted, so another's guess is easy: only an answer from the nick asked, in
        // words that read, ends the question; any other leaves it to its own answer or time-out,
        // and a WHOIS always ends in 318.
        const SenderParts who(m.sender);
        if (!sameName(who.nick, q.nick) || !row.reads(rest)) return;
        settle(q);
        if (ownerStillThere(q.slot, q.serial)) row.show(q, m, rest);
        return;
    }
}

void beforeWait()
{
    if (waiting == 0) return;
    long long first = 0;
    for (const NodeQuery &q : queries)
        if (q.token != 0 && (first == 0 || q.dueAt < first)) first = q.dueAt;
    if (first != 0) wakeWithinMs(first - nowMillis());
}

void afterWait()
{
    if (waiting > 0) expireNodeQueries(nowMillis());
}

// The asker hears 401 (and 318 for a WHOIS) when it is still there.
void endUnanswered(NodeQuery &q)
{
    settle(q);
    if (!ownerStillThere(q.slot, q.serial)) return;
    replyf(q.slot, FMT_401_NO_SUCH_NICK, serverName(), connections[q.slot].nick, q.nick);
    rowOf(q.kind).close(q.slot, q.nick);
}

}  // namespace

void questionUndelivered(const Message &m)
{
    const char *rest = nullptr;
    const unsigned token = readToken(m.text, &rest);
    for (NodeQuery &q : queries)
        if (token != 0 && q.token == token && std::strcmp(rowOf(q.kind).ask, m.command) == 0) return endUnanswered(q);
}

// A question nobody answered in time: the nick is nowhere, as far as the asker can tell.
void expireNodeQueries(long long now)
{
    for (NodeQuery &q : queries)
        if (q.token != 0 && q.dueAt <= now) endUnanswered(q);
}

// A word that is no nick names nobody on any node: asking would only delay its 401.
bool canAskAbout(const char *nick)
{
    if (!checkNickFormat(nick) || std::strlen(nick) > NICK_MAX) return false;
    return nodesAskEachOther() && neighbors > 0 && connections[DAEMON_SLOT].sock != 0;
}

bool askWhoisElsewhere(int slot, const char *nick) { return ask(slot, Kind::Whois, nick, ""); }

bool askInviteElsewhere(int slot, const char *nick, const char *channel) { return ask(slot, Kind::Invite, nick, channel); }

bool takeNodeQuery(int to, const Message &m)
{
    if (!nodesAskEachOther()) return false;  // the exact node's every message is one for its user
    for (const QueryRow &row : QUERY_ROWS) {
        if (std::strcmp(row.ask, m.command) == 0) {
            answerQuestion(row, to, m);
            return true;
        }
        if (std::strcmp(row.answer, m.command) == 0) {
            takeAnswer(row, m);
            return true;
        }
    }
    return false;
}

void clearNodeQueries()
{
    std::memset(queries, 0, sizeof queries);
    waiting = 0;
    lastToken = 0;
}

Poller nodeQueryPoller() { return {beforeWait, afterWait}; }
