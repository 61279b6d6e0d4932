// The shared key and its MACs.
#include "rt_key.h"

#include <sodium.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

bool rt_key_strict;

namespace {

constexpr size_t KEY_MIN = 16;  // shorter is guessable
constexpr size_t KEY_MAX = 1024;
// Binds a proof to the server link, so that no datagram's MAC can ever serve as one.
constexpr char SERVER_LINK_LABEL[] = "quorvel server link";

struct Key {
    bool loaded = false;
    size_t length = 0;
    unsigned char bytes[KEY_MAX] = {};
};

Key key;

// Whether a file group or others may read or write can serve: with a warning from the command
// line, never under --strict-key (the services), as ssh refuses an exposed private key.
bool privateEnough(const char *progName, const char *path, FILE *in)
{
    struct stat st{};
    if (fstat(fileno(in), &st) != 0 || (st.st_mode & 077) == 0) return true;
    std::fprintf(stderr,
                 "%s: %s: key file %s is accessible by group or others (mode %03o); anyone who reads "
                 "it can speak for this network: chmod 600 %s\n",
                 progName, rt_key_strict ? "refused" : "warning", path, static_cast<unsigned>(st.st_mode & 0777),
                 path);
    return !rt_key_strict;
}

}  // namespace

bool rt_load_key(const char *progName, const char *path)
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
    if (!privateEnough(progName, path, in)) {
        std::fclose(in);
        return false;
    }
    key.length = std::fread(key.bytes, 1, sizeof key.bytes, in);
    const bool tooLong = std::fgetc(in) != EOF;
    std::fclose(in);
    if (key.length < KEY_MIN || tooLong) {
        std::fprintf(stderr, "%s: key file %s must hold %zu to %zu bytes\n", progName, path, KEY_MIN, KEY_MAX);
        rt_forget_key();
        return false;
    }
    key.loaded = true;
    return true;
}

bool rt_key_loaded() { return key.loaded; }

void rt_forget_key()
{
    sodium_memzero(&key, sizeof key);
    key = Key{};
}

void rt_key_mac(const rt_mac_part *parts, int count, unsigned char (&out)[RT_MAC_SIZE])
{
    static_assert(RT_MAC_SIZE == crypto_auth_hmacsha256_BYTES);
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, key.bytes, key.length);
    for (int i = 0; i < count; ++i)
        crypto_auth_hmacsha256_update(&state, static_cast<const unsigned char *>(parts[i].data), parts[i].length);
    crypto_auth_hmacsha256_final(&state, out);
    sodium_memzero(&state, sizeof state);
}

const char *rt_key_line_hex(const char *line, const char *word, size_t digits)
{
    const size_t wordLength = std::strlen(word);
    if (std::strncmp(line, word, wordLength) != 0 || line[wordLength] != ' ') return nullptr;
    const char *hex = line + wordLength + 1;
    const bool exact = std::strlen(hex) == digits && std::strspn(hex, "0123456789abcdefABCDEF") == digits;
    return exact ? hex : nullptr;
}

void rt_server_link_proof(uint32_t nodeID, const char *challengeHex, char (&out)[2 * RT_MAC_SIZE + 1])
{
    char id[16];
    const int idLength = std::snprintf(id, sizeof id, " %lu ", static_cast<unsigned long>(nodeID));
    const rt_mac_part parts[] = {{SERVER_LINK_LABEL, sizeof SERVER_LINK_LABEL - 1},
                                 {id, static_cast<size_t>(idLength)},
                                 {challengeHex, std::strlen(challengeHex)}};
    unsigned char digest[RT_MAC_SIZE];
    rt_key_mac(parts, 3, digest);
    sodium_bin2hex(out, sizeof out, digest, sizeof digest);
}
