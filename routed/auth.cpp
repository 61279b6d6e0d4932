// The shared key and the MAC of every datagram, through libsodium's HMAC-SHA256.
#include "auth.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>

#include "codec.h"

namespace {

constexpr size_t KEY_MIN = 16;   // shorter is guessable
constexpr size_t KEY_MAX = 1024;

struct Key {
    bool loaded = false;
    size_t length = 0;
    unsigned char bytes[KEY_MAX] = {};
};

Key key;

void mac(const char *text, size_t length, uint64_t counter, unsigned char (&out)[crypto_auth_hmacsha256_BYTES])
{
    unsigned char counterBytes[8];
    for (int i = 0; i < 8; ++i) counterBytes[i] = static_cast<unsigned char>(counter >> (56 - 8 * i));
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, key.bytes, key.length);
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char *>(text), length);
    crypto_auth_hmacsha256_update(&state, counterBytes, sizeof counterBytes);
    crypto_auth_hmacsha256_final(&state, out);
    sodium_memzero(&state, sizeof state);
}

}  // namespace

bool loadKey(const char *progName, const char *path)
{
    if (sodium_init() < 0) {
        std::fprintf(stderr, "%s: libsodium cannot start\n", progName);
        return false;
    }
    FILE *in = std::fopen(path, "rb");
    if (!in) {
        std::fprintf(stderr, "%s: can't open key file = %s\n", progName, path);
        return false;
    }
    key.length = std::fread(key.bytes, 1, sizeof key.bytes, in);
    const bool tooLong = std::fgetc(in) != EOF;
    std::fclose(in);
    if (key.length < KEY_MIN || tooLong) {
        std::fprintf(stderr, "%s: key file %s must hold %zu to %zu bytes\n", progName, path, KEY_MIN, KEY_MAX);
        forgetKey();
        return false;
    }
    key.loaded = true;
    return true;
}

bool authEnabled() { return key.loaded; }

void forgetKey()
{
    sodium_memzero(&key, sizeof key);
    key = Key{};
}

size_t sealDatagram(char *text, size_t length, size_t capacity, uint64_t counter)
{
    if (!key.loaded || length + AUTH_TRAILER_SIZE >= capacity) return length;
    unsigned char digest[crypto_auth_hmacsha256_BYTES];
    mac(text, length, counter, digest);
    int n = std::snprintf(text + length, capacity - length, " %016llx ", static_cast<unsigned long long>(counter));
    length += static_cast<size_t>(n);
    sodium_bin2hex(text + length, capacity - length, digest, sizeof digest);
    return length + 2 * sizeof digest;
}

bool openDatagram(const char *text, size_t &length, uint64_t &counter)
{
    counter = 0;
    if (!key.loaded) return true;
    if (length < AUTH_TRAILER_SIZE) return false;
    const char *trailer = text + length - AUTH_TRAILER_SIZE;
    if (trailer[0] != ' ' || trailer[17] != ' ') return false;
    unsigned char given[crypto_auth_hmacsha256_BYTES];
    size_t givenLength = 0;
    if (sodium_hex2bin(given, sizeof given, trailer + 18, 64, nullptr, &givenLength, nullptr) != 0 ||
        givenLength != sizeof given)
        return false;
    for (int i = 1; i <= 16; ++i) {
        const int digit = hexValue(trailer[i]);
        if (digit < 0) return false;
        counter = counter << 4 | static_cast<uint64_t>(digit);
    }
    length -= AUTH_TRAILER_SIZE;
    unsigned char expected[crypto_auth_hmacsha256_BYTES];
    mac(text, length, counter, expected);
    return crypto_verify_32(given, expected) == 0;
}
