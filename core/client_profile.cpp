// The client profile's switch, set once from the command line.
#include "client_profile.h"

#include <cstring>

ClientProfile clientProfile;

void takeProfileOption(int &argc, char **argv)
{
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        // The last of the two wins, so that an options file can turn a unit's default around.
        if (std::strcmp(argv[i], "--compat") == 0) clientProfile.on = 1;
        else if (std::strcmp(argv[i], "--exact") == 0) clientProfile.on = 0;
        else argv[kept++] = argv[i];
    }
    argv[kept] = nullptr;
    argc = kept;
}

bool isForbiddenByte(char ch)
{
    if (ch == '\r' || ch == '\n') return true;
    return !clientProfile.on && static_cast<unsigned char>(ch) < ' ' && ch != '\t';
}

bool holdsControlBytes(const char *text)
{
    for (const char *p = text; *p; ++p)
        if (isForbiddenByte(*p)) return true;
    return false;
}
