// The link-state database and the questions route computation asks of it.
#include "lsdb.h"

LinkStateDb lsdb;

namespace {

bool lists(const uint32_t *ids, int count, uint32_t id)
{
    for (int i = 0; i < count; ++i)
        if (ids[i] == id) return true;
    return false;
}

bool names(const char (*table)[NAME_SIZE], int count, std::string_view name)
{
    for (int i = 0; i < count; ++i)
        if (name == table[i]) return true;
    return false;
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
    return a != b && x.known && y.known && lists(x.advert.links, x.advert.linkCount, y.id) &&
           lists(y.advert.links, y.advert.linkCount, x.id);
}

bool hostsUser(const NodeState &node, std::string_view nick)
{
    return node.known && names(node.advert.users, node.advert.userCount, nick);
}

bool hostsChannel(const NodeState &node, std::string_view chan)
{
    return node.known && names(node.advert.chans, node.advert.chanCount, chan);
}

Install installAdvert(LinkStateDb &db, int index, const Advert &advert, int64_t now, int64_t expiresAt)
{
    NodeState &node = db.nodes[index];
    bool settles = false;
    if (node.known) {
        const int32_t distance = seqDistance(node.advert.seq, advert.seq);
        if (distance == 0) return Install::Same;
        settles = plausibleStep(distance);
        if (!settles && node.settled) return Install::Implausible;
        if (settles && distance < 0) return Install::Older;
    }
    node.known = true;
    node.settled = settles;
    node.advert = advert;
    node.installedAt = now;
    node.expiresAt = expiresAt;
    return Install::Newer;
}

bool expireAdverts(LinkStateDb &db, int64_t now)
{
    bool dropped = false;
    for (int i = 0; i < db.count; ++i) {
        NodeState &node = db.nodes[i];
        if (i == db.self || !node.known || now < node.expiresAt) continue;
        node.known = false;
        dropped = true;
    }
    return dropped;
}
