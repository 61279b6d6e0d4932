// A node in-process for the server's fuzz targets: the daemon link and the four client slots on
// socketpairs, two neighbours whose IRC ports are listeners here, and the node's invariants,
// checked on everything it sent and on its tables after every input.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "core/admission.h"
#include "core/connections.h"
#include "core/framing.h"
#include "core/server.h"
#include "irc/channels.h"
#include "irc/dispatch.h"
#include "routing/daemon_link.h"
#include "routing/forwarding.h"
#include "routing/pending_queue.h"
#include "support/tables.h"
#include "tests/fuzz/fuzz_check.h"

namespace fuzznode {

inline constexpr uint32_t OWN_NODE = 1;
inline constexpr uint32_t LOOPBACK = 0x7f000001;
inline constexpr int HOP_COUNT = 2;  // nodes 2 and 3, both on 127.0.0.1
inline constexpr unsigned STRANGER = 0x0a000001;  // 10.0.0.1, no node of the configuration

// Splits text at spaces; empty words (two spaces in a row) come out empty, to be refused.
inline int splitWords(std::string_view line, std::string_view (&words)[8])
{
    int count = 0;
    size_t start = 0;
    for (;;) {
        const size_t space = line.find(' ', start);
        if (count == 8) return 9;
        words[count++] = line.substr(start, space == std::string_view::npos ? std::string_view::npos : space - start);
        if (space == std::string_view::npos) return count;
        start = space + 1;
    }
}

inline bool isRoutableWord(std::string_view w)
{
    if (w.empty()) return false;
    for (unsigned char c : w)
        if (c <= ' ' || c == 0x7f) return false;
    return true;
}

inline bool isDecimal(std::string_view w)
{
    if (w.empty()) return false;
    for (char c : w)
        if (c < '0' || c > '9') return false;
    return true;
}

// One request the daemon understands, with its exact number of words.
inline void checkDaemonRequest(std::string_view line)
{
    std::string_view w[8];
    const int n = splitWords(line, w);
    const bool oneArgument = w[0] == "ADDUSER" || w[0] == "REMOVEUSER" || w[0] == "ADDCHAN" ||
                             w[0] == "REMOVECHAN" || w[0] == "NEXTHOP";
    // A lookup of a name the daemons do not carry (DEL in it) is still answered, with NONE and so a
    // 401; an announcement of one would be dropped without a word, so only lookups may hold one.
    const bool lookup = w[0] == "NEXTHOP" || w[0] == "NEXTHOPS";
    const auto wellFormed = [lookup](std::string_view word) {
        if (!lookup) return isRoutableWord(word);
        for (unsigned char c : word)
            if (c <= ' ') return false;
        return !word.empty();
    };
    if (oneArgument) {
        FUZZ_CHECK(n == 2 && wellFormed(w[1]), "daemon request with a bad argument: %s", printable(line).c_str());
        if (w[0] == "ADDCHAN" || w[0] == "REMOVECHAN")
            FUZZ_CHECK(isChannelName(std::string(w[1]).c_str()), "channel request without a channel: %s",
                       printable(line).c_str());
        return;
    }
    FUZZ_CHECK(w[0] == "NEXTHOPS", "unknown daemon request: %s", printable(line).c_str());
    FUZZ_CHECK(n == 3 && isDecimal(w[1]) && wellFormed(w[2]) && isChannelName(std::string(w[2]).c_str()),
               "malformed NEXTHOPS: %s", printable(line).c_str());
}

// Every line ends in CR LF, fits 512 bytes with it, and holds no other CR, LF or NUL.
template <typename EachLine>
void checkWireLines(std::string_view bytes, const char *peer, EachLine each)
{
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t lf = bytes.find('\n', start);
        FUZZ_CHECK(lf != std::string_view::npos, "%s got a line without its LF: %s", peer,
                   printable(bytes.substr(start)).c_str());
        const std::string_view line = bytes.substr(start, lf + 1 - start);
        FUZZ_CHECK(line.size() >= 2 && line[line.size() - 2] == '\r', "%s got a line without CR LF: %s", peer,
                   printable(line).c_str());
        FUZZ_CHECK(line.size() <= LINE_SIZE, "%s got a line of %zu bytes: %s", peer, line.size(), printable(line).c_str());
        const std::string_view text = line.substr(0, line.size() - 2);
        FUZZ_CHECK(text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos,
                   "%s got a line with CR, LF or NUL inside: %s", peer, printable(line).c_str());
        FUZZ_CHECK(!text.empty(), "%s got an empty line", peer);
        each(text);
        start = lf + 1;
    }
}

