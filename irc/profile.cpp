// The client profile's state and the small helpers that shape a reply by it.
#include "profile.h"

#include <cstdio>
#include <cstring>

#include "../core/connections.h"
#include "../core/text.h"

ClientProfile clientProfile;

void takeProfileOption(int &argc, char **argv)
{
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--compat") == 0) clientProfile.on = 1;
        else argv[kept++] = argv[i];
    }
    argv[kept] = nullptr;
    argc = kept;
}

const char *requesterNick(int slot)
{
    const char *nick = connections[slot].nick;
    return clientProfile.on && nick[0] == '\0' ? "*" : nick;
}

const char *numericTarget(int slot)
{
    static char field[NICK_MAX + 2];
    if (!clientProfile.on) return "";
    std::snprintf(field, sizeof field, " %s", requesterNick(slot));
    return field;
}

void userPrefix(int slot, char (&prefix)[PREFIX_SIZE])
{
    const Connection &c = connections[slot];
    if (!clientProfile.on) {
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

bool isForbiddenByte(char ch)
{
    if (ch == '\r' || ch == '\n') return true;
    return !clientProfile.on && static_cast<unsigned char>(ch) < ' ' && ch != '\t';
}
