// The link-state database and the questions route computation asks of it.
#include "lsdb.h"

#include <algorithm>

LinkStateDb lsdb;

namespace {

bool lists(const uint32_t *ids, int count, uint32_t id)
{
    for (int i = 0; i < count; ++i)
        if (ids[i] == id) return true;
    return false;
}

// Whether taking the fragment would keep the node within the limits, its old copy replaced.
bool withinLimits(const NodeState &node, const Advert &a)
{
    return node.users.count() - node.users.countIn(a.fragment) + a.userCount <= MAX_USERS &&
           node.chans.count() - node.chans.countIn(a.fragment) + a.chanCount <= MAX_CHANNELS;
}

// The names of the fragment replace its old ones; the limits were checked, so every one finds room.
void takeNames(NodeState &node, const Advert &a)
{
    node.users.dropFragment(a.fragment);
    node.chans.dropFragment(a.fragment);
    for (int i = 0; i < a.userCount; ++i) (void)node.users.insert(a.users[i], a.fragment);
    for (int i = 0; i < a.chanCount; ++i) (void)node.chans.insert(a.chans[i], a.fragment);
}

}  // namespace

int nodeIndex(const LinkStateDb &db, uint32_t id)
{
    for (int i = 0; i < db.count; ++i)
        if (db.nodes[i].id == id) return i;
    return -1;
}

bool linked(const LinkStateDb &db, int a, int b)
{
    const NodeState &x = db.nodes[a];
    const NodeState &y = db.nodes[b];
    return a != b && x.known && y.known && lists(x.links, x.linkCount, y.id) && lists(y.links, y.linkCount, x.id);
}

bool hostsUser(const NodeState &node, std::string_view nick) { return node.known && node.users.contains(nick); }

bool hostsChannel(const NodeState &node, std::string_view chan) { return node.known && node.chans.contains(chan); }

void holdFragment(NodeState &node, int fragment, uint32_t seq)
{
    FragmentState &f = node.fragments[fragment];
    if (!f.held) ++node.fragmentsHeld;
    f.held = true;
    f.seq = seq;
    if (fragment == 0) node.known = true;
}

Install installAdvert(LinkStateDb &db, int index, const Advert &advert, int64_t now, int64_t expiresAt)
{
    NodeState &node = db.nodes[index];
    FragmentState &held = node.fragments[advert.fragment];
    bool settles = false;
    if (held.held) {
        const int32_t distance = seqDistance(held.seq, advert.seq);
        if (distance == 0) return Install::Same;
        settles = plausibleStep(distance);
        if (!settles && held.settled) return Install::Implausible;
        if (settles && distance < 0) return Install::Older;
    }
    if (!withinLimits(node, advert)) return Install::OverLimit;
    // The first fragment heard of a node lives as long as a fragment 0 would; later ones live with it.
    if (advert.fragment == 0 || !holdsAnyFragment(node)) node.expiresAt = expiresAt;
    holdFragment(node, advert.fragment, advert.seq);
    held.settled = settles;
    takeNames(node, advert);
    if (advert.fragment == 0) {
        node.linkCount = advert.linkCount;
        std::copy(advert.links, advert.links + advert.linkCount, node.links);
        node.installedAt = now;
    }
    return Install::Newer;
}

void forgetNode(NodeState &node)
{
    node.known = false;
    node.linkCount = 0;
    std::fill(std::begin(node.fragments), std::end(node.fragments), FragmentState{});
    node.fragmentsHeld = 0;
    node.users.clear();
    node.chans.clear();
}

bool expireAdverts(LinkStateDb &db, int64_t now)
{
    bool dropped = false;
    for (int i = 0; i < db.count; ++i) {
        NodeState &node = db.nodes[i];
        if (i == db.self || !holdsAnyFragment(node) || now < node.expiresAt) continue;
        forgetNode(node);
        dropped = true;
    }
    return dropped;
}

void fragmentAdvert(const NodeState &node, int fragment, Advert &out)
{
    out.origin = node.id;
    out.seq = node.fragments[fragment].seq;
    out.fragment = fragment;
    out.linkCount = fragment == 0 ? node.linkCount : 0;
    std::copy(node.links, node.links + out.linkCount, out.links);
    out.userCount = out.chanCount = 0;
    node.users.forEachIn(fragment, [&](std::string_view name) { out.users[out.userCount++] = name; });
    node.chans.forEachIn(fragment, [&](std::string_view name) { out.chans[out.chanCount++] = name; });
}
