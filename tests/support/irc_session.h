// A fresh node with the daemon link and all four client slots on socketpairs, driven line by line
// through parseCmd, and the exact lines its replies and notices should be.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/admission.h"
#include "core/connections.h"
#include "core/server.h"
#include "irc/channels.h"
#include "irc/dispatch.h"
#include "routing/forwarding.h"
#include "routing/pending_queue.h"
#include "rtlib/rt_args.h"
#include "support/client_end.h"
#include "support/expected_lines.h"
#include "support/resolver_stub.h"
#include "support/tables.h"

namespace irctest {

inline constexpr unsigned LOOPBACK = 0x7f000001;  // 127.0.0.1, where the tests' neighbours live

inline constexpr char SERVER[] = "testhost";  // the node's name in every test of this layer

inline std::string crlf(const std::string &text) { return text + "\r\n"; }
inline std::string numeric(const std::string &rest) { return expected::numeric(SERVER, rest); }

// What registerUser gives every user, so that each field of a notice shows where it came from.
inline std::string userNameOf(const std::string &nick) { return nick + "_u"; }
inline std::string realNameOf(const std::string &nick) { return "Real " + nick + " "; }

inline std::string motd(const std::string &nick) { return expected::motd(SERVER, nick); }
inline std::string noSuchTarget(const std::string &target) { return expected::noSuchTarget(SERVER, target); }
inline std::string routingBusy(const std::string &nick, const std::string &target)
{
    return expected::routingBusy(SERVER, nick, target);
}
inline std::string privmsg(const std::string &from, const std::string &to, const std::string &text)
{
    return expected::privmsg(from, to, text);
}
inline std::string forwardLine(const std::string &src, const std::string &from, const std::string &to,
                               const std::string &text)
{
    return expected::forward(src, from, to, text);
}

// One case of a table-driven test: the line a slot sends, and what that slot is answered.
struct ReplyRow {
    int slot;
    const char *line;
    std::string expected;
};

// The full prefix the client profile gives a user registered by registerUser.
inline std::string prefixOf(const std::string &nick) { return nick + "!" + userNameOf(nick) + "@" + STUB_CLIENT_HOST; }

inline std::string leftNotice(const std::string &nick, const std::string &host = STUB_CLIENT_HOST)
{
    return expected::leftNotice(nick + "!" + userNameOf(nick) + "@" + host, nick);
}

inline std::string joinLine(const std::string &nick, const std::string &channel) { return expected::join(nick, channel); }

// The requester's own replies to a JOIN that let it in: its JOIN line, then the names.
inline std::string joinReplies(const std::string &nick, const std::string &channel, const std::string &names)
{
    return joinLine(nick, channel) + expected::namesLine(SERVER, nick, channel, names) +
           expected::namesEnd(SERVER, nick, channel);
}

// The nicks of the channel's members here, in the order of their entries; none when it does not exist.
inline std::vector<std::string> membersOf(const std::string &channel)
{
    std::vector<std::string> names;
    const int roomSlot = checkChannel(channel.c_str());
    for (int i = 0; roomSlot > 0 && i < rooms[roomSlot].userCount; ++i)
        names.emplace_back(connections[rooms[roomSlot].users[i]].nick);
    return names;
}

// The channels the user in `slot` is in, in order of joining.
inline std::vector<std::string> channelsOf(int slot)
{
    std::vector<std::string> names;
    for (int i = 0; i < joinCount(slot); ++i) names.emplace_back(rooms[joinedRooms(slot)[i]].name);
    return names;
}

// The channels that exist here, oldest first.
inline std::vector<std::string> channelNames()
{
    std::vector<std::string> names;
    for (int n = 1; n <= host.roomCount; ++n) names.emplace_back(rooms[roomInOrder(n)].name);
    return names;
}

// How many messages wait for the daemon's answers, read from the queue's two indexes.
inline int waitingCount()
{
    const int span = (msgQueue.nextSlot - msgQueue.replySlot + MSG_QUEUE_SLOTS) % MSG_QUEUE_SLOTS;
    return span == 0 && msgQueue.slots[msgQueue.replySlot].pending > 0 ? MSG_QUEUE_SLOTS : span;
}

// The queue slot holds this waiting message, field by field.
inline void expectQueued(int queueSlot, int owner, const char *target, const char *text, const char *sender,
                         const char *srcNode)
{
    SCOPED_TRACE("queue slot " + std::to_string(queueSlot));
    const PendingMessage &m = msgQueue.slots[queueSlot];
    EXPECT_EQ(m.owner, owner);
    EXPECT_STREQ(m.target, target);
    EXPECT_STREQ(m.text, text);
    EXPECT_STREQ(m.sender, sender);
    EXPECT_STREQ(m.srcNode, srcNode);
    EXPECT_EQ(m.pending, 1);
}

// One pass of the forwarding's part of the loop: its connects and exchanges move on.
inline void pumpForwarding(int waitMs = 2)
{
    beginWatching();
    const Poller forwarding = forwardingPoller();
    forwarding.beforeWait();
    (void)waitReady(waitMs);
    forwarding.afterWait();
}

// Every line a test left for a hop is sent or given up, so that the next test in the same process,
// whose hops take the same places in the forwarding's tables, finds them idle. With no patience a
// failure ends a line at once; a hop backing off is tried again within a quarter of a second, and
// a receiver that never answers ends its exchange within five. Lines parked under the patience a
// test set end within it.
inline bool settleForwarding()
{
    argList.neighbor_timeout = 0;
    argList.advertisement_cycle_time = 0;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        pumpForwarding();
        const auto spent = std::chrono::steady_clock::now() - start;
        if (spent > std::chrono::milliseconds(300) && heldForHops() == 0) return true;
        if (spent > std::chrono::seconds(6)) return false;
    }
}

