// The lines the server sends its routing daemon.
#pragma once

inline constexpr char FMT_ADDUSER[] = "ADDUSER %s";
inline constexpr char FMT_REMOVEUSER[] = "REMOVEUSER %s";
inline constexpr char FMT_ADDCHAN[] = "ADDCHAN %s";
inline constexpr char FMT_REMOVECHAN[] = "REMOVECHAN %s";
inline constexpr char FMT_NEXTHOP[] = "NEXTHOP %s";       // nick
// The source node as decimal text: this node's own ID, or the one a FORWARD line brought.
inline constexpr char FMT_NEXTHOPS[] = "NEXTHOPS %s %s";  // source node, channel
