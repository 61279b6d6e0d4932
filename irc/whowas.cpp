#include "whowas.h"

#include "../core/connections.h"
#include "../core/output.h"
#include "../core/server.h"
#include "../core/text.h"
#include "replies.h"

void handleWhowas(int slot, LineCursor &cur)
{
    const char *nick = connections[slot].nick;
    char *asked = cur.next();
    if (!asked) {
        replyf(slot, FMT_461_NEED_MORE, serverName(), nick, "WHOWAS");
        return;
    }
    // The count and server words after the list change nothing without a history.
    char list[LINE_SIZE];
    copyCut(list, asked);
    LineCursor names{asked};
    for (const char *name = names.next(','); name; name = names.next(','))
        replyf(slot, FMT_406_WAS_NO_SUCH_NICK, serverName(), nick, name);
    replyf(slot, FMT_369_END_OF_WHOWAS, serverName(), nick, list);
}
