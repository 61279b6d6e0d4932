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

#include "support/expected_lines.h"
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
inline std::string fromServer(const std::string &rest) { return expected::numeric(hostName(), rest); }

struct Client {
    LineSocket sock;
    std::string nick;
    std::string user;  // the first USER parameter
    // Sent with a run of spaces inside; the node keeps each word followed by a single space.
    std::string realSent;
    std::string realKept;

    Client() = default;
    Client(LineSocket s, const std::string &name)
        : sock(std::move(s)), nick(name), user("u" + name), realSent(":Ms   " + name), realKept("Ms " + name + " ") {}

    void say(const std::string &line) { sock.send(line + "\r\n"); }
    std::string nickLine() const { return "NICK " + nick; }
    std::string userLine() const { return "USER " + user + " 0 * " + realSent; }
    std::string mask() const { return nick + "!" + user + "@" + clientHost(); }
};

inline std::string motdStart(const std::string &nick) { return expected::motdStart(hostName(), nick); }
inline std::string motdBody(const std::string &nick) { return expected::motdBody(hostName(), nick); }
inline std::string motdEnd(const std::string &nick) { return expected::motdEnd(hostName(), nick); }

// Sends NICK then USER; true when exactly the three lines of the message of the day follow.
inline bool signOn(Client &c)
{
    c.say(c.nickLine());
    c.say(c.userLine());
    return c.sock.readLine() == motdStart(c.nick) && c.sock.readLine() == motdBody(c.nick) &&
           c.sock.readLine() == motdEnd(c.nick);
}

inline std::string privmsgLine(const std::string &from, const std::string &to, const std::string &text)
{
    return expected::privmsg(from, to, text);
}
inline std::string forwardLine(const std::string &src, const std::string &from, const std::string &to,
                               const std::string &text)
{
    return expected::forward(src, from, to, text);
}
inline std::string noSuchTarget(const std::string &target) { return expected::noSuchTarget(hostName(), target); }
inline std::string unknownCommand(const std::string &word) { return expected::unknownCommand(hostName(), word); }
inline std::string notRegistered() { return expected::notRegistered(hostName()); }

inline std::string leftNotice(const Client &c) { return expected::leftNotice(c.mask(), c.nick); }
inline std::string joinLine(const std::string &nick, const std::string &chan) { return expected::join(nick, chan); }
inline std::string namesLine(const std::string &nick, const std::string &chan, const std::string &names)
{
    return expected::namesLine(hostName(), nick, chan, names);
}
inline std::string namesEnd(const std::string &nick, const std::string &chan) { return expected::namesEnd(hostName(), nick, chan); }
inline std::string whoLine(const std::string &asker, const std::string &chan, const Client &member)
{
    return expected::whoLine(hostName(), asker, chan, member.user, clientHost(), member.nick, member.realKept);
}
inline std::string whoEnd(const std::string &asker, const std::string &chan) { return expected::whoEnd(hostName(), asker, chan); }

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
