// The status report, one fact per line, built from the flooding state, the database and the routes.
#include "status.h"

#include <sys/socket.h>

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string_view>

#include "../core/clock.h"
#include "auth.h"
#include "flooding.h"
#include "routes.h"

namespace {

constexpr int STATUS_LINE_SIZE = 1024;  // the longest list of links fits; names are cut with "..."

constexpr char FMT_HEAD[] = "status of node %lu: datagrams %s, sent %llu, received %llu, refused %llu";
constexpr char FMT_LINK[] = "link %lu %s, last heard %s, refused %llu";
constexpr char FMT_DRIFT[] = "drift: node %lu has a different configuration";
constexpr char FMT_NODE[] = "node %lu seq %lu age %lld ms%s";
constexpr char FMT_NODE_NAMES[] = "node %lu names: %d users, %d channels in %d fragments";
constexpr char FMT_ROUTE[] = "route %lu next %lu hops %d";

// One report line; a peer that stopped reading ends the report, not the daemon.
class StatusWriter {
public:
    explicit StatusWriter(int fd) : fd_(fd) {}
    __attribute__((format(printf, 2, 3))) void line(const char *fmt, ...)
    {
        if (failed_) return;
        char text[STATUS_LINE_SIZE] = {};
        va_list ap;
        va_start(ap, fmt);
        const int n = std::vsnprintf(text, sizeof text - 1, fmt, ap);
        va_end(ap);
        const size_t length = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof text - 2);
        text[length] = '\n';
        failed_ = send(fd_, text, length + 1, MSG_NOSIGNAL) != static_cast<ssize_t>(length + 1);
    }

private:
    int fd_;
    bool failed_ = false;
};

// Appends " word" while it fits; a list cut short says so with a trailing "...".
class ListText {
public:
    void add(std::string_view word)
    {
        if (cut_) return;
        const size_t used = std::strlen(text_);
        if (used + word.size() + 5 >= sizeof text_) {
            std::snprintf(text_ + used, sizeof text_ - used, " ...");
            cut_ = true;
            return;
        }
        std::snprintf(text_ + used, sizeof text_ - used, " %.*s", static_cast<int>(word.size()), word.data());
    }
    void addNumber(unsigned long n)
    {
        char word[16];
        std::snprintf(word, sizeof word, "%lu", n);
        add(word);
    }
    const char *text() const { return text_; }

private:
    char text_[STATUS_LINE_SIZE - 64] = {};
    bool cut_ = false;
};

unsigned long idOf(int index) { return static_cast<unsigned long>(lsdb.nodes[index].id); }

void writeLinks(StatusWriter &out, int64_t now)
{
    for (int i = 0; i < neighbours.count; ++i) {
        const Neighbour &n = neighbours.entries[i];
        char heard[32] = "never";
        if (n.lastHeard >= 0) std::snprintf(heard, sizeof heard, "%lld ms ago", static_cast<long long>(now - n.lastHeard));
        out.line(FMT_LINK, idOf(n.node), n.up ? "up" : "down", heard, static_cast<unsigned long long>(n.refused));
    }
    for (int i = 0; i < neighbours.count; ++i)
        if (neighbours.entries[i].configDiffers) out.line(FMT_DRIFT, idOf(neighbours.entries[i].node));
    for (int i = 0; i < lsdb.count; ++i)
        if (strangerConfigDiffers(i)) out.line(FMT_DRIFT, idOf(i));
}

void writeNode(StatusWriter &out, int index, int64_t now)
{
    const NodeState &node = lsdb.nodes[index];
    ListText links, users, chans;
    for (int i = 0; i < node.linkCount; ++i) links.addNumber(node.links[i]);
    for (int fragment = 0; fragment < MAX_FRAGMENTS; ++fragment) {
        node.users.forEachIn(fragment, [&](std::string_view name) { users.add(name); });
        node.chans.forEachIn(fragment, [&](std::string_view name) { chans.add(name); });
    }
    const long long age = index == lsdb.self ? 0 : static_cast<long long>(now - node.installedAt);
    out.line(FMT_NODE, idOf(index), static_cast<unsigned long>(node.fragments[0].seq), age,
             index == lsdb.self ? " (this node)" : "");
    out.line(FMT_NODE_NAMES, idOf(index), node.users.count(), node.chans.count(), node.fragmentsHeld);
    out.line("node %lu links:%s", idOf(index), links.text());
    out.line("node %lu users:%s", idOf(index), users.text());
    out.line("node %lu channels:%s", idOf(index), chans.text());
}

void writeRoutes(StatusWriter &out)
{
    SpanningTree fromSelf;
    shortestPathTree(lsdb, lsdb.self, fromSelf);
    for (int v = 0; v < lsdb.count; ++v) {
        if (v == lsdb.self || fromSelf.dist[v] < 0) continue;
        out.line(FMT_ROUTE, idOf(v), idOf(firstHopTo(lsdb, v)), fromSelf.dist[v]);
    }
}

}  // namespace

void writeStatus(int fd)
{
    const int64_t now = nowMillis();
    const FloodStats &stats = floodStats();
    StatusWriter out(fd);
    out.line(FMT_HEAD, idOf(lsdb.self), authEnabled() ? "authenticated" : "not authenticated",
             static_cast<unsigned long long>(stats.sent), static_cast<unsigned long long>(stats.received),
             static_cast<unsigned long long>(stats.refused));
    writeLinks(out, now);
    for (int i = 0; i < lsdb.count; ++i)
        if (lsdb.nodes[i].known) writeNode(out, i, now);
    writeRoutes(out);
    out.line("end");
}
