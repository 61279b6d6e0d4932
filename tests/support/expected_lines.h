// Every line the node sends that a test compares, each written out once. `server` is the name in
// front of the node's own lines: "testhost" in-process, the machine's name for a running node.
#pragma once

#include <string>

namespace expected {

inline std::string numeric(const std::string &server, const std::string &rest) { return ":" + server + " " + rest + "\r\n"; }

inline std::string noSuchTarget(const std::string &server, const std::string &target)
{
    return numeric(server, "401 " + target + " :No such nick/channel");
}
inline std::string unknownCommand(const std::string &server, const std::string &word)
{
    return numeric(server, "421 " + word + " :Unknown command");
}
inline std::string routingBusy(const std::string &server, const std::string &nick, const std::string &target)
{
    return numeric(server, "437 " + nick + " " + target + " :Cannot send now, too many messages wait for routing");
}
inline std::string notRegistered(const std::string &server) { return numeric(server, "451 :You have not registered"); }

// The three lines that end a registration.
inline std::string motdStart(const std::string &server, const std::string &nick)
{
    return numeric(server, "375 " + nick + " :- " + server + " Message of the day - ");
}
inline std::string motdBody(const std::string &server, const std::string &nick)
{
    return numeric(server, "372 " + nick + " :- Welcome to Halvern IRC Server v0.1");
}
inline std::string motdEnd(const std::string &server, const std::string &nick)
{
    return numeric(server, "376 " + nick + " :End of /MOTD command");
}
inline std::string motd(const std::string &server, const std::string &nick)
{
    return motdStart(server, nick) + motdBody(server, nick) + motdEnd(server, nick);
}

inline std::string namesLine(const std::string &server, const std::string &nick, const std::string &chan,
                             const std::string &names)
{
    return numeric(server, "353 " + nick + " = " + chan + " :" + names);
}
inline std::string namesEnd(const std::string &server, const std::string &nick, const std::string &chan)
{
    return numeric(server, "366 " + nick + " " + chan + " :End of /NAMES list");
}
// `real` is the real name as the node keeps it: each word followed by one space.
inline std::string whoLine(const std::string &server, const std::string &asker, const std::string &chan,
                           const std::string &user, const std::string &host, const std::string &nick,
                           const std::string &real)
{
    return numeric(server, "352 " + asker + " " + chan + " " + user + " " + host + " " + server + " " + nick + " H :0 " + real);
}
inline std::string whoEnd(const std::string &server, const std::string &asker, const std::string &chan)
{
    return numeric(server, "315 " + asker + " " + chan + " :End of /WHO list.");
}

// What a user receives for a message; `to` is the recipient's nick or the channel.
inline std::string privmsg(const std::string &from, const std::string &to, const std::string &text)
{
    return ":" + from + " PRIVMSG " + to + " :" + text + "\r\n";
}
// The one line a forwarding connection carries between nodes.
inline std::string forward(const std::string &src, const std::string &from, const std::string &to, const std::string &text)
{
    return "FORWARD " + src + " :" + from + " PRIVMSG " + to + " " + text + "\r\n";
}
inline std::string join(const std::string &nick, const std::string &chan) { return ":" + nick + " JOIN " + chan + "\r\n"; }
// What the other members of a channel hear when `mask` (nick!user@host) leaves the node.
inline std::string leftNotice(const std::string &mask, const std::string &nick)
{
    return ":" + mask + " QUIT :" + nick + " has left the channel\r\n";
}

}  // namespace expected
