// The node link's cryptography: a proof holds only for its role, transcript and key, and a frame
// opens only whole, unaltered, once, in order, and under its own link's key and direction.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "routing/link_crypto.h"
#include "rtlib/rt_key.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr char KEY[] = "0123456789abcdef0123456789abcdef";
constexpr char OTHER_KEY[] = "fedcba9876543210fedcba9876543210";
const std::string TRANSCRIPT = "LINK 1 2 0f1e2d3c 4b5a6978 SESSION 7 ACKED 0";

void loadKey(const char *bytes)
{
    rt_forget_key();
    char path[] = "/tmp/quorvel-link-key-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes, std::strlen(bytes)), static_cast<ssize_t>(std::strlen(bytes)));
    close(fd);
    EXPECT_TRUE(rt_load_key("test", path));
    unlink(path);
}

std::string proof(LinkRole role, const std::string &transcript)
{
    char hex[LINK_PROOF_HEX + 1];
    linkProof(role, transcript.data(), transcript.size(), hex);
    return hex;
}

// Both ends of one link, each having started its receiving stream from the other's header.
struct Ends {
    LinkCipher opener{};
    LinkCipher acceptor{};

    explicit Ends(const std::string &transcript = TRANSCRIPT)
    {
        char header[LINK_HEADER_HEX + 1];
        linkCipherStartOut(opener, LinkRole::Opener, transcript.data(), transcript.size(), header);
        EXPECT_TRUE(linkCipherStartIn(acceptor, LinkRole::Acceptor, transcript.data(), transcript.size(), header));
        linkCipherStartOut(acceptor, LinkRole::Acceptor, transcript.data(), transcript.size(), header);
        EXPECT_TRUE(linkCipherStartIn(opener, LinkRole::Opener, transcript.data(), transcript.size(), header));
    }
};