// A loopback TCP port in place of a neighbour's IRC port. The node's connections complete in the
// backlog and wait there until take() accepts them. Without listen() the port is bound but
// refuses, and stays reserved so that no other socket takes it meanwhile; startListening() then
// stands for a neighbour that has come back.
class HopListener {
public:
    explicit HopListener(bool listening = true)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) std::perror("HopListener bind");
        if (listening && ::listen(fd_, 16) != 0) std::perror("HopListener listen");
        socklen_t len = sizeof addr;
        if (::getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) std::perror("HopListener getsockname");
        port_ = ntohs(addr.sin_port);
    }
    HopListener(const HopListener &) = delete;
    HopListener &operator=(const HopListener &) = delete;
    ~HopListener()
    {
        for (int peer : held_) ::close(peer);
        if (fd_ >= 0) ::close(fd_);
    }
    uint16_t port() const { return port_; }
    void startListening()
    {
        if (::listen(fd_, 16) != 0) std::perror("HopListener listen");
    }

    // What a receiver does once it has read the line: answers one byte and closes, as a node
    // does; closes without a word, as a node built without the byte does; resets; or holds the
    // connection open, unanswered or after its byte, until the listener goes.
    enum class Answer { Taken, Declined, CloseOnly, Reset, Hold, TakenThenHold };

    // The line each connection that has come in carried, in order of arrival; each connection is
    // answered once its line is read, so the sender goes on with its next line. The node's
    // forwarding is driven meanwhile, as its loop would. Waits up to about two seconds for the
    // `expected` first ones.
    std::vector<std::string> take(size_t expected = 0, Answer answer = Answer::Taken)
    {
        std::vector<std::string> got;
        for (int round = 0; round < 400; ++round) {
            pumpForwarding();
            const int peer = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (peer >= 0) {
                got.push_back(readLine(peer));
                respond(peer, answer);
                continue;
            }
            if (got.size() >= expected && round >= 3) break;
        }
        return got;
    }