inline int registeredSlotOf(const char *nick)
{
    for (int s = FIRST_CLIENT_SLOT; s < MAX_CONNECTIONS; ++s)
        if (connections[s].sock != 0 && connections[s].registered && std::strcmp(connections[s].nick, nick) == 0) return s;
    return -1;
}

// The channel table, the connection table and the routing queue agree with each other.
inline void checkTables()
{
    FUZZ_CHECK(host.roomCount >= 0 && host.roomCount <= channelLimits.channels, "roomCount %d", host.roomCount);
    int inUse = 0;
    for (int r = 1; r <= channelLimits.channels; ++r) {
        const Room &room = rooms[r];
        if (room.userCount == 0) {
            FUZZ_CHECK(room.name[0] == '\0', "free room slot %d has a name", r);
            continue;
        }
        ++inUse;
        FUZZ_CHECK(isChannelName(room.name) && strnlen(room.name, LINE_SIZE) <= CHANNEL_NAME_MAX,
                   "room %d has a bad name: %s", r, printable(room.name).c_str());
        FUZZ_CHECK(checkChannel(room.name) == r, "room %d's name %s is also another room's", r, room.name);
        FUZZ_CHECK(room.userCount <= channelLimits.members, "room %s has %d members", room.name, room.userCount);
        for (int i = 0; i < room.userCount; ++i) {
            const int s = room.users[i];
            FUZZ_CHECK(s >= FIRST_CLIENT_SLOT && s < MAX_CONNECTIONS && connections[s].sock != 0 && connections[s].registered,
                       "member %d of %s is no registered client", s, room.name);
            FUZZ_CHECK(isMember(r, s), "member %s of %s does not count it among its channels", connections[s].nick, room.name);
            for (int j = 0; j < i; ++j) FUZZ_CHECK(room.users[i] != room.users[j], "slot %d is twice in %s", s, room.name);
        }
    }
    FUZZ_CHECK(inUse == host.roomCount, "%d rooms in use, roomCount %d", inUse, host.roomCount);
    for (int s = FIRST_CLIENT_SLOT; s < MAX_CONNECTIONS; ++s) {
        const Connection &c = connections[s];
        FUZZ_CHECK(joinCount(s) >= 0 && joinCount(s) <= channelLimits.joins, "slot %d is in %d channels", s, joinCount(s));
        if (c.sock == 0 || !c.registered) {
            FUZZ_CHECK(joinCount(s) == 0, "slot %d is in a channel without a registered user", s);
            continue;
        }
        FUZZ_CHECK(c.nick[0] != '\0', "slot %d is registered without a nick", s);
        FUZZ_CHECK(registeredSlotOf(c.nick) == s, "nick %s is held by two slots", c.nick);
        for (int i = 0; i < joinCount(s); ++i) {
            const Room &room = rooms[joinedRooms(s)[i]];
            bool listed = false;
            for (int m = 0; m < room.userCount; ++m) listed = listed || room.users[m] == s;
            FUZZ_CHECK(listed, "%s is in %s but not among its members", c.nick, printable(room.name).c_str());
        }
    }
    FUZZ_CHECK(msgQueue.nextSlot >= 0 && msgQueue.nextSlot < MSG_QUEUE_SLOTS && msgQueue.replySlot >= 0 &&
                   msgQueue.replySlot < MSG_QUEUE_SLOTS,
               "msgQueue indexes %d and %d", msgQueue.nextSlot, msgQueue.replySlot);
    for (int i = 0; i < MSG_QUEUE_SLOTS; ++i) {
        const PendingMessage &m = msgQueue.slots[i];
        FUZZ_CHECK(m.pending == 0 || m.pending == 1, "queue slot %d pending %d", i, m.pending);
        if (!m.pending) continue;
        FUZZ_CHECK(m.owner == NO_SLOT || (m.owner >= FIRST_CLIENT_SLOT && m.owner < MAX_CONNECTIONS),
                   "queue slot %d owned by %d", i, m.owner);
        // Waiting messages lie between the indexes, so none of them is skipped or answered twice.
        const int span = (msgQueue.nextSlot - msgQueue.replySlot + MSG_QUEUE_SLOTS) % MSG_QUEUE_SLOTS;
        const int offset = (i - msgQueue.replySlot + MSG_QUEUE_SLOTS) % MSG_QUEUE_SLOTS;
        FUZZ_CHECK(offset < span || span == 0, "waiting message in slot %d lies outside %d..%d", i,
                   msgQueue.replySlot, msgQueue.nextSlot);
    }
}

