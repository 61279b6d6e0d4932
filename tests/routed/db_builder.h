// Link-state databases built by hand: every listed node known, links and names added one by one.
#pragma once

#include "routed/lsdb.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace routedtest {

inline NodeState &nodeOf(LinkStateDb &db, uint32_t id) { return db.nodes[nodeIndex(db, id)]; }

// Only the advertisement of `from` names the link: half of one.
inline void listLink(LinkStateDb &db, uint32_t from, uint32_t to)
{
    NodeState &n = nodeOf(db, from);
    n.links[n.linkCount++] = to;
}

inline void link(LinkStateDb &db, uint32_t a, uint32_t b)
{
    listLink(db, a, b);
    listLink(db, b, a);
}

using Links = std::vector<std::pair<uint32_t, uint32_t>>;

// Every listed node known, with the two-way links given and no names, in a zeroed db.
inline void fillZeroed(LinkStateDb &db, const std::vector<uint32_t> &ids, uint32_t selfId, const Links &links)
{
    db.count = static_cast<int>(ids.size());
    for (int i = 0; i < db.count; ++i) {
        db.nodes[i].id = ids[static_cast<size_t>(i)];
        holdFragment(db.nodes[i], 0, 1);
    }
    db.self = nodeIndex(db, selfId);
    for (auto [a, b] : links) link(db, a, b);
}

// The same over whatever db held, such as the daemon's own.
inline void fillDb(LinkStateDb &db, const std::vector<uint32_t> &ids, uint32_t selfId, const Links &links = {})
{
    std::memset(&db, 0, sizeof db);
    fillZeroed(db, ids, selfId, links);
}

// A database is megabytes, mostly name tables no test fills: each is taken zeroed from the
// kernel, so that only the pages a test writes cost anything.
struct FreeDb {
    void operator()(LinkStateDb *db) const { std::free(db); }
};
using Db = std::unique_ptr<LinkStateDb, FreeDb>;

inline Db makeDb(const std::vector<uint32_t> &ids, uint32_t selfId, const Links &links = {})
{
    Db db(static_cast<LinkStateDb *>(std::calloc(1, sizeof(LinkStateDb))));
    fillZeroed(*db, ids, selfId, links);
    return db;
}

// The database as another node sees it, for the life of the object.
class SelfAs {
public:
    SelfAs(LinkStateDb &db, uint32_t id) : db_(db), saved_(db.self) { db.self = nodeIndex(db, id); }
    ~SelfAs() { db_.self = saved_; }
    SelfAs(const SelfAs &) = delete;
    SelfAs &operator=(const SelfAs &) = delete;

private:
    LinkStateDb &db_;
    int saved_;
};

// Names in the node's fragment 0 unless told otherwise.
inline void hostUser(LinkStateDb &db, uint32_t id, std::string_view nick, int fragment = 0)
{
    (void)nodeOf(db, id).users.insert(nick, fragment);
}

inline void hostChan(LinkStateDb &db, uint32_t id, std::string_view chan, int fragment = 0)
{
    (void)nodeOf(db, id).chans.insert(chan, fragment);
}

}  // namespace routedtest
