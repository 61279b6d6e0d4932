// A client of the running node over a real socket, and the lines the node sends to users.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/fake_daemon.h"
#include "support/node_process.h"

namespace qtest {

// What the node's reverse lookup of 127.0.0.1 gives; /etc/hosts answers it, so no DNS query leaves.
inline std::string clientHost()
{
    static const std::string name = [] {
        in_addr addr{};
        inet_pton(AF_INET, "127.0.0.1", &addr);
        const hostent *found = gethostbyaddr(&addr, sizeof addr, AF_INET);
        return std::string(found && found->h_name ? found->h_name : "127.0.0.1");
    }();
    return name;
}

// A numeric or other line from the server itself, CR LF included.
inline std::string fromServer(const std::string &rest) { return ":" + hostName() + " " + rest + "\r\n"; }

struct Client {
    LineSocket sock;
    std::string nick;
    std::string user;  // the first USER parameter
    // Sent with a run of spaces inside; the node keeps each word followed by a single space.
    std::string realSent;
    std::string realKept;

    Client(LineSocket s, const std::string &name)
        : sock(std::move(s)), nick(name), user("u" + name), realSent(":Ms   " + name), realKept("Ms " + name + " ") {}

    void say(const std::string &line) { sock.send(line + "\r\n"); }
    std::string nickLine() const { return "NICK " + nick; }
    std::string userLine() const { return "USER " + user + " 0 * " + realSent; }
    std::string mask() const { return nick + "!" + user + "@" + clientHost(); }
};

inline std::string motdStart(const std::string &nick)
{
    return fromServer("375 " + nick + " :- " + hostName() + " Message of the day - ");
}
inline std::string motdBody(const std::string &nick) { return fromServer("372 " + nick + " :- Welcome to Halvern IRC Server v0.1"); }
inline std::string motdEnd(const std::string &nick) { return fromServer("376 " + nick + " :End of /MOTD command"); }

// Sends NICK then USER; true when exactly the three lines of the message of the day follow.
inline bool signOn(Client &c)
{
    c.say(c.nickLine());
    c.say(c.userLine());
    return c.sock.readLine() == motdStart(c.nick) && c.sock.readLine() == motdBody(c.nick) &&
           c.sock.readLine() == motdEnd(c.nick);
}

// What a user receives for a message; `to` is the recipient's nick or the channel.
inline std::string privmsgLine(const std::string &from, const std::string &to, const std::string &text)
{
    return ":" + from + " PRIVMSG " + to + " :" + text + "\r\n";
}
// The one line a forwarding connection carries between nodes.
inline std::string forwardLine(const std::string &src, const std::string &from, const std::string &to,
                               const std::string &text)
{
    return "FORWARD " + src + " :" + from + " PRIVMSG " + to + " " + text + "\r\n";
}
inline std::string noSuchTarget(const std::string &target) { return fromServer("401 " + target + " :No such nick/channel"); }

inline std::string leftNotice(const Client &c) { return ":" + c.mask() + " QUIT :" + c.nick + " has left the channel\r\n"; }
inline std::string joinLine(const std::string &nick, const std::string &chan) { return ":" + nick + " JOIN " + chan + "\r\n"; }
inline std::string namesLine(const std::string &nick, const std::string &chan, const std::string &names)
{
    return fromServer("353 " + nick + " = " + chan + " :" + names);
}
inline std::string namesEnd(const std::string &nick, const std::string &chan)
{
    return fromServer("366 " + nick + " " + chan + " :End of /NAMES list");
}
inline std::string whoLine(const std::string &asker, const std::string &chan, const Client &member)
{
    return fromServer("352 " + asker + " " + chan + " " + member.user + " " + clientHost() + " " + hostName() + " " +
                      member.nick + " H :0 " + member.realKept);
}
inline std::string whoEnd(const std::string &asker, const std::string &chan)
{
    return fromServer("315 " + asker + " " + chan + " :End of /WHO list.");
}

// A client of the node on serverPort (or the spare connection, when one is left), signed on and
// kept in users, whose elements stay put as it grows.
inline Client &signOnNew(std::vector<std::unique_ptr<Client>> &users, LineSocket &spare, uint16_t serverPort,
                         const std::string &nick)
{
    LineSocket s = spare.valid() ? std::move(spare) : connectWithRetry(serverPort);
    EXPECT_TRUE(s.valid()) << nick;
    Client &c = *users.emplace_back(std::make_unique<Client>(std::move(s), nick));
    EXPECT_TRUE(signOn(c)) << nick;
    return c;
}

}  // namespace qtest
