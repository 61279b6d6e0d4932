// The topic table and the notices that keep it the same on every node. Two nodes may set one
// channel's topic at once: every node keeps the one set later, and of two set in the same
// millisecond the one of the higher node ID, so all of them settle on the same topic whatever
// order the notices arrive in.
#include "topics.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../core/connections.h"
#include "../core/names.h"
#include "../core/server.h"
#include "../core/text.h"
#include "../routing/forwarding.h"
#include "../routing/pending_queue.h"
#include "channel_modes.h"
#include "channels.h"
#include "member_notices.h"
#include "network_members.h"
#include "profile.h"
#include "replies.h"

namespace {

// Channel, set time, node, then the topic after a colon, so that it keeps its spaces.
constexpr char FMT_TOPIC_NOTICE[] = "%s %lld %lu :%s";
// A set time this far ahead of this node's clock is no node's: kept, it would outrank every
// later topic of the channel for good.
constexpr long long FUTURE_LIMIT_MS = 24LL * 3600 * 1000;

Topic *topics;
int capacity;
int topicReach;  // entries from here on were never used

long long wallMillis()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The one place this table compares channel names, so that it compares them as the channel table does.
bool sameChannel(const char *a, const char *b) { return sameName(a, b); }

Topic *entryOf(const char *channel)
{
    for (int i = 0; i < topicReach; ++i)
        if (topics[i].channel[0] != '\0' && sameChannel(topics[i].channel, channel)) return &topics[i];
    return nullptr;
}

// A channel nobody is in, here or on a node heard of, has ended: its topic ended with it.
bool channelEnded(const Topic &t) { return !channelExists(t.channel); }

// The channel's entry, a free one, or one of an ended channel; nullptr when every entry is taken.
// `evict`: then the entry of a channel with no members here, which other nodes hold and send
// again each refresh, so that a topic set here always has a place.
Topic *entryFor(const char *channel, bool evict = false)
{
    if (Topic *known = entryOf(channel)) return known;
    for (int i = 0; i < capacity; ++i) {
        if (i == topicReach) ++topicReach;
        Topic &t = topics[i];
        if (t.channel[0] == '\0' || channelEnded(t)) {
            std::memset(&t, 0, sizeof t);
            copyCut(t.channel, channel);
            return &t;
        }
    }
    for (int i = 0; evict && i < topicReach; ++i) {
        if (checkChannel(topics[i].channel) > 0) continue;
        std::memset(&topics[i], 0, sizeof topics[i]);
        copyCut(topics[i].channel, channel);
        return &topics[i];
    }
    return nullptr;
}

bool isNewer(long long setAtMs, uint32_t node, const Topic &t)
{
    return setAtMs > t.setAtMs || (setAtMs == t.setAtMs && node > t.node);
}

// The members here see the topic change, the setter too when it is one of them.
void showChange(const Topic &t)
{
    const int roomSlot = checkChannel(t.channel);
    if (roomSlot < 0) return;
    char line[LINE_SIZE];
    formatLine(line, FMT_TOPIC_CHANGE, t.setter, t.channel, t.text);
    sendToMembers(roomSlot, line);
}

void announce(const Topic &t)
{
    char text[LINE_SIZE];
    formatLine(text, FMT_TOPIC_NOTICE, t.channel, t.setAtMs, static_cast<unsigned long>(t.node), t.text);
    announceNotice(t.setter, "TOPIC", text);
}

// "#c 1700000000123 2 :the topic": false when a field is missing or malformed.
bool readNotice(const char *text, Topic &t)
{
    char words[LINE_SIZE];
    copyCut(words, text);
    LineCursor cur{words};
    const char *channel = cur.next();
    const char *stamp = cur.next();
    const char *node = cur.next();
    if (!channel || !stamp || !node || !isChannelName(channel) || std::strlen(channel) > CHANNEL_NAME_MAX) return false;
    char *end = nullptr;
    errno = 0;
    const long long setAtMs = std::strtoll(stamp, &end, 10);
    if (*end != '\0' || errno == ERANGE || setAtMs <= 0 || setAtMs > wallMillis() + FUTURE_LIMIT_MS) return false;
    t.node = readNodeId(node);
    if (t.node == 0) return false;
    const char *topic = cur.trailing();
    copyCut(t.channel, channel);
    copyCut(t.text, topic ? topic : "");
    t.setAtMs = setAtMs;
    return true;
}

}  // namespace

void sizeTopics(int entries)
{
    std::free(topics);
    capacity = entries > 0 ? entries : 1;
    topics = static_cast<Topic *>(std::calloc(static_cast<size_t>(capacity), sizeof *topics));
    if (!topics) {
        std::fprintf(stderr, "quorvel: no memory for the topics of %d channels\n", capacity);
        std::exit(1);
    }
    topicReach = 0;
}

const Topic *findTopic(const char *channel) { return entryOf(channel); }

// A member may, unless the channel is +t: then only its operators.
bool maySetTopic(int slot, int roomSlot)
{
    if (!isMember(roomSlot, slot)) return false;
    return !hasModeFlag(rooms[roomSlot].name, MODE_TOPIC) || isChannelOperator(slot, roomSlot);
}

void setTopicHere(int slot, int roomSlot, const char *text)
{
    // The table holds more entries than this node has channels, so one is always there to take.
    Topic *t = entryFor(rooms[roomSlot].name, true);
    if (!t) return;
    const long long now = wallMillis();
    // Set twice in one millisecond, the second still orders after the first on every node.
    t->setAtMs = now > t->setAtMs ? now : t->setAtMs + 1;
    t->node = curr_nodeID;
    copyCut(t->text, text);
    userPrefix(slot, t->setter);
    showChange(*t);
    announce(*t);
}

void sendTopic(int slot, const char *channel, bool sayNone)
{
    const char *nick = connections[slot].nick;
    const Topic *t = entryOf(channel);
    if (!t || t->text[0] == '\0') {
        if (sayNone) replyf(slot, FMT_331_NO_TOPIC, serverName(), nick, channel);
        return;
    }
    replyf(slot, FMT_332_TOPIC, serverName(), nick, t->channel, t->text);
    replyf(slot, FMT_333_TOPIC_WHO_TIME, serverName(), nick, t->channel, t->setter, t->setAtMs / 1000);
}

void channelOpened(const char *channel)
{
    Topic *t = entryOf(channel);
    if (t && countNetworkMembers(channel) == 0) std::memset(t, 0, sizeof *t);
}

bool readsAsTopicNotice(const char *text)
{
    Topic heard{};
    return readNotice(text, heard);
}

bool takeTopicNotice(const Message &m)
{
    Topic heard{};
    if (!readNotice(m.text, heard)) return false;
    copyCut(heard.setter, m.sender);
    Topic *t = entryFor(heard.channel);
    if (!t || !isNewer(heard.setAtMs, heard.node, *t)) return true;
    *t = heard;
    showChange(*t);
    return true;
}

void announceTopics()
{
    for (int i = 0; i < topicReach; ++i)
        if (topics[i].channel[0] != '\0' && topics[i].setAtMs > 0 && checkChannel(topics[i].channel) > 0) announce(topics[i]);
}
