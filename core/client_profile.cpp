// The client profile's switch, set once from the command line.
#include "client_profile.h"

#include <cstring>

Replies replyMode = Replies::Exact;

void takeProfileOption(int &argc, char **argv)
{
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        // The last of the two wins, so that an options file can turn a unit's default around.
        if (std::strcmp(argv[i], "--compat") == 0) replyMode = Replies::Client;
        else if (std::strcmp(argv[i], "--exact") == 0) replyMode = Replies::Exact;
        else argv[kept++] = argv[i];
    }
    argv[kept] = nullptr;
    argc = kept;
}

bool isForbiddenByte(char ch)
{
    if (ch == '\r' || ch == '\n') return true;
    return !passesControlCodes() && static_cast<unsigned char>(ch) < ' ' && ch != '\t';
}

bool holdsControlBytes(const char *text)
{
    for (const char *p = text; *p; ++p)
        if (isForbiddenByte(*p)) return true;
    return false;
}
