// Link-state databases built by hand: every listed node known, links and names added one by one.
#pragma once

#include "routed/lsdb.h"

#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace routedtest {

inline Advert &advertOf(LinkStateDb &db, uint32_t id) { return db.nodes[nodeIndex(db, id)].advert; }

// Only the advertisement of `from` names the link: half of one.
inline void listLink(LinkStateDb &db, uint32_t from, uint32_t to)
{
    Advert &a = advertOf(db, from);
    a.links[a.linkCount++] = to;
}

inline void link(LinkStateDb &db, uint32_t a, uint32_t b)
{
    listLink(db, a, b);
    listLink(db, b, a);
}

// Every listed node known, with the two-way links given and no names.
inline LinkStateDb makeDb(const std::vector<uint32_t> &ids, uint32_t selfId,
                          const std::vector<std::pair<uint32_t, uint32_t>> &links = {})
{
    LinkStateDb db;
    std::memset(&db, 0, sizeof db);
    db.count = static_cast<int>(ids.size());
    for (int i = 0; i < db.count; ++i) {
        db.nodes[i].id = ids[static_cast<size_t>(i)];
        db.nodes[i].known = true;
        db.nodes[i].advert.origin = db.nodes[i].id;
    }
    db.self = nodeIndex(db, selfId);
    for (auto [a, b] : links) link(db, a, b);
    return db;
}

inline LinkStateDb withSelf(LinkStateDb db, uint32_t selfId)
{
    db.self = nodeIndex(db, selfId);
    return db;
}

inline void addName(char (*table)[NAME_SIZE], int &count, std::string_view name)
{
    std::memset(table[count], 0, NAME_SIZE);
    std::memcpy(table[count++], name.data(), name.size());
}

inline void hostUser(LinkStateDb &db, uint32_t id, std::string_view nick)
{
    Advert &a = advertOf(db, id);
    addName(a.users, a.userCount, nick);
}

inline void hostChan(LinkStateDb &db, uint32_t id, std::string_view chan)
{
    Advert &a = advertOf(db, id);
    addName(a.chans, a.chanCount, chan);
}

}  // namespace routedtest
