// The datagrams the routing daemons exchange, as text so that a capture reads at a glance:
//
//   HELLO <from> <ids heard>... [cfg=<hex>] [nonce=<hex> peer=<hex>]
//                                            who the sender hears; a link is up when both ends list each other.
//                                            cfg= is the digest of the sender's configuration file; with a
//                                            key, nonce= is the sender's session nonce for the receiver and
//                                            peer= the receiver's as the sender last heard it (16 digits each).
//   LSA <from> <origin> <seq> <n> <ids>... <n> <nicks>... <n> <channels>... [frag=<k>]
//                                            fragment k of the origin's advertisement, 0 when frag= is left
//                                            out; only fragment 0 lists links, and each name is in one fragment
//   ACK <from> <origin> <seq> [frag=<k>]     fragment k of origin with seq, or a newer one, arrived
//
// <from> is the daemon that sent the datagram, <origin> the node an advertisement describes.
// An advertisement is cut into fragments once its names outgrow one datagram, as link-state
// protocols do; each fragment has its own sequence number and is flooded and acknowledged on its
// own, so a change re-sends only the fragment it touched. frag= has one spelling: no leading
// zero, never 0, below MAX_FRAGMENTS.
// Decoding is strict: a datagram that is not exactly one of these is rejected whole. The one
// allowance: a hello may end in words of the form name=value, of which only cfg= is read, so that
// a hello without a digest, or with an addition a later daemon makes, still brings a link up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "limits.h"

// One fragment of an advertisement. Its names view the text it was decoded from, or the tables
// it is encoded from: it lives no longer than they do.
struct Advert {
    uint32_t origin;
    uint32_t seq;
    int fragment;
    int linkCount;
    uint32_t links[MAX_NODES];  // nodes the origin has a two-way link with; fragment 0 only
    int userCount;
    std::string_view users[FRAGMENT_NAMES_MAX];
    int chanCount;
    std::string_view chans[FRAGMENT_NAMES_MAX];
};

// The bytes the fragment's names take in its datagram, a space before each: at most
// fragmentNameRoom(fragment), which decoding holds every fragment to, so that any daemon can
// pass on what it took whatever the length of its own ID.
int nameBytes(const Advert &advert);

struct ConfigDigest {
    uint8_t bytes[CONFIG_DIGEST_SIZE];
};

inline bool operator==(const ConfigDigest &a, const ConfigDigest &b)
{
    for (int i = 0; i < CONFIG_DIGEST_SIZE; ++i)
        if (a.bytes[i] != b.bytes[i]) return false;
    return true;
}

enum class DatagramKind { Hello, Advert, Ack };

struct Datagram {
    DatagramKind kind;
    uint32_t from;
    int heardCount;             // Hello
    uint32_t heard[MAX_NODES];
    bool hasDigest;             // Hello: the sender said which configuration it runs
    ConfigDigest digest;
    bool hasNonce, hasPeerNonce;  // Hello, keyed: the session nonces
    uint64_t nonce, peerNonce;
    Advert advert;              // Advert; origin, seq and fragment also name what an Ack acknowledges
};

struct HelloNonces {
    uint64_t own;    // the sender's nonce for this receiver
    uint64_t heard;  // the receiver's, as the sender last heard it; 0 for none
};

// Each returns the datagram's length, never more than DATAGRAM_SIZE - 1, and terminates it.
// digest and nonces may be null: the hello then says nothing of them. An advertisement that would
// not decode (too many names, links beyond fragment 0) is not encoded: the length is then 0.
size_t encodeHello(char (&out)[DATAGRAM_SIZE], uint32_t from, const uint32_t *heard, int heardCount,
                   const ConfigDigest *digest, const HelloNonces *nonces = nullptr);
size_t encodeAdvert(char (&out)[DATAGRAM_SIZE], uint32_t from, const Advert &advert);
size_t encodeAck(char (&out)[DATAGRAM_SIZE], uint32_t from, uint32_t origin, uint32_t seq, int fragment = 0);

bool decodeDatagram(std::string_view text, Datagram &out);

// A nick or channel as the daemons carry it: 1 to NAME_LENGTH_MAX bytes, none a space or a control byte.
bool isRoutableName(std::string_view name);
// Decimal digits only, no sign, at most 2^32 - 1.
bool readNodeNumber(std::string_view word, uint32_t &value);

// The low bytes of value, most significant first: how nonces go into hellos and into MACs.
void putBigEndian(uint8_t *out, uint64_t value, int bytes);

// A lowercase hexadecimal digit's value, or -1: the datagrams write hex in lowercase only.
int hexValue(char c);
