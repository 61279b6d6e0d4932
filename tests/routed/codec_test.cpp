// The daemons' datagrams: what one encodes the other decodes unchanged, even at the largest
// sizes, and anything that is not exactly one well-formed datagram is refused whole; fragments
// are held to the room any daemon can pass on.

#include "routed/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int LONGEST_NAME = NAME_LENGTH_MAX;

bool decodes(std::string_view text)
{
    Datagram d;
    return decodeDatagram(text, d);
}

std::string repeatWord(const std::string &word, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i) out += " " + word;
    return out;
}

// Names that fill a fragment's room exactly, each with its space: longest ones, then the rest.
std::vector<std::string> namesFilling(int room, char fill)
{
    std::vector<std::string> names;
    while (room > 0) {
        int size = std::min(room, NAME_SIZE);
        if (room - size == 1) --size;  // the last name takes at least a character and its space
        names.push_back(std::string(static_cast<size_t>(size - 1), fill));
        room -= size;
    }
    return names;
}

// A fragment of the names given, split between users and channels.
Advert fragmentOf(int fragment, const std::vector<std::string> &names, int links)
{
    Advert a{};
    a.origin = UINT32_MAX;
    a.seq = UINT32_MAX - 1;
    a.fragment = fragment;
    a.linkCount = links;
    for (int i = 0; i < links; ++i) a.links[i] = UINT32_MAX - static_cast<uint32_t>(i);
    for (size_t i = 0; i < names.size(); ++i) {
        if (i % 2) a.chans[a.chanCount++] = names[i];
        else a.users[a.userCount++] = names[i];
    }
    return a;
}

bool sameAdvert(const Advert &a, const Advert &b)
{
    return a.origin == b.origin && a.seq == b.seq && a.fragment == b.fragment &&
           std::vector<uint32_t>(a.links, a.links + a.linkCount) == std::vector<uint32_t>(b.links, b.links + b.linkCount) &&
           std::vector<std::string_view>(a.users, a.users + a.userCount) ==
               std::vector<std::string_view>(b.users, b.users + b.userCount) &&
           std::vector<std::string_view>(a.chans, a.chans + a.chanCount) ==
               std::vector<std::string_view>(b.chans, b.chans + b.chanCount);
}

// The fullest fragments of each kind, from the longest ID, fit a datagram whose MAC trailer still
// leaves it unfragmented, and survive decoding and encoding again byte for byte.
TEST(Codec, FullestFragmentsFitAndRoundTrip)
{
    const struct {
        int fragment, links;
        std::vector<std::string> names;
    } cases[] = {{0, MAX_NODES, namesFilling(FIRST_FRAGMENT_NAME_ROOM, 'f')},
                 {MAX_FRAGMENTS - 1, 0, namesFilling(FRAGMENT_NAME_ROOM, 'k')},
                 {1, 0, std::vector<std::string>(FRAGMENT_NAMES_MAX, "x")},
                 {0, MAX_NODES, std::vector<std::string>(FIRST_FRAGMENT_NAME_ROOM / 2, "x")}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "fragment " << c.fragment << " with " << c.names.size() << " names");
        const Advert a = fragmentOf(c.fragment, c.names, c.links);
        ASSERT_EQ(nameBytes(a), fragmentNameRoom(c.fragment));
        char out[DATAGRAM_SIZE];
        const size_t length = encodeAdvert(out, UINT32_MAX, a);
        ASSERT_GT(length, 0u);
        // A cut datagram would stop exactly at the buffer's end; the full one is shorter.
        ASSERT_LT(length, static_cast<size_t>(DATAGRAM_SIZE - 1));
        ASSERT_EQ(length, std::strlen(out));
        EXPECT_LE(static_cast<int>(length) + AUTH_TRAILER_SIZE, UNFRAGMENTED_PAYLOAD);

        Datagram d;
        ASSERT_TRUE(decodeDatagram(std::string_view(out, length), d));
        EXPECT_EQ(d.kind, DatagramKind::Advert);
        EXPECT_EQ(d.from, UINT32_MAX);
        EXPECT_TRUE(sameAdvert(d.advert, a));
        char again[DATAGRAM_SIZE];
        encodeAdvert(again, d.from, d.advert);
        EXPECT_STREQ(again, out);
    }
}

