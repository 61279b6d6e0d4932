// Every size the routing daemon's fixed tables are built from.
#pragma once

#include "../rtlib/rt_config.h"

inline constexpr int MAX_NODES = RT_MAX_CONFIG_LINES;  // every line of a full configuration file
// What one node may announce: a server's client and channel tables of its client profile, whole.
inline constexpr int MAX_USERS = 4096;
inline constexpr int MAX_CHANNELS = 1024;
inline constexpr int NAME_LENGTH_MAX = 31;  // characters of a nick or channel name
inline constexpr int NAME_SIZE = NAME_LENGTH_MAX + 1;
inline constexpr int REQUEST_SIZE = 512;    // one line from the server, terminator included
inline constexpr int ANSWER_SIZE = 512;

// A datagram crosses a link of the common MTU (1500) whole, with its MAC trailer (auth.h): a lost
// IP fragment would lose the datagram, and some paths drop fragments altogether.
inline constexpr int UNFRAGMENTED_PAYLOAD = 1500 - 20 - 8;  // less the IPv4 and UDP headers
inline constexpr int AUTH_TRAILER_SIZE = 1 + 16 + 1 + 64;   // " <16 hex digits of counter> <64 of MAC>"
inline constexpr int DATAGRAM_SIZE = UNFRAGMENTED_PAYLOAD - AUTH_TRAILER_SIZE + 1;  // the text and its terminator

// An advertisement no longer fits one datagram: it goes in numbered fragments, each with the
// words below around as many names as fit. Fragment 0 keeps room for every link, the others none.
inline constexpr int ID_TEXT_MAX = 10;  // a 32-bit number in decimal
inline constexpr int FRAGMENT_WORD_MAX = 9;  // " frag=" and up to three digits
inline constexpr int ADVERT_HEAD_MAX = 3 + 3 * (1 + ID_TEXT_MAX) + (1 + 2) + 2 * (1 + 3) + FRAGMENT_WORD_MAX;
inline constexpr int FRAGMENT_NAME_ROOM = DATAGRAM_SIZE - 1 - ADVERT_HEAD_MAX;  // bytes of " <name>" words
inline constexpr int FIRST_FRAGMENT_NAME_ROOM = FRAGMENT_NAME_ROOM - MAX_NODES * (1 + ID_TEXT_MAX);
inline constexpr int FRAGMENT_NAMES_MAX = FRAGMENT_NAME_ROOM / 2;  // names of one character each

constexpr int fragmentNameRoom(int fragment) { return fragment == 0 ? FIRST_FRAGMENT_NAME_ROOM : FRAGMENT_NAME_ROOM; }

// Enough fragments that a name always finds one with room while the node holds fewer names than
// its limits, however the names came and went: were none to have room for a name, each would
// hold more than its room less NAME_SIZE bytes, and together more than all the other names take.
constexpr int fragmentsNeeded()
{
    const int othersAtMost = (MAX_USERS + MAX_CHANNELS - 1) * NAME_SIZE;
    int fragments = 1, heldBeforeRefusal = FIRST_FRAGMENT_NAME_ROOM - NAME_SIZE;
    for (; heldBeforeRefusal < othersAtMost; ++fragments) heldBeforeRefusal += FRAGMENT_NAME_ROOM - NAME_SIZE;
    return fragments;
}
inline constexpr int MAX_FRAGMENTS = fragmentsNeeded();

inline constexpr int CONFIG_DIGEST_SIZE = 16;  // bytes, the shortest libsodium's generic hash gives
static_assert(MAX_FRAGMENTS <= 999 && FRAGMENT_NAMES_MAX <= 999, "the head's counts and fragment number take three digits");
static_assert(FIRST_FRAGMENT_NAME_ROOM >= 4 * NAME_SIZE, "fragment 0 carries names beside its links");
static_assert(24 + (MAX_NODES + 1) * (ID_TEXT_MAX + 1) + 2 * CONFIG_DIGEST_SIZE + 2 * (7 + 16) < DATAGRAM_SIZE,
              "the longest hello, digest and session nonces included, must fit a datagram");