// The neighbours' IRC ports: they take each FORWARD line and close, as a node does.
class HopListeners {
public:
    HopListeners()
    {
        for (int n = 0; n < HOP_COUNT; ++n) {
            fds_[n] = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(LOOPBACK);
            socklen_t len = sizeof addr;
            if (::bind(fds_[n], reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fds_[n], 64) != 0 ||
                ::getsockname(fds_[n], reinterpret_cast<sockaddr *>(&addr), &len) != 0)
                invariantBroken("cannot listen for the neighbours on loopback");
            entries_[n] = rt_config_entry_t{static_cast<uint32_t>(n + 2), LOOPBACK, 0, 0, ntohs(addr.sin_port)};
        }
    }
    void install()
    {
        for (int n = 0; n < HOP_COUNT; ++n) neighborNodes[n] = &entries_[n];
        neighbors = HOP_COUNT;
    }
    // Drives the forwarding as the loop would until every queued line has been taken; each one
    // must be a whole FORWARD line.
    void settle()
    {
        for (int round = 0; round < 2000; ++round) {
            beginWatching();
            const Poller forwarding = forwardingPoller();
            forwarding.beforeWait();
            (void)waitReady(1);
            forwarding.afterWait();
            const bool took = takeLines();
            if (!took && heldForHops() == 0) return;
        }
        invariantBroken("forwarding lines were still queued after 2000 passes");
    }

private:
    // Takes new connections and reads the open ones without waiting: the node runs on this thread.
    bool takeLines()
    {
        bool busy = false;
        for (int fd : fds_)
            for (int peer; (peer = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
                if (open_ == MAX_OPEN) invariantBroken("more than %d FORWARD connections at once", MAX_OPEN);
                peers_[open_++] = Peer{peer, {}};
            }
        for (int i = 0; i < open_;) {
            Peer &p = peers_[i];
            char chunk[1024];
            ssize_t got;
            while ((got = ::recv(p.fd, chunk, sizeof chunk, 0)) > 0) p.line.append(chunk, static_cast<size_t>(got));
            const bool ended = got == 0 || p.line.find('\n') != std::string::npos;
            busy = true;
            if (!ended) {
                ++i;
                continue;
            }
            checkWireLines(p.line, "a neighbour", [](std::string_view text) {
                FUZZ_CHECK(text.substr(0, 8) == "FORWARD ", "a neighbour got %s", printable(text).c_str());
            });
            FUZZ_CHECK(std::count(p.line.begin(), p.line.end(), '\n') == 1, "one connection carried %s",
                       printable(p.line).c_str());
            ::close(p.fd);
            peers_[i] = std::move(peers_[--open_]);
        }
        return busy;
    }

    struct Peer {
        int fd;
        std::string line;
    };
    static constexpr int MAX_OPEN = 64;
    Peer peers_[MAX_OPEN];
    int open_ = 0;
    int fds_[HOP_COUNT];
    rt_config_entry_t entries_[HOP_COUNT];
};

// The node with every slot on a socketpair; what each peer got is kept and checked.
class Node {
public:
    // Slots past lastSlot stay free, for fresh connections that turn out to be clients. With
    // `profile` the node speaks the client profile, its channel tables of those sizes.
    explicit Node(int lastSlot = MAX_CONNECTIONS - 1, const ChannelLimits *profile = nullptr)
    {
        resetTables("fuzzhost");
        if (profile) {
            replyMode = Replies::Client;
            sizeChannelTables(*profile, MAX_NEIGHBORS);
        }
        curr_nodeID = OWN_NODE;
        hops().install();
        for (int slot = 0; slot < MAX_CONNECTIONS; ++slot) {
            if (slot <= lastSlot) attach(slot);
            else peer_[slot] = -1;
        }
    }
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;
    ~Node()
    {
        check();
        hops().settle();
        collect();
        check();
        for (int slot = 0; slot < MAX_CONNECTIONS; ++slot) {
            if (connections[slot].sock != 0) ::close(connections[slot].sock);
            connections[slot].sock = 0;
            if (peer_[slot] >= 0) ::close(peer_[slot]);
        }
        for (int entry = 0; entry < FRESH_SLOTS; ++entry)
            if (freshConnections[entry].sock != 0) ::close(freshConnections[entry].sock);
        clearNeighbours();
    }

