// Whether this node runs the client profile (--compat), which every layer reads, and the rule for
// the bytes a message may carry, which the profile widens.
#pragma once

// The two ways a node replies: the exact bytes of the core commands (--exact, the default), or
// the client profile's replies shaped for real IRC clients (--compat). Each choice the profile
// makes is a named question beside the state it concerns; those read this one global inline, so
// that a choice on the exact path stays one load and one compare.
enum class Replies : unsigned char { Exact, Client };

extern Replies replyMode;  // set once from the command line, before start-up reads it

// Takes "--compat" out of argv, wherever it stands, before the shared option parser sees it.
void takeProfileOption(int &argc, char **argv);

// The profile lets CTCP and formatting codes (bold, colours) travel inside a message.
inline bool passesControlCodes() { return replyMode == Replies::Client; }

// A byte that may not travel inside a message: CR (and NUL) always; in the exact replies every
// control byte but the tab, while the profile lets CTCP and formatting codes pass.
bool isForbiddenByte(char ch);
// A byte that could split or forge lines further on (isForbiddenByte).
bool holdsControlBytes(const char *text);