// What would not decode is not encoded: links beyond fragment 0, names beyond the room, a
// fragment number beyond the last.
TEST(Codec, EncodingRefusesWhatDecodingWould)
{
    char out[DATAGRAM_SIZE];
    std::vector<std::string> over = namesFilling(FRAGMENT_NAME_ROOM, 'o');
    over.back() += "y";
    std::vector<std::string> overFirst = namesFilling(FIRST_FRAGMENT_NAME_ROOM, 'o');
    overFirst.back() += "y";
    for (const Advert &a : {fragmentOf(1, {}, 1), fragmentOf(1, over, 0), fragmentOf(0, overFirst, 0),
                            fragmentOf(MAX_FRAGMENTS, {}, 0), fragmentOf(-1, {}, 0)})
        EXPECT_EQ(encodeAdvert(out, 1, a), 0u) << a.fragment;
    EXPECT_GT(encodeAdvert(out, 1, fragmentOf(1, namesFilling(FRAGMENT_NAME_ROOM, 'o'), 0)), 0u);
}

TEST(Codec, HelloAndAckRoundTrip)
{
    uint32_t heard[MAX_NODES];
    for (int i = 0; i < MAX_NODES; ++i) heard[i] = static_cast<uint32_t>(i) * 134217727u;
    ConfigDigest digest;
    // Every hex digit in both places of a byte, so that none is miswritten unseen.
    for (int i = 0; i < CONFIG_DIGEST_SIZE; ++i) digest.bytes[i] = static_cast<uint8_t>(i * 0x11 ^ (i & 1 ? 0x0f : 0));
    char out[DATAGRAM_SIZE];
    Datagram d;
    const ConfigDigest *const digests[] = {nullptr, &digest};
    for (const ConfigDigest *sent : digests) {
        for (int count : {0, 1, MAX_NODES}) {
            const size_t length = encodeHello(out, 7, heard, count, sent);
            ASSERT_LT(length, static_cast<size_t>(DATAGRAM_SIZE - 1));
            ASSERT_TRUE(decodeDatagram(std::string_view(out, length), d)) << out;
            EXPECT_EQ(d.kind, DatagramKind::Hello);
            EXPECT_EQ(d.from, 7u);
            ASSERT_EQ(d.heardCount, count);
            for (int i = 0; i < count; ++i) EXPECT_EQ(d.heard[i], heard[i]);
            ASSERT_EQ(d.hasDigest, sent != nullptr) << out;
            if (sent) {
                EXPECT_TRUE(d.digest == digest) << out;
            }
        }
    }
    ASSERT_TRUE(decodeDatagram(std::string_view(out, encodeAck(out, 0, UINT32_MAX, 12)), d)) << out;
    EXPECT_EQ(d.kind, DatagramKind::Ack);
    EXPECT_EQ(d.from, 0u);
    EXPECT_EQ(d.advert.origin, UINT32_MAX);
    EXPECT_EQ(d.advert.seq, 12u);
}

