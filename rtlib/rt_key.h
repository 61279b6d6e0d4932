// The network's shared key file, read alike by the server (--key) and its routing daemon (-k), and
// the HMAC-SHA256 both compute with it through libsodium.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t RT_MAC_SIZE = 32;
inline constexpr size_t RT_CHALLENGE_HEX = 64;  // hex digits of a server link's challenge

// The server link's opening, with a key: the daemon's first line on every local connection is
// "CHALLENGE <RT_CHALLENGE_HEX hex digits>", and the connection becomes the link only when its
// first line is "AUTH <2 * RT_MAC_SIZE hex digits>" (rt_server_link_proof).
inline constexpr char RT_CHALLENGE_WORD[] = "CHALLENGE";
inline constexpr char RT_AUTH_WORD[] = "AUTH";
// The two ends' patience with that one exchange. The daemon closes a connection that has not
// proven the key this long after its accept. The server gives up on its attempt when the challenge
// has not come this long after its connect began: its clock starts earlier and also covers the
// connect, and waiting longer than the daemon means that an exchange which stalls is ended by
// the daemon, with a note saying why, instead of the server retrying while its last attempt
// still holds one of the daemon's few waiting places.
inline constexpr long long RT_AUTH_PATIENCE_MS = 2000;
inline constexpr long long RT_GREETING_PATIENCE_MS = 3000;

// When line is exactly word, one space and digits hex digits: those digits; otherwise null.
const char *rt_key_line_hex(const char *line, const char *word, size_t digits);

// Reads the key file; false, with the reason on standard error, when it cannot serve as a key. A
// file that group or others may read or write is taken with a warning on standard error, or
// refused when rt_key_strict is set (--strict-key, which the services give). The key itself is
// never printed.
extern bool rt_key_strict;
bool rt_load_key(const char *progName, const char *path);
bool rt_key_loaded();
void rt_forget_key();

struct rt_mac_part {
    const void *data;
    size_t length;
};

// HMAC-SHA256 with the loaded key over the parts, in order.
void rt_key_mac(const rt_mac_part *parts, int count, unsigned char (&out)[RT_MAC_SIZE]);

// The proof a server gives on its daemon link: the hex MAC of a fixed label, its node ID and the
// challenge the daemon sent (RT_CHALLENGE_HEX hex digits), terminated.
void rt_server_link_proof(uint32_t nodeID, const char *challengeHex, char (&out)[2 * RT_MAC_SIZE + 1]);
