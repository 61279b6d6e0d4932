// Authenticity of the daemons' datagrams: with a shared key, every datagram ends in a counter and
// an HMAC-SHA256 that binds its text and counter to the sender, the receiver and the pair of
// session nonces the two agreed on. Without one, datagrams go as plain text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../rtlib/rt_key.h"
#include "limits.h"  // AUTH_TRAILER_SIZE: " <16 hex digits of counter> <64 hex digits of MAC>"

inline bool loadKey(const char *progName, const char *path) { return rt_load_key(progName, path); }
inline bool authEnabled() { return rt_key_loaded(); }
inline void forgetKey() { rt_forget_key(); }  // for the tests

// Whom a keyed datagram is from and for, and under which sessions: the sender's own nonce for
// this receiver, and the receiver's nonce as the sender last heard it (0 when it has heard none).
struct SealContext {
    uint32_t from;
    uint32_t to;
    uint64_t senderNonce;
    uint64_t receiverNonce;
};

struct Trailer {
    uint64_t counter;
    unsigned char mac[RT_MAC_SIZE];
};

// Appends the trailer to the length bytes of text when a key is loaded; the new length.
// capacity must leave room for AUTH_TRAILER_SIZE more bytes and a terminator.
size_t sealDatagram(char *text, size_t length, size_t capacity, uint64_t counter, const SealContext &context);
// Takes the trailer off when a key is loaded: false when it is missing or malformed. The text's
// length without it goes into length. Without a key, true with a zero trailer.
bool readTrailer(const char *text, size_t &length, Trailer &trailer);
// Whether the trailer's MAC is the one of text, its counter and the context (always without a key).
bool trailerMatches(const char *text, size_t length, const Trailer &trailer, const SealContext &context);
// A fresh random session nonce, never 0 (which means "none heard").
uint64_t drawNonce();