Bytes seal(LinkCipher &c, const std::string &plain)
{
    Bytes frame(LINK_FRAME_MAX);
    frame.resize(linkSeal(c, plain.data(), plain.size(), frame.data()));
    return frame;
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Opens the frames of stream one after another: the plain texts, and what ended the run.
LinkOpen openAll(LinkCipher &c, const Bytes &stream, std::vector<std::string> &plains)
{
    std::string plain(LINK_FRAME_PLAIN_MAX, '\0');
    for (size_t at = 0;;) {
        size_t used = 0, plainLength = 0;
        const LinkOpen result = linkOpen(c, stream.data() + at, stream.size() - at, used, plain.data(), plainLength);
        if (result != LinkOpen::Opened) return result;
        plains.push_back(plain.substr(0, plainLength));
        at += used;
    }
}

class LinkCrypto : public ::testing::Test {
protected:
    void SetUp() override { loadKey(KEY); }
    void TearDown() override { rt_forget_key(); }
};

TEST_F(LinkCrypto, AProofHoldsOnlyForItsRoleTranscriptAndKey)
{
    const std::string good = proof(LinkRole::Opener, TRANSCRIPT);
    std::string changed = TRANSCRIPT;
    changed[12] ^= 1;
    struct Case {
        const char *what;
        LinkRole checkedAs;
        std::string transcript;
        std::string hex;
        const char *key;
        bool valid;
    };
    const Case cases[] = {
        {"as given", LinkRole::Opener, TRANSCRIPT, good, KEY, true},
        {"reflected as the acceptor's", LinkRole::Acceptor, TRANSCRIPT, good, KEY, false},
        {"the acceptor's, as the opener's", LinkRole::Opener, TRANSCRIPT, proof(LinkRole::Acceptor, TRANSCRIPT), KEY,
         false},
        {"a transcript byte changed", LinkRole::Opener, changed, good, KEY, false},
        {"the transcript cut short", LinkRole::Opener, TRANSCRIPT.substr(1), good, KEY, false},
        {"checked under another key", LinkRole::Opener, TRANSCRIPT, good, OTHER_KEY, false},
        {"checked without a key", LinkRole::Opener, TRANSCRIPT, good, nullptr, false},
        {"a digit short", LinkRole::Opener, TRANSCRIPT, good.substr(1), KEY, false},
        {"a digit more", LinkRole::Opener, TRANSCRIPT, good + "0", KEY, false},
        {"not hex", LinkRole::Opener, TRANSCRIPT, "g" + good.substr(1), KEY, false},
        {"empty", LinkRole::Opener, TRANSCRIPT, "", KEY, false},
    };
    for (const Case &c : cases) {
        rt_forget_key();
        if (c.key) loadKey(c.key);
        EXPECT_EQ(linkProofValid(c.checkedAs, c.transcript.data(), c.transcript.size(), c.hex.c_str()), c.valid)
            << c.what;
    }
}

TEST_F(LinkCrypto, FramesOfEverySizeCrossBothWaysAndBackToBack)
{
    Ends ends;
    for (const size_t size : {size_t{1}, size_t{100}, LINK_FRAME_PLAIN_MAX}) {
        for (auto [from, to] : {std::pair{&ends.opener, &ends.acceptor}, std::pair{&ends.acceptor, &ends.opener}}) {
            const std::string first(size, 'a'), second(size, 'b');
            const Bytes frame = seal(*from, first);
            EXPECT_EQ(frame.size(), size + LINK_FRAME_OVERHEAD);
            std::vector<std::string> plains;
            EXPECT_EQ(openAll(*to, frame + seal(*from, second), plains), LinkOpen::NeedMore) << size;
            EXPECT_EQ(plains, (std::vector<std::string>{first, second})) << size;
        }
    }
}

TEST_F(LinkCrypto, EveryPrefixOfAFrameNeedsMoreAndLeavesTheStreamWhereItWas)
{
    Ends ends;
    for (const size_t size : {size_t{1}, LINK_FRAME_PLAIN_MAX}) {
        const Bytes frame = seal(ends.opener, std::string(size, 'x'));
        std::string plain(LINK_FRAME_PLAIN_MAX, '\0');
        size_t used = 0, plainLength = 0;
        for (size_t prefix = 0; prefix < frame.size(); ++prefix)
            ASSERT_EQ(linkOpen(ends.acceptor, frame.data(), prefix, used, plain.data(), plainLength),
                      LinkOpen::NeedMore)
                << size << " " << prefix;
        EXPECT_EQ(linkOpen(ends.acceptor, frame.data(), frame.size(), used, plain.data(), plainLength),
                  LinkOpen::Opened);
        EXPECT_EQ(plainLength, size);
    }
}

TEST_F(LinkCrypto, AnythingButTheNextFrameOfThisLinkIsForgedAndEndsTheStream)
{
    const auto lengthField = [](size_t value, size_t bytesAfter) {
        Bytes frame{static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 8),
                    static_cast<unsigned char>(value)};
        frame.resize(3 + bytesAfter);
        return frame;
    };
    const size_t abytes = crypto_secretstream_xchacha20poly1305_ABYTES;
    struct Case {
        const char *what;
        std::function<Bytes(Ends &)> stream;  // what the acceptor is given
        size_t opened = 0;                     // frames of it that open before the forged one
    };
    const Case cases[] = {
        {"a bit flipped in the ciphertext", [](Ends &e) { Bytes f = seal(e.opener, "hi"); f[3] ^= 1; return f; }},
        {"a bit flipped in the MAC", [](Ends &e) { Bytes f = seal(e.opener, "hi"); f.back() ^= 0x80; return f; }},
        {"a length field one short", [](Ends &e) { Bytes f = seal(e.opener, "hi"); f[2] -= 1; return f; }},
        {"a frame replayed", [](Ends &e) { Bytes f = seal(e.opener, "hello"); return f + f; }, 1},
        {"frames out of order", [](Ends &e) { Bytes f = seal(e.opener, "one"); return seal(e.opener, "two") + f; }},
        {"the acceptor's own frame reflected", [](Ends &e) { return seal(e.acceptor, "hello"); }},
        {"a frame of a link with another nonce",
         [](Ends &) {
             std::string transcript = TRANSCRIPT;
             transcript[12] ^= 1;
             Ends other(transcript);
             return seal(other.opener, "hello");
         }},
        {"a frame of a link under another key",
         [](Ends &) {
             loadKey(OTHER_KEY);
             Ends other;
             loadKey(KEY);
             return seal(other.opener, "hello");
         }},
        {"a final tag",
         [](Ends &e) {
             Bytes f = {0, 0, static_cast<unsigned char>(1 + crypto_secretstream_xchacha20poly1305_ABYTES)};
             f.resize(f.size() + f[2]);
             crypto_secretstream_xchacha20poly1305_push(&e.opener.out, f.data() + 3, nullptr,
                                                        reinterpret_cast<const unsigned char *>("x"), 1, f.data(), 3,
                                                        crypto_secretstream_xchacha20poly1305_TAG_FINAL);
             return f;
         }},
        {"a length field of 0", [&](Ends &) { return lengthField(0, 0); }},
        {"a length field with no room for a plain byte", [&](Ends &) { return lengthField(abytes, abytes); }},
        {"a length field past the largest frame",
         [&](Ends &) { return lengthField(LINK_FRAME_PLAIN_MAX + abytes + 1, 0); }},
        {"a length field of all ones", [&](Ends &) { return lengthField(0xffffff, 0); }},
    };
    for (const Case &c : cases) {
        Ends ends;
        std::vector<std::string> plains;
        EXPECT_EQ(openAll(ends.acceptor, c.stream(ends), plains), LinkOpen::Forged) << c.what;
        EXPECT_EQ(plains.size(), c.opened) << c.what;
        EXPECT_EQ(openAll(ends.acceptor, seal(ends.opener, "after"), plains), LinkOpen::Forged) << c.what;
    }
}

TEST_F(LinkCrypto, NoStreamStartsFromABadHeaderOrWithoutAKey)
{
    LinkCipher c{};
    char header[LINK_HEADER_HEX + 1];
    linkCipherStartOut(c, LinkRole::Opener, TRANSCRIPT.data(), TRANSCRIPT.size(), header);
    const std::string good = header;
    for (const std::string &bad : {good.substr(1), good + "0", "z" + good.substr(1), std::string()})
        EXPECT_FALSE(linkCipherStartIn(c, LinkRole::Acceptor, TRANSCRIPT.data(), TRANSCRIPT.size(), bad.c_str()))
            << bad;
    for (const size_t size : {size_t{0}, LINK_FRAME_PLAIN_MAX + 1})
        EXPECT_EQ(seal(c, std::string(size, 'x')).size(), 0u) << size;

    rt_forget_key();
    LinkCipher keyless{};
    linkCipherStartOut(keyless, LinkRole::Opener, TRANSCRIPT.data(), TRANSCRIPT.size(), header);
    EXPECT_EQ(seal(keyless, "hello").size(), 0u);
    EXPECT_FALSE(linkCipherStartIn(keyless, LinkRole::Acceptor, TRANSCRIPT.data(), TRANSCRIPT.size(), good.c_str()));
    std::vector<std::string> plains;
    EXPECT_EQ(openAll(keyless, seal(c, "hello"), plains), LinkOpen::Forged);
}

}  // namespace
