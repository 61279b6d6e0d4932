// Where this node's names go. A name stays in its fragment until it is withdrawn, so a change
// touches the fragments of the names it adds or withdraws and no other; a name withdrawn and
// announced again before its change goes out returns to the fragment it left, if there is room.
#include "own_advert.h"

#include <algorithm>

#include "lsdb.h"

namespace {

struct OwnChanges {
    bool touched[MAX_FRAGMENTS];
    bool tookMovedName[MAX_FRAGMENTS];
};

OwnChanges changes;

NodeState &self() { return lsdb.nodes[lsdb.self]; }

int roomIn(int fragment)
{
    return fragmentNameRoom(fragment) - self().users.bytesIn(fragment) - self().chans.bytesIn(fragment);
}

void purgeRetired(int fragment)
{
    self().users.purgeRetired(fragment);
    self().chans.purgeRetired(fragment);
}

// The fragment it left, while it has room; else one this change touches already, so that a
// renamed user costs one fragment where it can; else the first with room, which limits.h
// guarantees while the node is within its limits.
int placeFor(int size, int left)
{
    if (left >= 0 && roomIn(left) >= size) return left;
    for (int fragment = 0; fragment < MAX_FRAGMENTS; ++fragment)
        if (changes.touched[fragment] && roomIn(fragment) >= size) return fragment;
    for (int fragment = 0; fragment < MAX_FRAGMENTS; ++fragment)
        if (roomIn(fragment) >= size) return fragment;
    return -1;
}

template <typename Table>
bool announceIn(Table &table, std::string_view name, int limit)
{
    if (table.contains(name)) return true;
    if (table.count() >= limit) return false;
    const int left = table.retiredFragment(name);
    const int fragment = placeFor(static_cast<int>(name.size()) + 1, left);
    if (fragment < 0) return false;
    // Entries of names withdrawn in this change fill the table: they give up their way back.
    if (!table.insert(name, fragment)) {
        for (int f = 0; f < MAX_FRAGMENTS; ++f) purgeRetired(f);
        (void)table.insert(name, fragment);
    }
    changes.touched[fragment] = true;
    if (left >= 0 && left != fragment) changes.tookMovedName[fragment] = true;
    return true;
}

template <typename Table>
void withdrawFrom(Table &table, std::string_view name)
{
    const int fragment = table.retire(name);
    if (fragment >= 0) changes.touched[fragment] = true;
}

}  // namespace

bool announceName(NameKind kind, std::string_view name)
{
    return kind == NameKind::User ? announceIn(self().users, name, MAX_USERS)
                                  : announceIn(self().chans, name, MAX_CHANNELS);
}

void withdrawName(NameKind kind, std::string_view name)
{
    if (kind == NameKind::User) withdrawFrom(self().users, name);
    else withdrawFrom(self().chans, name);
}

void withdrawAllNames()
{
    for (int fragment = 0; fragment < MAX_FRAGMENTS; ++fragment)
        if (self().users.countIn(fragment) + self().chans.countIn(fragment) > 0) changes.touched[fragment] = true;
    self().users.clear();
    self().chans.clear();
}

void touchOwnFragment(int fragment) { changes.touched[fragment] = true; }

int takeOwnChanges(int (&fragments)[MAX_FRAGMENTS])
{
    int count = 0;
    for (bool moved : {true, false})
        for (int fragment = 0; fragment < MAX_FRAGMENTS; ++fragment)
            if (changes.touched[fragment] && changes.tookMovedName[fragment] == moved) fragments[count++] = fragment;
    for (int i = 0; i < count; ++i) purgeRetired(fragments[i]);
    changes = OwnChanges{};
    return count;
}

void resetOwnAdvert() { changes = OwnChanges{}; }
