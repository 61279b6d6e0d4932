// Channel membership across nodes in the client profile: JOIN, PART, QUIT and NICK notices of
// this node's members go to every other node, and those of other nodes' members reach the
// members here and the network member table.
#pragma once

#include <cstdint>

#include "../core/hooks.h"
#include "../core/limits.h"
#include "../core/names.h"
#include "../routing/pending_queue.h"

// Tells the daemon of the nodes' channel (again, after the link came back) and re-announces the
// members here soon, as the link may have been down while others came up.
void announceNodesChannel();
// The user in `slot` joined, parted or quit `channel`: every other node hears it.
void announceMember(int slot, const char *keyword, const char *channel);
void announceMemberNick(const char *oldPrefix, const char *newNick);
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
