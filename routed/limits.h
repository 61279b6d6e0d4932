// Every size the routing daemon's fixed tables are built from.
#pragma once

#include "../rtlib/rt_config.h"

inline constexpr int MAX_NODES = RT_MAX_CONFIG_LINES;  // every line of a full configuration file
inline constexpr int MAX_NAMES = 16;        // users, and channels, one node may announce
inline constexpr int NAME_LENGTH_MAX = 31;  // characters of a nick or channel name
inline constexpr int NAME_SIZE = NAME_LENGTH_MAX + 1;
inline constexpr int REQUEST_SIZE = 512;    // one line from the server, terminator included
inline constexpr int ANSWER_SIZE = 512;

// The longest advertisement: a header, every link and every name with one space before each.
inline constexpr int ID_TEXT_MAX = 10;      // a 32-bit number in decimal
inline constexpr int DATAGRAM_SIZE =
    16 + 6 * (ID_TEXT_MAX + 1) + MAX_NODES * (ID_TEXT_MAX + 1) + 2 * MAX_NAMES * (NAME_LENGTH_MAX + 1);
inline constexpr int CONFIG_DIGEST_SIZE = 16;  // bytes, the shortest libsodium's generic hash gives
static_assert(24 + (MAX_NODES + 1) * (ID_TEXT_MAX + 1) + 2 * CONFIG_DIGEST_SIZE + 2 * (7 + 16) < DATAGRAM_SIZE,
              "the longest hello, digest and session nonces included, must fit a datagram");
static_assert(DATAGRAM_SIZE < 1472, "an advertisement must fit one unfragmented datagram");