    // Bytes from the slot's peer, read by the node as its loop would; a slot that was closed is
    // taken by a new peer first, as the next accept or daemon link would.
    void feed(int slot, std::string_view bytes)
    {
        if (connections[slot].sock == 0) reattach(slot);
        if (!bytes.empty() && ::send(peer_[slot], bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) return;
        pass(slot);
    }
    // The peer ends its side; the node sees the end of stream on its next read.
    void hangUp(int slot)
    {
        if (connections[slot].sock == 0) return;
        ::shutdown(peer_[slot], SHUT_WR);
        pass(slot);
    }
    // One line through parseCmd, as framing hands it on.
    void line(int slot, const char *text)
    {
        char copy[LINE_SIZE] = {};
        std::snprintf(copy, sizeof copy, "%s", text);
        parseCmd(copy, slot);
        dropBrokenPeers();
        collect();
    }

    // A new connection from peerAddr (host order) that sends these bytes: another node's FORWARD,
    // or a client that takes a free slot. A FORWARD from outside the configuration gets nothing.
    void fresh(unsigned peerAddr, std::string_view bytes)
    {
        int entry = 0;
        while (entry < FRESH_SLOTS && freshConnections[entry].sock != 0) ++entry;
        if (entry == FRESH_SLOTS) return;
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) invariantBroken("socketpair failed");
        FreshConnection &f = freshConnections[entry];
        f = FreshConnection{pair[1], peerAddr, "127.0.0.1", {}, 0, 0};
        if (!bytes.empty()) (void)::send(pair[0], bytes.data(), bytes.size(), MSG_NOSIGNAL);
        for (int round = 0; round < 8 && f.sock == pair[1]; ++round) readFresh(entry);
        int admitted = -1;
        for (int slot = FIRST_CLIENT_SLOT; slot < MAX_CONNECTIONS; ++slot)
            if (connections[slot].sock == pair[1]) admitted = slot;
        if (admitted >= 0) {
            if (peer_[admitted] >= 0) ::close(peer_[admitted]);
            peer_[admitted] = pair[0];
        } else {
            ::close(pair[0]);  // a fresh entry still waiting for its line is closed by ~Node
        }
        dropBrokenPeers();
        const size_t sent = collect();
        const bool strangersForward = peerAddr == STRANGER && bytes.substr(0, 8) == "FORWARD ";
        FUZZ_CHECK(!strangersForward || sent == 0, "a FORWARD from outside the network made the node send %zu bytes", sent);
        check();
    }

