// The server link: framing of its lines, the request table, and the answers.
#include "server_link.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "flooding.h"
#include "routes.h"
#include "trace.h"

namespace {

constexpr timeval SEND_TIMEOUT = {2, 0};  // a server that stops reading loses its link, not the daemon

struct ServerLink {
    int listener = -1;
    int sock = -1;
    char pending[REQUEST_SIZE] = {};  // an incomplete line
    size_t pendingLength = 0;
    bool skipping = false;             // the line in progress outgrew the buffer
};

ServerLink serverLink;

struct NameTable {
    char (*names)[NAME_SIZE];
    int &count;
};

NameTable users() { return {lsdb.nodes[lsdb.self].advert.users, lsdb.nodes[lsdb.self].advert.userCount}; }
NameTable chans() { return {lsdb.nodes[lsdb.self].advert.chans, lsdb.nodes[lsdb.self].advert.chanCount}; }

void forgetAnnouncements()
{
    lsdb.nodes[lsdb.self].advert.userCount = 0;
    lsdb.nodes[lsdb.self].advert.chanCount = 0;
    ownAdvertChanged();
}

void dropLink(const char *why)
{
    if (serverLink.sock < 0) return;
    trace("server link closed: %s\n", why);
    close(serverLink.sock);
    serverLink.sock = -1;
    serverLink.pendingLength = 0;
    serverLink.skipping = false;
    forgetAnnouncements();
}

void answer(const char *text)
{
    char line[ANSWER_SIZE];
    const int length = std::snprintf(line, sizeof line, "%s\n", text);
    trace("answer: %s", line);
    if (serverLink.sock < 0) return;
    if (send(serverLink.sock, line, static_cast<size_t>(length), MSG_NOSIGNAL) != length) dropLink("send failed");
}

void addName(NameTable table, const char *name)
{
    if (!isRoutableName(name)) return;
    for (int i = 0; i < table.count; ++i)
        if (std::strcmp(table.names[i], name) == 0) return;
    if (table.count == MAX_NAMES) {
        trace("no room to announce %s\n", name);
        return;
    }
    std::snprintf(table.names[table.count++], NAME_SIZE, "%s", name);
    ownAdvertChanged();
}

void removeName(NameTable table, const char *name)
{
    for (int i = 0; i < table.count; ++i) {
        if (std::strcmp(table.names[i], name) != 0) continue;
        std::memcpy(table.names[i], table.names[--table.count], NAME_SIZE);
        ownAdvertChanged();
        return;
    }
}

// Runs of spaces separate words, as on the server's side of the link.
char *nextWord(char *&pos)
{
    while (*pos == ' ') ++pos;
    if (*pos == '\0') return nullptr;
    char *word = pos;
    while (*pos != '\0' && *pos != ' ') ++pos;
    if (*pos == ' ') *pos++ = '\0';
    return word;
}

void addUser(char *&args) { if (const char *nick = nextWord(args)) addName(users(), nick); }
void removeUser(char *&args) { if (const char *nick = nextWord(args)) removeName(users(), nick); }
void addChan(char *&args) { if (const char *chan = nextWord(args)) addName(chans(), chan); }
void removeChan(char *&args) { if (const char *chan = nextWord(args)) removeName(chans(), chan); }

// A request without its argument still gets its one answer, so that the pairing holds.
void answerNextHop(char *&args)
{
    const char *nick = nextWord(args);
    const NickRoute route = nick ? routeToNick(lsdb, nick) : NickRoute{-1, 0};
    if (route.nextHop < 0) return answer("NONE");
    char text[ANSWER_SIZE];
    std::snprintf(text, sizeof text, "OK %lu %d", static_cast<unsigned long>(lsdb.nodes[route.nextHop].id),
                  route.hops);
    answer(text);
}

void answerNextHops(char *&args)
{
    const char *src = nextWord(args);
    const char *chan = src ? nextWord(args) : nullptr;
    uint32_t srcId = 0;
    const int srcIndex = src && readNodeNumber(src, srcId) ? nodeIndex(lsdb, srcId) : -1;
    int hops[MAX_NODES];
    const int count = chan ? channelNextHops(lsdb, srcIndex, chan, hops) : -1;
    if (count < 0) return answer("NONE");
    char text[ANSWER_SIZE] = "OK";
    for (int i = 0; i < count; ++i) {
        const size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof text - used, " %lu", static_cast<unsigned long>(lsdb.nodes[hops[i]].id));
    }
    answer(text);
}

using RequestHandler = void (*)(char *&args);

struct RequestRow {
    const char *word;
    RequestHandler handler;
};

constexpr RequestRow REQUESTS[] = {
    {"ADDUSER",    addUser},
    {"REMOVEUSER", removeUser},
    {"ADDCHAN",    addChan},
    {"REMOVECHAN", removeChan},
    {"NEXTHOP",    answerNextHop},
    {"NEXTHOPS",   answerNextHops},
};

void takeLine(char *line, size_t length)
{
    line[length] = '\0';
    if (length > 0 && line[length - 1] == '\r') line[length - 1] = '\0';
    handleRequest(line);
}

// Cuts what has arrived into lines. A line too long for the buffer is handled as far as it fits
// and the rest dropped up to its LF: were it a request, it still gets its one answer.
void frameLines(const char *data, size_t length)
{
    for (size_t i = 0; i < length && serverLink.sock >= 0; ++i) {
        const char c = data[i];
        if (c == '\n') {
            if (!serverLink.skipping) takeLine(serverLink.pending, serverLink.pendingLength);
            serverLink.pendingLength = 0;
            serverLink.skipping = false;
        } else if (!serverLink.skipping) {
            serverLink.pending[serverLink.pendingLength++] = c;
            if (serverLink.pendingLength == REQUEST_SIZE - 1) {
                takeLine(serverLink.pending, serverLink.pendingLength);
                serverLink.pendingLength = 0;
                serverLink.skipping = true;
            }
        }
    }
}

}  // namespace

void startServerLink(int listenSock)
{
    serverLink = ServerLink{};
    serverLink.listener = listenSock;
}

int serverListener() { return serverLink.listener; }
int serverLinkSock() { return serverLink.sock; }

void acceptServer()
{
    const int fd = accept(serverLink.listener, nullptr, nullptr);
    if (fd < 0) return;  // the connection went away before it was taken
    if (fd >= FD_SETSIZE) {
        close(fd);
        return;
    }
    dropLink("a new server link replaced it");
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &SEND_TIMEOUT, sizeof SEND_TIMEOUT);
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    serverLink.sock = fd;
    trace("server linked\n");
}

void readServer()
{
    char data[REQUEST_SIZE];
    const ssize_t n = recv(serverLink.sock, data, sizeof data, 0);
    if (n <= 0) return dropLink(n == 0 ? "the server closed it" : "read failed");
    frameLines(data, static_cast<size_t>(n));
}

void handleRequest(char *line)
{
    trace("request: %s\n", line);
    char *pos = line;
    const char *word = nextWord(pos);
    if (!word) return;
    for (const RequestRow &row : REQUESTS)
        if (std::strcmp(row.word, word) == 0) return row.handler(pos);
    trace("ignored an unknown request\n");
}
