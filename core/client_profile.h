// Whether this node runs the client profile (--compat), which every layer reads, and the rule for
// the bytes a message may carry, which the profile widens.
#pragma once

struct ClientProfile {
    int on;  // 1 when the node was started with --compat
};

extern ClientProfile clientProfile;

// Takes "--compat" out of argv, wherever it stands, before the shared option parser sees it.
void takeProfileOption(int &argc, char **argv);

// A byte that may not travel inside a message: CR (and NUL) always; in the exact replies every
// control byte but the tab, while the profile lets CTCP and formatting codes pass.
bool isForbiddenByte(char ch);
// A byte that could split or forge lines further on (isForbiddenByte).
bool holdsControlBytes(const char *text);
