// The client profile's state and the small helpers that shape a reply by it.
#include "profile.h"

#include <cstdio>
#include <cstring>

#include "../core/connections.h"
#include "../core/text.h"

const char *requesterNick(int slot)
{
    const char *nick = connections[slot].nick;
    return !keepsExactBytes() && nick[0] == '\0' ? "*" : nick;
}

const char *numericTarget(int slot)
{
    static char field[NICK_MAX + 2];
    if (keepsExactBytes()) return "";
    std::snprintf(field, sizeof field, " %s", requesterNick(slot));
    return field;
}

void userPrefix(int slot, char (&prefix)[PREFIX_SIZE])
{
    const Connection &c = connections[slot];
    if (keepsExactBytes()) {
        copyCut(prefix, c.nick);
        return;
    }
    char user[USER_PREFIX_MAX + 1];
    copyCut(user, c.userName);
    formatPrefix(prefix, c.nick, user, c.hostName);
}

void formatPrefix(char (&prefix)[PREFIX_SIZE], const char *nick, const char *user, const char *host)
{
    TextBuilder b(prefix);
    b.add(nick);
    b.add("!");
    b.add(user);
    b.add("@");
    b.add(host);
}

