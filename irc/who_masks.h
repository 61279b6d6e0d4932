// WHO for a nick or a mask in the client profile: every user of this node and every member of
// another node's channels whose nick, user or host the mask matches.
#pragma once

// '*' stands for any run of characters and '?' for one; letters compare without case, as the
// network's ascii casemapping has it.
bool matchesMask(const char *mask, const char *text);
// A 352 line's flags: "H" in the exact replies; in the profile "G" for an away user, then "@" or
// "+" for its privilege in the channel (none for "*"), as clients read them to mark nicks.
// Valid until the next call.
const char *whoFlags(const char *channel, const char *nick);
// WHO for anything but a channel, answered (352 per user, then 315) in the profile; false, with
// nothing sent, for a channel or without the profile.
bool whoUsers(int slot, const char *mask);
