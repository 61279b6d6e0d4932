// This node's own advertisement: the names its server announces, each placed in a fragment, and
// the fragments a change touched, which go out on the daemon's next tick. The names live in the
// database's entry of this node, like every other node's.
#pragma once

#include <string_view>

#include "limits.h"

enum class NameKind { User, Channel };

// False when the node holds its limit of that kind already (MAX_USERS, MAX_CHANNELS): nothing
// changes. A name held already changes nothing either.
bool announceName(NameKind kind, std::string_view name);
void withdrawName(NameKind kind, std::string_view name);
// The server link ended: every name goes, the fragments that held them go out empty.
void withdrawAllNames();

// Marks a fragment to go out again: its links changed, its refresh is due, or an old copy came back.
void touchOwnFragment(int fragment);

// The fragments touched since the last call. A fragment that took a name another one gave up
// comes first, so that no other node finds the name gone in between. The change is then final:
// a name withdrawn no longer returns to the fragment it left.
int takeOwnChanges(int (&fragments)[MAX_FRAGMENTS]);

void resetOwnAdvert();
