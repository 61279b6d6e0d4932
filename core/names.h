// The rules for names and keywords that every layer reads alike: what a nick, a channel and the
// nodes' channel look like, and which words a membership notice may carry.
#pragma once

#include <cstring>

#include "client_profile.h"
#include "text.h"

inline bool isChannelName(const char *name) { return name[0] == '#' || name[0] == '&'; }

// The daemons carry no name with a control byte, a tab or DEL in it, so no such nick or channel
// can be reached or announced.
inline bool isCarriedName(const char *name)
{
    for (const char *p = name; *p; ++p)
        if (static_cast<unsigned char>(*p) < ' ' || *p == 0x7f) return false;
    return true;
}

// How nicks and channel names compare: byte for byte in the exact replies, and in the client
// profile by the ascii casemapping its 005 line names, so that ALICE is alice and #ROOM is #room.
// Every table here that looks a name up, and every name this node gives its daemon, goes by it.
enum class Casemapping { Exact, Ascii };
inline Casemapping casemapping() { return replyMode == Replies::Client ? Casemapping::Ascii : Casemapping::Exact; }

// The byte as the casemapping compares it.
inline char foldCase(char ch)
{
    const bool upper = ch >= 'A' && ch <= 'Z';
    return upper && casemapping() == Casemapping::Ascii ? static_cast<char>(ch - 'A' + 'a') : ch;
}

inline bool sameName(const char *a, const char *b)
{
    // The exact replies compare bytes: the library's comparison, a word at a time, serves them.
    if (casemapping() == Casemapping::Exact) return std::strcmp(a, b) == 0;
    while (*a != '\0' && foldCase(*a) == foldCase(*b)) ++a, ++b;
    return foldCase(*a) == foldCase(*b);
}

// FNV-1a over the folded bytes, so that names that compare the same hash the same.
inline unsigned hashName(const char *name, unsigned hash = 2166136261u)
{
    for (const char *p = name; *p; ++p) hash = (hash ^ static_cast<unsigned char>(foldCase(*p))) * 16777619u;
    return hash;
}

// The name as the casemapping compares it, cut to the buffer (which holds `size` bytes).
inline void foldNameInto(char *out, size_t size, const char *name)
{
    size_t i = 0;
    for (; i + 1 < size && name[i] != '\0'; ++i) out[i] = foldCase(name[i]);
    out[i] = '\0';
}

// A nick or channel name longer than its limit: the exact replies cut it to the limit, the client
// profile refuses it (432, 479), since a cut name is another name than the client asked for.
inline bool refusesLongNames() { return replyMode == Replies::Client; }

// Copies the word into a name buffer of N - 1 characters; false, with nothing copied, when it is
// longer and long names are refused.
template <size_t N>
bool takeName(char (&name)[N], const char *word)
{
    if (refusesLongNames() && strnlen(word, N) == N) return false;
    copyCut(name, word);
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

inline constexpr const char *MEMBER_KEYWORDS[] = {"JOIN", "PART", "QUIT", "NICK", "SPLIT", "TOPIC", "AWAY",
                                                  "MODE", "MODES", "KICK", "INVITE"};

// What one node asks of the node of a user (WHOIS, INVITE) and that node's answers, named by the
// numeric they turn into: each travels to a nick as a private message does.
inline constexpr const char *QUESTION_KEYWORDS[] = {"WHOIS", "INVITE"};
inline constexpr const char *ANSWER_KEYWORDS[] = {"311", "341"};

// The list's own copy of the word, or nullptr when the list lacks it.
template <size_t N>
inline const char *keywordIn(const char *const (&list)[N], const char *word)
{
    for (const char *keyword : list)
        if (std::strcmp(word, keyword) == 0) return keyword;
    return nullptr;
}

// A question, unlike its answer, makes the node that takes it send a routed line of its own.
inline bool isQuestionKeyword(const char *word) { return keywordIn(QUESTION_KEYWORDS, word) != nullptr; }

inline const char *queryKeyword(const char *word)
{
    const char *question = keywordIn(QUESTION_KEYWORDS, word);
    return question ? question : keywordIn(ANSWER_KEYWORDS, word);
}

// The keyword of a notice between nodes (JOIN, PART, QUIT, NICK, SPLIT, TOPIC, AWAY, and the
// channel operators' MODE, MODES, KICK, INVITE), or nullptr for any other word.
inline const char *memberKeyword(const char *word) { return keywordIn(MEMBER_KEYWORDS, word); }
