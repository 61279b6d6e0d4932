// TOPIC as clients send it: "TOPIC #c" shows the topic of any channel of the network, and
// "TOPIC #c :text" (an empty text clears it) changes it for a member the channel lets.
#include "topic_commands.h"

#include <cstring>

#include "../core/connections.h"
#include "../core/server.h"
#include "channels.h"
#include "network_members.h"
#include "replies.h"
#include "topics.h"

void handleTopic(int slot, LineCursor &cur)
{
    const char *nick = connections[slot].nick;
    const char *channel = cur.next();
    if (!channel) {
        replyf(slot, FMT_461_NEED_MORE, serverName(), nick, "TOPIC");
        return;
    }
    const int roomSlot = checkChannel(channel);
    if (refuseUnknownChannel(slot, channel)) return;
    const char *text = cur.trailing();
    if (!text) return sendTopic(slot, channel, true);
    if (refuseNonMember(slot, roomSlot, channel)) return;
    if (!maySetTopic(slot, roomSlot)) {
        replyf(slot, FMT_482_NOT_OPERATOR, serverName(), nick, channel);
        return;
    }
    setTopicHere(slot, roomSlot, text);
}
