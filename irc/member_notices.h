// Channel membership across nodes in the client profile: JOIN, PART, QUIT and NICK notices of
// this node's members go to every other node, and those of other nodes' members reach the
// members here and the network member table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../core/hooks.h"
#include "../core/limits.h"
#include "../core/names.h"
#include "../routing/pending_queue.h"
#include "channels.h"

// The client profile's channels span the network: other nodes' members join them by the notices
// of this file. The exact replies' channels are each node's own.
inline bool channelsSpanNetwork() { return replyMode == Replies::Client; }

// Tells the daemon of the nodes' channel (again, after the link came back) and re-announces the
// members here soon, as the link may have been down while others came up.
void announceNodesChannel();
// The user in `slot` joined, parted or quit the channels named in `channels`, separated by
// spaces: every other node hears it.
void announceMember(int slot, const char *keyword, const char *channels);
// The text of one member notice: as many channel names as leave the FORWARD line that carries
// them whole, the longest sender and the nodes' channel beside them.
inline constexpr int MEMBER_NOTICE_TEXT_MAX =
    SEND_TEXT_MAX - static_cast<int>(sizeof "FORWARD  :   " - 1) - (NODE_ID_TEXT_SIZE - 1) - (PREFIX_SIZE - 1) -
    (KEYWORD_SIZE - 1) - static_cast<int>(sizeof NODES_CHANNEL - 1);
static_assert(LIMITS_CEILING.joins * (CHANNEL_NAME_MAX + 1) - 1 <= MEMBER_NOTICE_TEXT_MAX, "a user's channels fit one notice");
// The channels of one user's JOIN, PART or QUIT, gathered into as few notices as their names fit
// in: one for every channel a user may be in, so a line that names many channels, or a QUIT, asks
// for no more routing than one that names one. Sent by flush(), or at the end of the scope.
// A reason (of a QUIT or PART) follows the channels of each notice, as the user typed it.
class MemberNotice {
public:
    MemberNotice(int slot, const char *keyword, const char *reason = nullptr)
        : slot_(slot), keyword_(keyword), reason_(reason) {}
    ~MemberNotice() { flush(); }
    MemberNotice(const MemberNotice &) = delete;
    MemberNotice &operator=(const MemberNotice &) = delete;
    void add(const char *channel);
    void flush();

private:
    int slot_;
    const char *keyword_;
    const char *reason_;
    char text_[MEMBER_NOTICE_TEXT_MAX + 1] = {};
    size_t used_ = 0;
};
void announceMemberNick(const char *oldPrefix, const char *newNick);
// A notice of another kind (TOPIC, AWAY, and the channel operators' MODE, MODES, KICK, INVITE)
// from `sender` (a prefix, or a word of its own) to every other node.
void announceNotice(const char *sender, const char *keyword, const char *text);
// Another node's notice goes on along the tree, with `words` as its text.
void passOnNotice(const Message &m, const char *words);
// A notice that node `src` sent to the nodes' channel: the table and the members here learn of
// it, and it goes on along the tree.
void takeMemberNotice(uint32_t src, const Message &m);
// Every link with node `lost` broke: its members leave, here and on every other node, by a SPLIT
// notice whose sender is SPLIT_SENDER and whose text is the lost node's ID.
void splitFromNode(uint32_t lost);
inline constexpr char SPLIT_SENDER[] = "split";
// Every member here is announced again, and entries their nodes stopped announcing are dropped
// (their channels' members here see them quit). Runs once a refresh period.
void refreshMembers(long long now);
void resetMemberNotices();
Poller memberNoticePoller();
