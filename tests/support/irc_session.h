// A fresh node with the daemon link and all four client slots on socketpairs, driven line by line
// through parseCmd, and the exact lines its replies and notices should be.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/connections.h"
#include "core/server.h"
#include "irc/channels.h"
#include "irc/dispatch.h"
#include "routing/pending_queue.h"
#include "support/client_end.h"
#include "support/resolver_stub.h"
#include "support/tables.h"

namespace irctest {

inline std::string crlf(const std::string &text) { return text + "\r\n"; }
inline std::string numeric(const std::string &rest) { return crlf(":testhost " + rest); }

// What registerUser gives every user, so that each field of a notice shows where it came from.
inline std::string userNameOf(const std::string &nick) { return nick + "_u"; }
inline std::string realNameOf(const std::string &nick) { return "Real " + nick + " "; }

inline std::string motd(const std::string &nick)
{
    return numeric("375 " + nick + " :- testhost Message of the day - ") +
           numeric("372 " + nick + " :- Welcome to Halvern IRC Server v0.1") +
           numeric("376 " + nick + " :End of /MOTD command");
}

inline std::string leftNotice(const std::string &nick, const std::string &host = STUB_CLIENT_HOST)
{
    return crlf(":" + nick + "!" + userNameOf(nick) + "@" + host + " QUIT :" + nick + " has left the channel");
}

inline std::string joinLine(const std::string &nick, const std::string &channel)
{
    return crlf(":" + nick + " JOIN " + channel);
}

// The requester's own replies to a JOIN that let it in: its JOIN line, then the names.
inline std::string joinReplies(const std::string &nick, const std::string &channel, const std::string &names)
{
    return joinLine(nick, channel) + numeric("353 " + nick + " = " + channel + " :" + names) +
           numeric("366 " + nick + " " + channel + " :End of /NAMES list");
}

inline std::vector<std::string> membersOf(int roomSlot)
{
    std::vector<std::string> names;
    for (int i = 0; i < rooms[roomSlot].userCount; ++i) names.emplace_back(rooms[roomSlot].users[i]);
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

// A loopback TCP port in place of a neighbour's IRC port. The node's forwarding connections are
// connected, written and closed before the call that makes them returns, so they wait complete
// in the backlog until take() accepts them. Without listen() the port is bound but refuses,
// and stays reserved so that no other socket takes it meanwhile.
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
        if (fd_ >= 0) ::close(fd_);
    }
    uint16_t port() const { return port_; }

    // What each connection that has come in carried, read to its end, in order of arrival. Waits
    // up to half a second for each of the `expected` first ones; any more are already complete in
    // the backlog by then, so a glance suffices for them.
    std::vector<std::string> take(size_t expected = 0)
    {
        std::vector<std::string> got;
        for (int round = 0; round < 64; ++round) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, got.size() < expected ? 500 : 1) <= 0) break;
            const int peer = ::accept(fd_, nullptr, nullptr);
            if (peer < 0) break;
            got.push_back(readToEnd(peer));
            ::close(peer);
        }
        return got;
    }

private:
    // A connection the node left open shows as such in what it carried.
    static std::string readToEnd(int peer)
    {
        std::string bytes;
        for (int round = 0; round < 64; ++round) {
            pollfd p{peer, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) break;
            char chunk[4096];
            const ssize_t n = ::recv(peer, chunk, sizeof chunk, 0);
            if (n == 0) return bytes;
            if (n < 0) break;
            bytes.append(chunk, static_cast<size_t>(n));
        }
        return bytes + "[not closed]";
    }

    int fd_ = -1;
    uint16_t port_ = 0;
};

class IrcSession : public ::testing::Test {
protected:
    IrcSession() { std::snprintf(connections[DAEMON_SLOT].nick, sizeof connections[DAEMON_SLOT].nick, "%s", DAEMON_NICK); }

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
    void addNeighbour(uint32_t nodeID, uint16_t serverPort, uint32_t ipaddr = 0x7f000001)
    {
        ASSERT_LT(neighbors, MAX_NEIGHBORS);
        neighbourEntries[neighbors] = rt_config_entry_t{nodeID, ipaddr, 0, 0, serverPort};
        neighborNodes[neighbors] = &neighbourEntries[neighbors];
        ++neighbors;
    }
    // Channels whose members have no connection: they fill the table, and sends skip them.
    void fakeRoom(int roomSlot, const std::string &name, int members)
    {
        Room &room = rooms[roomSlot];
        std::snprintf(room.name, sizeof room.name, "%s", name.c_str());
        for (int i = 0; i < members; ++i) std::snprintf(room.users[i], sizeof room.users[i], "ghost%d", i);
        room.userCount = members;
        if (host.roomCount < roomSlot) host.roomCount = roomSlot;
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

}  // namespace irctest
