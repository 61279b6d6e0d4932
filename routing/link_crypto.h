// The cryptography of a node link under the network key: the proofs each end gives in the
// handshake, and the two encrypted, authenticated byte streams (libsodium's secretstream) that
// follow it. Pure computation over the caller's buffers: no sockets, no allocation.
//
// The transcript: the caller assembles it from the handshake bytes and passes the same bytes on
// both ends wherever both must agree (the cipher's, always; a proof's, when it is checked), since
// nothing here can tell two transcripts that differ by a byte apart from two different links.
// A transcript holds both node IDs and both fresh nonces, so that no proof or key of one
// handshake serves in another.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstdint>

inline constexpr size_t LINK_NONCE_SIZE = 32;
inline constexpr size_t LINK_NONCE_HEX = 2 * LINK_NONCE_SIZE;
inline constexpr size_t LINK_PROOF_HEX = 64;  // HMAC-SHA256 in hex
inline constexpr size_t LINK_HEADER_HEX = 2 * crypto_secretstream_xchacha20poly1305_HEADERBYTES;
inline constexpr size_t LINK_FRAME_PLAIN_MAX = 16 * 1024;  // plaintext bytes one frame carries at most
// A frame on the wire: 3 bytes big-endian length of what follows, then the secretstream ciphertext.
inline constexpr size_t LINK_FRAME_OVERHEAD = 3 + crypto_secretstream_xchacha20poly1305_ABYTES;
inline constexpr size_t LINK_FRAME_MAX = LINK_FRAME_PLAIN_MAX + LINK_FRAME_OVERHEAD;

enum class LinkRole { Opener, Acceptor };  // the end that connected, the end that accepted

void linkFreshNonce(unsigned char (&nonce)[LINK_NONCE_SIZE]);        // randombytes_buf
void linkHex(const unsigned char *bytes, size_t count, char *out);  // out holds 2*count+1
bool linkUnhex(const char *hex, unsigned char *bytes, size_t count); // exactly 2*count hex digits, then '\0'

// The proof an end gives of the network key: HMAC(key, a label fixed per role, then the transcript:
// every handshake byte exchanged before the proof, which the caller assembles and which holds both
// node IDs, both nonces, and the session and acknowledgement fields). Valid only for that role:
// an acceptor's proof replayed as an opener's (reflection) fails. Without a loaded key no proof is
// valid.
void linkProof(LinkRole role, const char *transcript, size_t length, char (&hex)[LINK_PROOF_HEX + 1]);
bool linkProofValid(LinkRole role, const char *transcript, size_t length, const char *hex);  // constant time

// Both directions of one link's encryption. Each direction's key is derived from the network key,
// the direction (opener->acceptor or acceptor->opener) and the same transcript, so two links (or a
// replayed handshake, which gets fresh nonces) never share a key. The transcript given to the two
// start functions must be the same bytes on both ends (the caller guarantees it), or the first
// frame each way opens as Forged.
struct LinkCipher {
    crypto_secretstream_xchacha20poly1305_state out;
    crypto_secretstream_xchacha20poly1305_state in;
    bool outReady;  // no initialisers: the links' tables stay untouched, and out of memory, until used
    bool inReady;
};
// Starts this end's sending stream; headerHex is sent to the other end in the handshake.
void linkCipherStartOut(LinkCipher &c, LinkRole self, const char *transcript, size_t length, char (&headerHex)[LINK_HEADER_HEX + 1]);
// Starts the receiving stream from the header the other end sent; false when it does not read as
// one, or when no key is loaded.
bool linkCipherStartIn(LinkCipher &c, LinkRole self, const char *transcript, size_t length, const char *headerHex);
// Wipes both directions' state, keys included; for a link that closes.
void linkCipherForget(LinkCipher &c);
// Seals `length` (1..LINK_FRAME_PLAIN_MAX) plain bytes as one frame at out (room LINK_FRAME_MAX); returns its size.
// Returns 0, sealing nothing, for a length out of that range, or before linkCipherStartOut with a key loaded.
size_t linkSeal(LinkCipher &c, const char *plain, size_t length, unsigned char *out);
enum class LinkOpen { NeedMore, Opened, Forged };
// Opens the frame at the start of in[0..length): NeedMore until it is whole; Forged for a bad
// length field (one that cannot hold at least one plain byte, or more than LINK_FRAME_PLAIN_MAX),
// a failed MAC, a frame out of order or replayed, or a tag other than a plain message's (a final
// one included). On Opened, `used` is the frame's size and plain (room LINK_FRAME_PLAIN_MAX) holds
// plainLength bytes. Forged is for good: it wipes the receiving stream, so that every later frame
// is Forged too and the link must close; so is every frame before linkCipherStartIn.
LinkOpen linkOpen(LinkCipher &c, const unsigned char *in, size_t length, size_t &used, char *plain, size_t &plainLength);