    // A registered user in the slot, in the channel when one is named.
    void user(int slot, const char *nick, const char *channel = nullptr)
    {
        char text[LINE_SIZE];
        std::snprintf(text, sizeof text, "NICK %s", nick);
        line(slot, text);
        answerEverything();  // the profile asks whether another node has the nick: none has
        std::snprintf(text, sizeof text, "USER %s h s :%s", nick, nick);
        line(slot, text);
        FUZZ_CHECK(connections[slot].registered, "%s did not register", nick);
        if (!channel) return;
        std::snprintf(text, sizeof text, "JOIN %s", channel);
        line(slot, text);
        answerEverything();  // the profile's notices to other nodes: sent nowhere
    }
    // The daemon answers every request waiting with an OK that names no hop.
    void answerEverything()
    {
        while (messageWaiting()) line(DAEMON_SLOT, "OK");
    }

    // Everything queued so far is written, read here and checked; returns how many bytes.
    size_t collect()
    {
        flushOutput();
        size_t total = 0;
        for (int slot = 0; slot < MAX_CONNECTIONS; ++slot) {
            if (peer_[slot] < 0) continue;
            std::string got;
            char chunk[8192];
            for (ssize_t n; (n = ::recv(peer_[slot], chunk, sizeof chunk, MSG_DONTWAIT)) > 0;)
                got.append(chunk, static_cast<size_t>(n));
            checkWireLines(got, slot == DAEMON_SLOT ? "the daemon" : "a client", [slot](std::string_view text) {
                if (slot == DAEMON_SLOT) checkDaemonRequest(text);
            });
            total += got.size();
        }
        return total;
    }
    void check() { checkTables(); }

    static HopListeners &hops()
    {
        static HopListeners listeners;
        return listeners;
    }

private:
    void attach(int slot)
    {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) invariantBroken("socketpair failed");
        // Room for everything one input can make the node write, so that no queue counts as stalled.
        const int room = 1 << 20;
        (void)::setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
        peer_[slot] = pair[0];
        connections[slot].sock = pair[1];
        std::snprintf(connections[slot].ip, sizeof connections[slot].ip, "%s", "127.0.0.1");
        if (slot == DAEMON_SLOT) setNick(slot, DAEMON_NICK);
    }
    void reattach(int slot)
    {
        if (peer_[slot] >= 0) ::close(peer_[slot]);
        ++connections[slot].serial;
        attach(slot);
        // A daemon link that comes back hears of every user and channel again.
        if (slot == DAEMON_SLOT) announceEverything();
    }
    // Reads the slot until nothing is left or the node stops reading it, as passes of the loop would.
    void pass(int slot)
    {
        for (int round = 0; round < 64 && connections[slot].sock != 0 && wantsInput(slot); ++round) {
            int waiting = 0;
            if (::ioctl(connections[slot].sock, FIONREAD, &waiting) != 0) break;
            const unsigned serial = connections[slot].serial;
            recvData(slot);
            dropBrokenPeers();
            collect();
            if (waiting == 0 && connections[slot].serial == serial && connections[slot].sock != 0) break;
        }
        dropBrokenPeers();
        collect();
        check();
    }

    int peer_[MAX_CONNECTIONS] = {};
};

// The input as records (see forEachRecord), each a read by one peer, chosen by its first byte:
// '0' the daemon link, '1' to '4' a client slot (an empty record hangs that peer up), 'F' a new
// connection from another node's address, 'S' one from a stranger; any other byte picks a slot.
inline void runRecords(Node &node, const uint8_t *data, size_t size)
{
    forEachRecord(data, size, [&node](std::string_view record) {
        if (record.empty()) return;
        const unsigned char kind = static_cast<unsigned char>(record[0]);
        const std::string_view bytes = record.substr(1);
        if (kind == 'F' || kind == 'S') return node.fresh(kind == 'F' ? LOOPBACK : STRANGER, bytes);
        const int slot = kind >= '0' && kind <= '4' ? kind - '0' : kind % MAX_CONNECTIONS;
        if (bytes.empty()) node.hangUp(slot);
        else node.feed(slot, bytes);
    });
}

}  // namespace fuzznode
