// Proofs and keys are both HMACs with the network key (rt_key_mac), told apart by their labels:
// HMAC is a pseudo-random function, so a key derived under one label says nothing of a proof,
// which travels in clear, under another. Each label goes in with its terminator, so that no label
// followed by a transcript reads as another label followed by another transcript, and every label
// starts with words that the daemon's MACs (datagrams, the server link) never start with.
#include "link_crypto.h"

#include <cstring>

#include "../rtlib/rt_key.h"

namespace {

using Stream = crypto_secretstream_xchacha20poly1305_state;

constexpr size_t LENGTH_FIELD = 3;
constexpr size_t ABYTES = crypto_secretstream_xchacha20poly1305_ABYTES;
static_assert(LINK_FRAME_OVERHEAD == LENGTH_FIELD + ABYTES);
static_assert(LINK_FRAME_MAX - LENGTH_FIELD < (size_t{1} << 8 * LENGTH_FIELD));
static_assert(LINK_PROOF_HEX == 2 * RT_MAC_SIZE);
static_assert(RT_MAC_SIZE == crypto_secretstream_xchacha20poly1305_KEYBYTES);

constexpr char OPENER_PROOF[] = "quorvel node link: the opener's proof";
constexpr char ACCEPTOR_PROOF[] = "quorvel node link: the acceptor's proof";
constexpr char OPENER_TO_ACCEPTOR[] = "quorvel node link: key from opener to acceptor";
constexpr char ACCEPTOR_TO_OPENER[] = "quorvel node link: key from acceptor to opener";

void labelledMac(const char *label, size_t labelSize, const char *transcript, size_t length,
                 unsigned char (&out)[RT_MAC_SIZE])
{
    const rt_mac_part parts[] = {{label, labelSize}, {transcript, length}};
    rt_key_mac(parts, 2, out);
}

void proofBytes(LinkRole role, const char *transcript, size_t length, unsigned char (&out)[RT_MAC_SIZE])
{
    if (role == LinkRole::Opener)
        labelledMac(OPENER_PROOF, sizeof OPENER_PROOF, transcript, length, out);
    else
        labelledMac(ACCEPTOR_PROOF, sizeof ACCEPTOR_PROOF, transcript, length, out);
}

// The key of the stream that `from` sends and the other end receives.
void streamKey(LinkRole from, const char *transcript, size_t length, unsigned char (&key)[RT_MAC_SIZE])
{
    if (from == LinkRole::Opener)
        labelledMac(OPENER_TO_ACCEPTOR, sizeof OPENER_TO_ACCEPTOR, transcript, length, key);
    else
        labelledMac(ACCEPTOR_TO_OPENER, sizeof ACCEPTOR_TO_OPENER, transcript, length, key);
}

LinkRole other(LinkRole role) { return role == LinkRole::Opener ? LinkRole::Acceptor : LinkRole::Opener; }

LinkOpen forged(LinkCipher &c)
{
    sodium_memzero(&c.in, sizeof c.in);
    c.inReady = false;
    return LinkOpen::Forged;
}

}  // namespace

void linkFreshNonce(unsigned char (&nonce)[LINK_NONCE_SIZE]) { randombytes_buf(nonce, sizeof nonce); }

void linkHex(const unsigned char *bytes, size_t count, char *out) { sodium_bin2hex(out, 2 * count + 1, bytes, count); }

bool linkUnhex(const char *hex, unsigned char *bytes, size_t count)
{
    if (strnlen(hex, 2 * count + 1) != 2 * count) return false;
    size_t got = 0;
    const char *end = nullptr;
    return sodium_hex2bin(bytes, count, hex, 2 * count, nullptr, &got, &end) == 0 && got == count &&
           end == hex + 2 * count;
}

void linkProof(LinkRole role, const char *transcript, size_t length, char (&hex)[LINK_PROOF_HEX + 1])
{
    unsigned char mac[RT_MAC_SIZE];
    proofBytes(role, transcript, length, mac);
    linkHex(mac, sizeof mac, hex);
}

bool linkProofValid(LinkRole role, const char *transcript, size_t length, const char *hex)
{
    unsigned char given[RT_MAC_SIZE];
    if (!rt_key_loaded() || !linkUnhex(hex, given, sizeof given)) return false;
    unsigned char expected[RT_MAC_SIZE];
    proofBytes(role, transcript, length, expected);
    return crypto_verify_32(given, expected) == 0;
}

void linkCipherStartOut(LinkCipher &c, LinkRole self, const char *transcript, size_t length,
                        char (&headerHex)[LINK_HEADER_HEX + 1])
{
    unsigned char key[RT_MAC_SIZE];
    streamKey(self, transcript, length, key);
    unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
    crypto_secretstream_xchacha20poly1305_init_push(&c.out, header, key);
    sodium_memzero(key, sizeof key);
    linkHex(header, sizeof header, headerHex);
    c.outReady = rt_key_loaded();
}

bool linkCipherStartIn(LinkCipher &c, LinkRole self, const char *transcript, size_t length, const char *headerHex)
{
    unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
    if (!rt_key_loaded() || !linkUnhex(headerHex, header, sizeof header)) return false;
    unsigned char key[RT_MAC_SIZE];
    streamKey(other(self), transcript, length, key);
    c.inReady = crypto_secretstream_xchacha20poly1305_init_pull(&c.in, header, key) == 0;
    sodium_memzero(key, sizeof key);
    return c.inReady;
}

void linkCipherForget(LinkCipher &c)
{
    sodium_memzero(&c, sizeof c);
    c = LinkCipher{};
}

// The length field goes in as additional data, so that a frame is authenticated as a whole.
size_t linkSeal(LinkCipher &c, const char *plain, size_t length, unsigned char *out)
{
    if (!c.outReady || length == 0 || length > LINK_FRAME_PLAIN_MAX) return 0;
    const size_t sealed = length + ABYTES;
    out[0] = static_cast<unsigned char>(sealed >> 16);
    out[1] = static_cast<unsigned char>(sealed >> 8);
    out[2] = static_cast<unsigned char>(sealed);
    crypto_secretstream_xchacha20poly1305_push(&c.out, out + LENGTH_FIELD, nullptr,
                                               reinterpret_cast<const unsigned char *>(plain), length, out,
                                               LENGTH_FIELD, crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
    return LENGTH_FIELD + sealed;
}

LinkOpen linkOpen(LinkCipher &c, const unsigned char *in, size_t length, size_t &used, char *plain, size_t &plainLength)
{
    if (!c.inReady) return LinkOpen::Forged;
    if (length < LENGTH_FIELD) return LinkOpen::NeedMore;
    const size_t sealed = size_t{in[0]} << 16 | size_t{in[1]} << 8 | in[2];
    if (sealed <= ABYTES || sealed > LINK_FRAME_PLAIN_MAX + ABYTES) return forged(c);
    if (length < LENGTH_FIELD + sealed) return LinkOpen::NeedMore;
    unsigned long long opened = 0;
    unsigned char tag = 0;
    if (crypto_secretstream_xchacha20poly1305_pull(&c.in, reinterpret_cast<unsigned char *>(plain), &opened, &tag,
                                                   in + LENGTH_FIELD, sealed, in, LENGTH_FIELD) != 0 ||
        tag != crypto_secretstream_xchacha20poly1305_TAG_MESSAGE)
        return forged(c);
    used = LENGTH_FIELD + sealed;
    plainLength = opened;
    return LinkOpen::Opened;
}
