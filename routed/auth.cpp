// The MAC of every keyed datagram, through the shared key's HMAC-SHA256.
#include "auth.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>

#include "codec.h"

namespace {

// Keeps a datagram's MAC from ever serving as a server link's proof, or the reverse.
constexpr char DATAGRAM_LABEL[] = "quorvel datagram 2";

void mac(const char *text, size_t length, uint64_t counter, const SealContext &c, unsigned char (&out)[RT_MAC_SIZE])
{
    unsigned char bound[8 + 4 + 4 + 8 + 8];
    putBigEndian(bound, counter, 8);
    putBigEndian(bound + 8, c.from, 4);
    putBigEndian(bound + 12, c.to, 4);
    putBigEndian(bound + 16, c.senderNonce, 8);
    putBigEndian(bound + 24, c.receiverNonce, 8);
    const rt_mac_part parts[] = {{DATAGRAM_LABEL, sizeof DATAGRAM_LABEL}, {text, length}, {bound, sizeof bound}};
    rt_key_mac(parts, 3, out);
}

}  // namespace

size_t sealDatagram(char *text, size_t length, size_t capacity, uint64_t counter, const SealContext &context)
{
    if (!authEnabled() || length + AUTH_TRAILER_SIZE >= capacity) return length;
    unsigned char digest[RT_MAC_SIZE];
    mac(text, length, counter, context, digest);
    int n = std::snprintf(text + length, capacity - length, " %016llx ", static_cast<unsigned long long>(counter));
    length += static_cast<size_t>(n);
    sodium_bin2hex(text + length, capacity - length, digest, sizeof digest);
    return length + 2 * sizeof digest;
}

bool readTrailer(const char *text, size_t &length, Trailer &trailer)
{
    trailer = Trailer{};
    if (!authEnabled()) return true;
    if (length < AUTH_TRAILER_SIZE) return false;
    const char *t = text + length - AUTH_TRAILER_SIZE;
    if (t[0] != ' ' || t[17] != ' ') return false;
    size_t macLength = 0;
    if (sodium_hex2bin(trailer.mac, sizeof trailer.mac, t + 18, 64, nullptr, &macLength, nullptr) != 0 ||
        macLength != sizeof trailer.mac)
        return false;
    for (int i = 1; i <= 16; ++i) {
        const int digit = hexValue(t[i]);
        if (digit < 0) return false;
        trailer.counter = trailer.counter << 4 | static_cast<uint64_t>(digit);
    }
    length -= AUTH_TRAILER_SIZE;
    return true;
}

bool trailerMatches(const char *text, size_t length, const Trailer &trailer, const SealContext &context)
{
    if (!authEnabled()) return true;
    unsigned char expected[RT_MAC_SIZE];
    mac(text, length, trailer.counter, context, expected);
    return crypto_verify_32(trailer.mac, expected) == 0;
}

uint64_t drawNonce()
{
    uint64_t nonce = 0;
    while (nonce == 0) randombytes_buf(&nonce, sizeof nonce);
    return nonce;
}