TEST(Codec, DecodesTheWrittenForm)
{
    Datagram d;
    ASSERT_TRUE(decodeDatagram("LSA 1 2 3 2 4 5 1 bob 2 #a &b", d));
    EXPECT_EQ((std::vector<uint32_t>{d.from, d.advert.origin, d.advert.seq, d.advert.links[0], d.advert.links[1]}),
              (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ((std::vector<int>{d.advert.linkCount, d.advert.userCount, d.advert.chanCount}), (std::vector<int>{2, 1, 2}));
    EXPECT_EQ(d.advert.users[0], "bob");
    EXPECT_EQ(d.advert.chans[1], "&b");
    EXPECT_EQ(d.advert.fragment, 0);
    ASSERT_TRUE(decodeDatagram("LSA 1 2 3 0 1 bob 0 frag=12", d));
    EXPECT_EQ(d.advert.fragment, 12);
    EXPECT_EQ(d.advert.users[0], "bob");
    ASSERT_TRUE(decodeDatagram("ACK 1 2 3 frag=" + std::to_string(MAX_FRAGMENTS - 1), d));
    EXPECT_EQ(d.kind, DatagramKind::Ack);
    EXPECT_EQ(d.advert.fragment, MAX_FRAGMENTS - 1);
    char out[DATAGRAM_SIZE];
    EXPECT_EQ(std::string(out, encodeAck(out, 1, 2, 3, 12)), "ACK 1 2 3 frag=12");
    EXPECT_EQ(std::string(out, encodeAck(out, 1, 2, 3)), "ACK 1 2 3");
    EXPECT_TRUE(decodes("LSA 1 2 3 0 0 0"));
    EXPECT_TRUE(decodes("HELLO 4294967295 0"));
    ASSERT_TRUE(decodeDatagram("HELLO 3 1 2 cfg=00112233445566778899aabbccddeeff", d));
    EXPECT_EQ((std::vector<uint32_t>{d.from, d.heard[0], d.heard[1]}), (std::vector<uint32_t>{3, 1, 2}));
    ASSERT_EQ(d.heardCount, 2);
    ASSERT_TRUE(d.hasDigest);
    EXPECT_EQ(std::vector<uint8_t>(d.digest.bytes, d.digest.bytes + 3), (std::vector<uint8_t>{0x00, 0x11, 0x22}));
    EXPECT_EQ(d.digest.bytes[CONFIG_DIGEST_SIZE - 1], 0xff);
}

// A hello without a digest, or with an addition after it that this daemon does not know, still
// counts: otherwise daemons that differ only in what their hellos add could never link.
TEST(Codec, HelloAdditionsAreOptionalAndSkippedWhenUnknown)
{
    const std::string digest = "cfg=" + std::string(2 * CONFIG_DIGEST_SIZE, 'a');
    Datagram d;
    ASSERT_TRUE(decodeDatagram("HELLO 3 1 2", d));
    EXPECT_FALSE(d.hasDigest);
    for (const std::string &text : {"HELLO 3 " + digest, "HELLO 3 1 2 " + digest + " later=x y=1",
                                    "HELLO 3 1 2 later=x " + digest}) {
        ASSERT_TRUE(decodeDatagram(text, d)) << text;
        EXPECT_TRUE(d.hasDigest) << text;
        EXPECT_EQ(d.digest.bytes[0], 0xaa) << text;
    }
    ASSERT_TRUE(decodeDatagram("HELLO 3 1 later=x", d));
    EXPECT_EQ(d.heardCount, 1);
    EXPECT_FALSE(d.hasDigest);
}

// What is read is read strictly: a bad digest is a fault, not a hello without one.
TEST(Codec, RejectsMalformedHelloAdditions)
{
    const std::string hex(2 * CONFIG_DIGEST_SIZE, 'a');
    const std::vector<std::string> texts{
        "HELLO 3 cfg=" + hex.substr(1),       "HELLO 3 cfg=" + hex + "a",           "HELLO 3 cfg=" + hex.substr(1) + "A",
        "HELLO 3 cfg=" + hex.substr(1) + "g", "HELLO 3 cfg=",                       "HELLO 3 cfg=" + hex + " cfg=" + hex,
        "HELLO 3 cfg=" + hex + " 1",          "HELLO 3 later=x 1",                  "HELLO 3 =x",
        "HELLO 3 Cfg=" + hex,                 "HELLO 3 cfg=" + hex + " ",           "HELLO 3  cfg=" + hex,
        "HELLO 3 cf-g=" + hex};
    for (const std::string &text : texts)
        EXPECT_FALSE(decodes(text)) << '"' << text << '"';
}

TEST(Codec, RejectsMalformedFraming)
{
    for (const char *text : {"", " ", "PING 1", "hello 1", "HELLO", "ACK", "LSA", "HELLO  1", " HELLO 1", "HELLO 1 ",
                             "HELLO 1  2", "HELLO\t1", "ACK 1 2", "ACK 1 2 3 4", "ACK 1 2 3 ", "LSA 1 2 3 0 0",
                             "LSA 1 2 3 0 0 0 x", "LSA 1 2 3 0 0 0 ", "LSA 1 2 3 2 4 0 0", "LSA 1 2 3 0 2 bob 0",
                             "LSA 1 2 3 0 0 1"})
        EXPECT_FALSE(decodes(text)) << '"' << text << '"';
}

// The fragment number has one spelling, after everything else, and only fragment 0 lists links.
TEST(Codec, RejectsMalformedFragmentNumbers)
{
    const std::string last = std::to_string(MAX_FRAGMENTS - 1), beyond = std::to_string(MAX_FRAGMENTS);
    EXPECT_TRUE(decodes("LSA 1 2 3 0 0 0 frag=" + last));
    EXPECT_TRUE(decodes("LSA 1 2 3 1 4 0 0"));
    for (const std::string &text : std::vector<std::string>{
             "LSA 1 2 3 0 0 0 frag=0", "LSA 1 2 3 0 0 0 frag=01", "LSA 1 2 3 0 0 0 frag=", "LSA 1 2 3 0 0 0 frag=" + beyond,
          "LSA 1 2 3 0 0 0 frag=4294967296", "LSA 1 2 3 0 0 0 frag=-1", "LSA 1 2 3 0 0 0 frag=+1",
          "LSA 1 2 3 0 0 0 frag=1 frag=2", "LSA 1 2 3 0 0 0 frag=1 ", "LSA 1 2 3 0 0 0  frag=1",
          "LSA 1 2 3 0 0 0 FRAG=1", "LSA 1 2 3 0 0 0 frag:1", "LSA 1 2 3 0 0 0 later=1", "LSA 1 2 3 1 4 0 0 frag=1",
          "LSA 1 2 3 frag=1 0 0 0", "ACK 1 2 3 frag=0", "ACK 1 2 3 frag=" + beyond, "ACK 1 2 3 frag=1 x",
          "ACK 1 2 3 frag=x", "HELLO 1 frag=1 2"})
        EXPECT_FALSE(decodes(text)) << '"' << text << '"';
}

TEST(Codec, RejectsCountsAboveTheMaxima)
{
    const std::string ids = repeatWord("9", MAX_NODES + 1);
    EXPECT_TRUE(decodes("HELLO 1" + repeatWord("9", MAX_NODES)));
    EXPECT_FALSE(decodes("HELLO 1" + ids));
    EXPECT_FALSE(decodes("LSA 1 2 3 " + std::to_string(MAX_NODES + 1) + ids + " 0 0"));
    const std::string names = repeatWord("n", FRAGMENT_NAMES_MAX + 1);
    const std::string over = std::to_string(FRAGMENT_NAMES_MAX + 1);
    EXPECT_FALSE(decodes("LSA 1 2 3 0 " + over + names + " 0 frag=1"));
    EXPECT_FALSE(decodes("LSA 1 2 3 0 0 " + over + names + " frag=1"));
    // Within the counts, but more bytes of names than the fragment's room: a relay with a longer ID
    // could not pass it on.
    const auto longNames = [](int count) {
        std::string text = std::to_string(count);
        for (int i = 0; i < count; ++i) text += " " + std::string(LONGEST_NAME - 3, 'n') + std::to_string(100 + i);
        return text;
    };
    const int fitFirst = FIRST_FRAGMENT_NAME_ROOM / NAME_SIZE, fit = FRAGMENT_NAME_ROOM / NAME_SIZE;
    EXPECT_TRUE(decodes("LSA 1 2 3 0 " + longNames(fitFirst) + " 0"));
    EXPECT_FALSE(decodes("LSA 1 2 3 0 " + longNames(fitFirst + 1) + " 0"));
    EXPECT_TRUE(decodes("LSA 1 2 3 0 0 " + longNames(fit) + " frag=1"));
    EXPECT_FALSE(decodes("LSA 1 2 3 0 0 " + longNames(fit + 1) + " frag=1"));
    // A count that overflows an int on the way in.
    EXPECT_FALSE(decodes("LSA 1 2 3 4294967295 1 0 0"));
}

TEST(Codec, RejectsBadNodeNumbers)
{
    for (const char *id : {"+1", "-1", "1a", "a1", "0x1", "1.0", "4294967296", "9999999999", "18446744073709551617"}) {
        EXPECT_FALSE(decodes(std::string("HELLO ") + id)) << id;
        EXPECT_FALSE(decodes(std::string("HELLO 1 ") + id)) << id;
        EXPECT_FALSE(decodes(std::string("ACK 1 ") + id + " 3")) << id;
        EXPECT_FALSE(decodes(std::string("LSA 1 2 3 1 ") + id + " 0 0")) << id;
    }
}

TEST(Codec, RejectsBadNames)
{
    const std::string longest(LONGEST_NAME, 'x');
    EXPECT_TRUE(decodes("LSA 1 2 3 0 1 " + longest + " 1 " + longest));
    for (const std::string &name : {longest + "x", std::string("a\tb"), std::string("a\x01"), std::string("a\x7f"),
                                    std::string("a\rb"), std::string("a\0b", 3)}) {
        EXPECT_FALSE(decodes("LSA 1 2 3 0 1 " + name + " 0"));
        EXPECT_FALSE(decodes("LSA 1 2 3 0 0 1 " + name));
    }
}

TEST(Codec, RejectsEmbeddedNulAndHugeInput)
{
    EXPECT_FALSE(decodes(std::string_view("HELLO 1\0", 8)));
    EXPECT_FALSE(decodes(std::string_view("HELLO\0 1", 8)));
    EXPECT_FALSE(decodes(std::string_view("ACK 1 2 3\0 4", 11)));
    EXPECT_FALSE(decodes(std::string_view("LSA 1 2 3 0 0\0 0", 15)));
    EXPECT_FALSE(decodes("HELLO 1" + repeatWord("2", 100000)));
    EXPECT_FALSE(decodes("LSA 1 2 3 0 1 " + std::string(1 << 20, 'n') + " 0"));
    EXPECT_FALSE(decodes(std::string(1 << 20, ' ')));
}

}  // namespace