private:
    void respond(int peer, Answer answer)
    {
        if (answer != Answer::Hold && answer != Answer::CloseOnly && answer != Answer::Reset) {
            const char byte = answer == Answer::Declined ? LINE_DECLINED_BYTE : LINE_TAKEN_BYTE;
            (void)::send(peer, &byte, 1, MSG_NOSIGNAL);
        }
        if (answer == Answer::Hold || answer == Answer::TakenThenHold) return held_.push_back(peer);
        if (answer == Answer::Reset) {
            const linger now{1, 0};
            (void)::setsockopt(peer, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        }
        ::close(peer);
    }

    // A line the node did not finish shows as such.
    static std::string readLine(int peer)
    {
        std::string bytes;
        for (int round = 0; round < 200; ++round) {
            char chunk[4096];
            const ssize_t n = ::recv(peer, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) bytes.append(chunk, static_cast<size_t>(n));
            if (bytes.find('\n') != std::string::npos) return bytes;
            if (n == 0) break;
            pumpForwarding();
        }
        return bytes + "[no line end]";
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::vector<int> held_;
};

class IrcSession : public ::testing::Test {
protected:
    IrcSession() { setNick(DAEMON_SLOT, DAEMON_NICK); }
    // Runs while the test's listeners and client ends still exist, so each line left can end.
    void TearDown() override
    {
        if (neighbors > 0) {
            EXPECT_TRUE(settleForwarding()) << "forwarding lines were left behind";
        }
    }
    // Drives the forwarding, as the loop would, until the slot's peer has got `lines` lines or
    // about three seconds have passed; returns what it got.
    std::string awaitLines(int slot, size_t lines)
    {
        std::string got = client(slot).take();
        for (int round = 0; round < 1500 && static_cast<size_t>(std::count(got.begin(), got.end(), '\n')) < lines; ++round) {
            pumpForwarding();
            got += client(slot).take();
        }
        return got;
    }

    // A line that arrives as the first line of a fresh connection from `from` (IPv4, host order).
    FirstLine takeLine(const std::string &text, unsigned from = LOOPBACK)
    {
        std::vector<char> line(text.begin(), text.end());
        line.push_back('\0');
        return takeForwardLine(line.data(), from);
    }
    // 1 when the connection ends as another node's, whatever became of its line; 0 for a client.
    int forwardFrom(const std::string &text, unsigned from = LOOPBACK)
    {
        return takeLine(text, from) == FirstLine::Client ? 0 : 1;
    }

    // The line as the first of a fresh connection from `from`, read as the loop reads it: what the
    // node wrote back before it closed the connection.
    std::string answerTo(const std::string &line, unsigned from = LOOPBACK)
    {
        int pair[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        freshConnections[0] = FreshConnection{pair[1], from, "127.0.0.1", {}, 0, 0};
        const std::string wire = line + "\r\n";
        EXPECT_EQ(::send(pair[0], wire.data(), wire.size(), 0), static_cast<ssize_t>(wire.size()));
        readFresh(0);
        EXPECT_EQ(freshConnections[0].sock, 0) << "the connection ends with its first line";
        std::string got;
        char chunk[8];
        ssize_t n;
        while ((n = ::recv(pair[0], chunk, sizeof chunk, MSG_DONTWAIT)) > 0) got.append(chunk, static_cast<size_t>(n));
        EXPECT_EQ(n, 0) << "closed after its answer";
        ::close(pair[0]);
        return got;
    }

    // parseCmd cuts its line up in place, so each call gets its own writable copy.
    void parse(int slot, const std::string &text)
    {
        std::vector<char> line(text.begin(), text.end());
        line.push_back('\0');
        parseCmd(line.data(), slot);
    }
    std::string reply(int slot, const std::string &text)
    {
        parse(slot, text);
        return client(slot).take();
    }
    ClientEnd &client(int slot) { return *ends[slot]; }

    // Everything sent so far to any peer is thrown away.
    void drain()
    {
        for (ClientEnd *end : ends) end->take();
    }
    void registerUser(int slot, const std::string &nick)
    {
        parse(slot, "NICK " + nick);
        if (replyMode == Replies::Client) parse(DAEMON_SLOT, "NONE");  // the profile asks whether another node has it
        parse(slot, "USER " + userNameOf(nick) + " somehost someserver :" + realNameOf(nick));
        ASSERT_EQ(connections[slot].registered, 1) << nick;
        drain();
    }
    void joinAs(int slot, const std::string &channel)
    {
        parse(slot, "JOIN " + channel);
        drain();
    }
    // The slot's peer leaves and a new one takes the slot, as the next accept would hand it out.
    // The fixture's end for the slot is left at end of stream; the new end is the caller's.
    ClientEnd takeOverSlot(int slot)
    {
        resetConnection(slot);
        ++connections[slot].serial;
        return attachClient(slot);
    }
    // A node of the network at a loopback port, as start-up puts every other node of the file.
    void addNeighbour(uint32_t nodeID, uint16_t serverPort, uint32_t ipaddr = LOOPBACK)
    {
        ASSERT_LT(neighbors, MAX_NEIGHBORS);
        neighbourEntries[neighbors] = rt_config_entry_t{nodeID, ipaddr, 0, 0, serverPort};
        neighborNodes[neighbors] = &neighbourEntries[neighbors];
        ++neighbors;
    }
    // The client profile, with these channel tables: it takes the place of the exact replies'
    // before the test's first line.
    void takeProfile(const ChannelLimits &limits = PROFILE_LIMITS)
    {
        replyMode = Replies::Client;
        sizeChannelTables(limits, MAX_NEIGHBORS);
    }

    FreshTables tables{"testhost"};
    ClientEnd daemon = attachClient(DAEMON_SLOT);
    ClientEnd one = attachClient(1);
    ClientEnd two = attachClient(2);
    ClientEnd three = attachClient(3);
    ClientEnd four = attachClient(4);
    ClientEnd *ends[MAX_CONNECTIONS] = {&daemon, &one, &two, &three, &four};
    rt_config_entry_t neighbourEntries[MAX_NEIGHBORS] = {};
};

// Node 1 in the client profile beside node 2, a listener the test reads: bob (slot 1) opened #a,
// carol (slot 2) is in no channel, and what reached node 2 on the way is taken.
class TwoNodeSession : public IrcSession {
protected:
    TwoNodeSession()
    {
        takeProfile();
        curr_nodeID = 1;
        addNeighbour(2, node2.port());
        registerUser(1, "bob");
        registerUser(2, "carol");
        joinAs(1, "#a");
        toNode2();
        node2.take(1);
    }
    // Node 2 is the next hop of everything asked about so far.
    void toNode2()
    {
        while (messageWaiting()) parse(DAEMON_SLOT, "OK 2");
        daemon.take();
    }
    HopListener node2;
};

}  // namespace irctest
