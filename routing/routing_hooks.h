// What the IRC layer does at the moments only routing sees; wired once at start-up, so that
// routing never calls upward, as core/hooks.h keeps the core from it.
#pragma once

#include <cstdint>

struct Message;

// What a sender here is told about a message routing could not carry.
enum class SenderTold {
    NoSuchTarget,  // 401: no node hosts the target, or no hop could take it in time
    RoutingBusy,   // 437: every slot of the queue waits for the daemon
    Unconfirmed,   // the profile's notice: the next hop never said it took the line
};

struct RoutingHooks {
    // Another node's line for a nick (owner NO_SLOT): its user here gets it, or else the daemon is
    // asked for the nick; true when it was delivered here.
    bool (*sendToNick)(int owner, const Message &m);
    // Another node's line for a channel: its members here get it, then the daemon is asked for the
    // channel's next hops under routeName, so that the line goes on along the tree.
    void (*sendToChannel)(int owner, const Message &m, const char *routeName);
    // A FORWARD line for the nodes' channel from node `src`: a membership notice, which the
    // network member table and the members here take.
    void (*takeMemberNotice)(uint32_t src, const Message &m);
    // The daemon's answer whether another node hosts the nick that the connection `serial` in the
    // slot asked for (before taking it, or again while holding it); also given, as "no", when no
    // answer can come, so that the client's input goes on.
    void (*nickCheckAnswered)(int slot, unsigned serial, const char *nick, bool elsewhere);
    void (*heldNickAnswered)(int slot, unsigned serial, const char *nick, bool elsewhere);
    // The client in the slot, still the one that sent the message for `target`, hears `what`.
    void (*tellSender)(int slot, const char *target, SenderTold what);
    // The daemon link is (again) up: the daemon hears of every user and channel here, as it may
    // have lost them with the link.
    void (*daemonLinkUp)();
    // A question of this node's own to a user's node (a query keyword) found no node that hosts
    // its nick: its asker hears so now rather than when its patience is over.
    void (*questionUndelivered)(const Message &m);
    // Every link with the neighbour `lost` broke and stayed down: its members are shown leaving, here
    // and, by a notice, on every other node.
    void (*nodeSplit)(uint32_t lost);
};

extern RoutingHooks routingHooks;
