// The lines the server sends its routing daemon.
#pragma once

inline constexpr char FMT_ADDUSER[] = "ADDUSER %s";
inline constexpr char FMT_REMOVEUSER[] = "REMOVEUSER %s";
inline constexpr char FMT_ADDCHAN[] = "ADDCHAN %s";
inline constexpr char FMT_REMOVECHAN[] = "REMOVECHAN %s";
