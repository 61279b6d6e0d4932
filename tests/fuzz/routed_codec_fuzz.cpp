// The daemons' datagram codec. Any text that decodes must encode to a datagram that decodes to the
// same thing and encodes to the same bytes again; and a datagram built from the input's bytes
// within the codec's limits must survive encoding and decoding unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "routed/codec.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

bool sameAdvert(const Advert &a, const Advert &b)
{
    if (a.origin != b.origin || a.seq != b.seq || a.fragment != b.fragment || a.linkCount != b.linkCount ||
        a.userCount != b.userCount || a.chanCount != b.chanCount)
        return false;
    for (int i = 0; i < a.linkCount; ++i)
        if (a.links[i] != b.links[i]) return false;
    for (int i = 0; i < a.userCount; ++i)
        if (a.users[i] != b.users[i]) return false;
    for (int i = 0; i < a.chanCount; ++i)
        if (a.chans[i] != b.chans[i]) return false;
    return true;
}

bool sameDatagram(const Datagram &a, const Datagram &b)
{
    if (a.kind != b.kind || a.from != b.from) return false;
    switch (a.kind) {
    case DatagramKind::Hello:
        if (a.heardCount != b.heardCount || a.hasDigest != b.hasDigest) return false;
        if (a.hasDigest && !(a.digest == b.digest)) return false;
        if (a.hasNonce != b.hasNonce || a.nonce != b.nonce || a.peerNonce != b.peerNonce) return false;
        for (int i = 0; i < a.heardCount; ++i)
            if (a.heard[i] != b.heard[i]) return false;
        return true;
    case DatagramKind::Advert: return sameAdvert(a.advert, b.advert);
    case DatagramKind::Ack:
        return a.advert.origin == b.advert.origin && a.advert.seq == b.advert.seq && a.advert.fragment == b.advert.fragment;
    }
    return false;
}

size_t encode(char (&out)[DATAGRAM_SIZE], const Datagram &d)
{
    switch (d.kind) {
    case DatagramKind::Hello: {
        const HelloNonces nonces{d.nonce, d.peerNonce};
        return encodeHello(out, d.from, d.heard, d.heardCount, d.hasDigest ? &d.digest : nullptr,
                           d.hasNonce ? &nonces : nullptr);
    }
    case DatagramKind::Advert: return encodeAdvert(out, d.from, d.advert);
    case DatagramKind::Ack: return encodeAck(out, d.from, d.advert.origin, d.advert.seq, d.advert.fragment);
    }
    return 0;
}

void checkRoundTrip(const Datagram &d, const char *what)
{
    static char text[DATAGRAM_SIZE];
    const size_t length = encode(text, d);
    FUZZ_CHECK(length < DATAGRAM_SIZE && text[length] == '\0', "%s: the encoding is not terminated", what);
    static Datagram again;
    FUZZ_CHECK(decodeDatagram(std::string_view(text, length), again), "%s: its encoding does not decode: %s", what,
               printable(std::string_view(text, length)).c_str());
    FUZZ_CHECK(sameDatagram(d, again), "%s: decoding its encoding changed it: %s", what,
               printable(std::string_view(text, length)).c_str());
    static char second[DATAGRAM_SIZE];
    const size_t secondLength = encode(second, again);
    FUZZ_CHECK(std::string_view(text, length) == std::string_view(second, secondLength), "%s: encoding is unstable", what);
}

// Reads the input as the fields of a datagram; past the end every byte is zero.
class Bytes {
public:
    Bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t number()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return v;
    }
    // A routable name: 1 to NAME_LENGTH_MAX bytes above the space, 0x7f left out; it views out.
    std::string_view name(char (&out)[NAME_SIZE])
    {
        std::memset(out, 0, sizeof out);
        const int length = 1 + byte() % NAME_LENGTH_MAX;
        for (int i = 0; i < length; ++i) {
            const uint8_t c = byte();
            out[i] = static_cast<char>(c <= ' ' || c == 0x7f ? 'a' + c % 26 : c);
        }
        return {out, static_cast<size_t>(length)};
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

void buildDatagram(Bytes &in, Datagram &d)
{
    d = Datagram{};
    const uint8_t kind = in.byte() % 3;
    d.from = in.number();
    if (kind == 0) {
        d.kind = DatagramKind::Hello;
        d.heardCount = in.byte() % (MAX_NODES + 1);
        for (int i = 0; i < d.heardCount; ++i) d.heard[i] = in.number();
        d.hasDigest = in.byte() & 1;
        for (uint8_t &b : d.digest.bytes) b = d.hasDigest ? in.byte() : 0;
        d.hasNonce = d.hasPeerNonce = in.byte() & 1;
        if (d.hasNonce) d.nonce = uint64_t{in.number()} << 32 | in.number();
        if (d.hasNonce) d.peerNonce = uint64_t{in.number()} << 32 | in.number();
        return;
    }
    d.kind = kind == 1 ? DatagramKind::Advert : DatagramKind::Ack;
    Advert &a = d.advert;
    a.origin = in.number();
    a.seq = in.number();
    a.fragment = in.byte() % MAX_FRAGMENTS;
    if (kind == 2) return;
    a.linkCount = a.fragment == 0 ? in.byte() % (MAX_NODES + 1) : 0;
    for (int i = 0; i < a.linkCount; ++i) a.links[i] = in.number();
    // Names while they fit the fragment's room, as a daemon fills its fragments.
    static char store[2][FRAGMENT_NAMES_MAX][NAME_SIZE];
    int room = fragmentNameRoom(a.fragment);
    const auto fill = [&](std::string_view *names, int &count, char (*backing)[NAME_SIZE]) {
        const int wanted = (in.byte() << 8 | in.byte()) % (FRAGMENT_NAMES_MAX + 1);
        for (count = 0; count < wanted; ++count) {
            names[count] = in.name(backing[count]);
            room -= static_cast<int>(names[count].size()) + 1;
            if (room < 0) break;
        }
    };
    fill(a.users, a.userCount, store[0]);
    fill(a.chans, a.chanCount, store[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Datagram decoded;
    if (decodeDatagram(std::string_view(reinterpret_cast<const char *>(data), size), decoded))
        checkRoundTrip(decoded, "a decoded datagram");
    static Datagram built;
    Bytes in(data, size);
    buildDatagram(in, built);
    checkRoundTrip(built, "a built datagram");
    return 0;
}
