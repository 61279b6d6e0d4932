// The channels' topics in the client profile, the same on every node: one entry per channel that
// has a topic here or on another node, the replies that show one, and the member notices that
// carry one from node to node.
#pragma once

#include <cstdint>

#include "../core/limits.h"

struct Message;

// Characters of a topic: a topic notice holds it whole beside its channel, time, node and setter.
inline constexpr int TOPIC_MAX = 300;

struct Topic {
    char channel[CHANNEL_NAME_MAX + 1];  // empty marks a free entry
    char text[TOPIC_MAX + 1];            // empty once a member cleared it: the time still orders it
    char setter[PREFIX_SIZE];            // nick!user@host of whoever set it
    long long setAtMs;                   // wall-clock milliseconds: 333 shows the seconds
    uint32_t node;                       // the node where it was set, which settles a tie
};

// Start-up: room for `entries` channels' topics, freeing an earlier table; every entry is free.
// Ends the process when the memory cannot be had.
void sizeTopics(int entries);
const Topic *findTopic(const char *channel);  // nullptr when the channel has none
// Who may change a channel's topic: any member, or on a +t channel its operators only.
bool maySetTopic(int slot, int roomSlot);
// The topic the member in `slot` sets: stamped now (after the channel's last), shown to the
// channel's members here and told to every other node.
void setTopicHere(int slot, int roomSlot, const char *text);
// 332 and 333 when the channel has a topic; 331 then only when `sayNone`, as JOIN says nothing.
void sendTopic(int slot, const char *channel, bool sayNone);
// A channel opened here by its first member: with nobody on another node in it either, it is a
// new channel, and the topic an earlier one of that name had is gone.
void channelOpened(const char *channel);
// Whether a TOPIC notice's text reads as one: "#c 1700000000123 2 :the topic".
bool readsAsTopicNotice(const char *text);
// A TOPIC notice of another node: kept when it is newer than the one here, and the channel's
// members here see it change. False when its text does not read as one.
bool takeTopicNotice(const Message &m);
// Every topic of a channel with members here goes to the other nodes again (once a refresh
// period), so that a node that came up late learns them.
void announceTopics();
