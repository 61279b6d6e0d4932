// Authenticity of the daemons' datagrams: with a shared key, every datagram ends in a counter and
// an HMAC-SHA256 over the text and the counter. Without one, datagrams go as plain text.
#pragma once

#include <cstddef>
#include <cstdint>

// " <16 hex digits of counter> <64 hex digits of MAC>"
inline constexpr int AUTH_TRAILER_SIZE = 1 + 16 + 1 + 64;

// Reads the key file; false, with the reason on standard error, when it cannot serve as a key.
// The key itself is never printed.
bool loadKey(const char *progName, const char *path);
bool authEnabled();
void forgetKey();  // for the tests

// Appends the trailer to the length bytes of text when a key is loaded; the new length.
// capacity must leave room for AUTH_TRAILER_SIZE more bytes and a terminator.
size_t sealDatagram(char *text, size_t length, size_t capacity, uint64_t counter);
// Checks and strips the trailer when a key is loaded: false for a missing or wrong MAC. The text's
// length without it goes into length, its counter into counter (0 without a key).
bool openDatagram(const char *text, size_t &length, uint64_t &counter);
