// The lines the server sends its routing daemon.
#pragma once

inline constexpr char FMT_REMOVEUSER[] = "REMOVEUSER %s";
