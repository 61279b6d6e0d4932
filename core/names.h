// The rules for names and keywords that every layer reads alike: what a nick, a channel and the
// nodes' channel look like, and which words a membership notice may carry.
#pragma once

#include <cstring>

inline bool isChannelName(const char *name) { return name[0] == '#' || name[0] == '&'; }

// The daemons carry no name with a control byte, a tab or DEL in it, so no such nick or channel
// can be reached or announced.
inline bool isCarriedName(const char *name)
{
    for (const char *p = name; *p; ++p)
        if (static_cast<unsigned char>(*p) < ' ' || *p == 0x7f) return false;
    return true;
}

inline bool isLetter(char ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'); }
inline bool isDigit(char ch) { return ch >= '0' && ch <= '9'; }

// 1 for a letter followed by letters, digits and - [ ] \ ` ^ { | }
inline int checkNickFormat(const char *nick)
{
    if (!isLetter(nick[0])) return 0;
    for (const char *p = nick + 1; *p; ++p)
        if (!isLetter(*p) && !isDigit(*p) && !std::strchr("-[]\\`^{|}", *p)) return 0;
    return 1;
}

// The channel every profile node announces to its daemon, so that its tree reaches every node.
// Longer than any channel name that a client's JOIN or PRIVMSG keeps, so no client can name it.
inline constexpr char NODES_CHANNEL[] = "&quorvel-nodes";

inline constexpr const char *MEMBER_KEYWORDS[] = {"JOIN", "PART", "QUIT", "NICK", "SPLIT", "TOPIC", "AWAY"};

// The keyword of a notice between nodes (JOIN, PART, QUIT, NICK, SPLIT, TOPIC, AWAY), or nullptr for
// any other word.
inline const char *memberKeyword(const char *word)
{
    for (const char *keyword : MEMBER_KEYWORDS)
        if (std::strcmp(word, keyword) == 0) return keyword;
    return nullptr;
}
