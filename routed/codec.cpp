// Encoding and strict decoding of the daemons' datagrams.
#include "codec.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Appends with a bound; the sizes in limits.h make every datagram fit, so a cut never happens.
class DatagramWriter {
public:
    explicit DatagramWriter(char (&out)[DATAGRAM_SIZE]) : out_(out) { std::memset(out, 0, sizeof out); }
    void word(const char *text) { put("%s%s", len_ ? " " : "", text); }
    void word(std::string_view text) { put("%s%.*s", len_ ? " " : "", static_cast<int>(text.size()), text.data()); }
    void number(uint64_t value) { put("%s%llu", len_ ? " " : "", static_cast<unsigned long long>(value)); }
    size_t length() const { return len_; }

private:
    __attribute__((format(printf, 2, 3))) void put(const char *fmt, ...);
    char *out_;
    size_t len_ = 0;
};

void DatagramWriter::put(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(out_ + len_, DATAGRAM_SIZE - len_, fmt, ap);
    va_end(ap);
    if (n > 0) len_ = std::min(len_ + static_cast<size_t>(n), static_cast<size_t>(DATAGRAM_SIZE - 1));
}

// Words separated by single spaces; an empty word (two spaces, a leading or trailing one) is a fault.
class WordReader {
public:
    explicit WordReader(std::string_view text) : rest_(text) {}
    bool word(std::string_view &out)
    {
        if (done_) return false;
        const size_t space = rest_.find(' ');
        out = rest_.substr(0, space);
        if (space == std::string_view::npos) done_ = true;
        else rest_.remove_prefix(space + 1);
        return !out.empty();
    }
    bool number(uint32_t &value)
    {
        std::string_view w;
        return word(w) && readNodeNumber(w, value);
    }
    bool count(int &value, int max)
    {
        uint32_t n;
        if (!number(n) || n > static_cast<uint32_t>(max)) return false;
        value = static_cast<int>(n);
        return true;
    }
    bool name(std::string_view &out) { return word(out) && isRoutableName(out); }
    bool atEnd() const { return done_; }

private:
    std::string_view rest_;
    bool done_ = false;
};

bool readIds(WordReader &in, uint32_t *ids, int &count)
{
    if (!in.count(count, MAX_NODES)) return false;
    for (int i = 0; i < count; ++i)
        if (!in.number(ids[i])) return false;
    return true;
}

bool readNames(WordReader &in, std::string_view *names, int &count)
{
    if (!in.count(count, FRAGMENT_NAMES_MAX)) return false;
    for (int i = 0; i < count; ++i)
        if (!in.name(names[i])) return false;
    return true;
}

constexpr char DIGEST_PREFIX[] = "cfg=";
constexpr char FRAGMENT_PREFIX[] = "frag=";
constexpr char NONCE_PREFIX[] = "nonce=";
constexpr char PEER_PREFIX[] = "peer=";
constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr int NONCE_BYTES = 8;

bool readHexBytes(std::string_view hex, uint8_t *out, int size)
{
    if (hex.size() != 2 * static_cast<size_t>(size)) return false;
    for (int i = 0; i < size; ++i) {
        const int high = hexValue(hex[2 * i]), low = hexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

// A 16-digit nonce after its prefix; false when another word, a second copy, or malformed.
bool readNonce(std::string_view word, const char *prefix, bool &seen, uint64_t &value, bool &bad)
{
    const size_t prefixLength = std::strlen(prefix);
    if (word.substr(0, prefixLength) != prefix) return false;
    uint8_t bytes[NONCE_BYTES] = {};
    bad = bad || seen || !readHexBytes(word.substr(prefixLength), bytes, NONCE_BYTES);
    seen = true;
    value = 0;
    for (uint8_t b : bytes) value = value << 8 | b;
    return true;
}

bool readExtension(std::string_view w, Datagram &out)
{
    bool bad = false;
    if (w.substr(0, sizeof DIGEST_PREFIX - 1) == DIGEST_PREFIX) {
        bad = out.hasDigest || !readHexBytes(w.substr(sizeof DIGEST_PREFIX - 1), out.digest.bytes, CONFIG_DIGEST_SIZE);
        out.hasDigest = true;
    } else if (!readNonce(w, NONCE_PREFIX, out.hasNonce, out.nonce, bad)) {
        (void)readNonce(w, PEER_PREFIX, out.hasPeerNonce, out.peerNonce, bad);
    }
    return !bad;
}

void writeHexWord(DatagramWriter &w, const char *prefix, const uint8_t *bytes, int size)
{
    char word[16 + 2 * CONFIG_DIGEST_SIZE] = {};
    const size_t prefixLength = std::strlen(prefix);
    std::memcpy(word, prefix, prefixLength);
    for (int i = 0; i < size; ++i) {
        word[prefixLength + 2 * i] = HEX_DIGITS[bytes[i] >> 4];
        word[prefixLength + 2 * i + 1] = HEX_DIGITS[bytes[i] & 0xf];
    }
    w.word(word);
}

void writeNonce(DatagramWriter &w, const char *prefix, uint64_t value)
{
    uint8_t bytes[NONCE_BYTES];
    putBigEndian(bytes, value, NONCE_BYTES);
    writeHexWord(w, prefix, bytes, NONCE_BYTES);
}

// name=value, the name in lower-case letters: an addition to a hello that a decoder may skip.
bool isExtension(std::string_view word)
{
    const size_t equals = word.find('=');
    if (equals == 0 || equals == std::string_view::npos) return false;
    for (char c : word.substr(0, equals))
        if (c < 'a' || c > 'z') return false;
    return true;
}

// The heard IDs, then the additions; a malformed digest or nonce fails the hello rather than passing as none.
bool readHello(WordReader &in, Datagram &out)
{
    bool inExtensions = false;
    while (!in.atEnd()) {
        std::string_view w;
        if (!in.word(w)) return false;
        if (isExtension(w)) {
            inExtensions = true;
            if (!readExtension(w, out)) return false;
        } else if (inExtensions || out.heardCount >= MAX_NODES || !readNodeNumber(w, out.heard[out.heardCount++])) {
            return false;
        }
    }
    return out.hasNonce == out.hasPeerNonce;  // a session is named by both nonces or not at all
}

// " frag=<k>" when it is the next word, the fragment 0 when nothing follows; false for anything else.
bool readFragment(WordReader &in, int &fragment)
{
    fragment = 0;
    if (in.atEnd()) return true;
    std::string_view w;
    if (!in.word(w) || w.substr(0, sizeof FRAGMENT_PREFIX - 1) != FRAGMENT_PREFIX) return false;
    const std::string_view digits = w.substr(sizeof FRAGMENT_PREFIX - 1);
    uint32_t k;
    if (digits.empty() || digits[0] == '0' || !readNodeNumber(digits, k) || k >= MAX_FRAGMENTS) return false;
    fragment = static_cast<int>(k);
    return true;
}

// Fragments past the first carry no links, and no fragment more names than any daemon can pass on.
bool readAdvert(WordReader &in, Advert &a)
{
    return in.number(a.origin) && in.number(a.seq) && readIds(in, a.links, a.linkCount) &&
           readNames(in, a.users, a.userCount) && readNames(in, a.chans, a.chanCount) && readFragment(in, a.fragment) &&
           (a.fragment == 0 || a.linkCount == 0) && nameBytes(a) <= fragmentNameRoom(a.fragment);
}

void writeFragment(DatagramWriter &w, int fragment)
{
    if (fragment == 0) return;
    char word[sizeof FRAGMENT_PREFIX + ID_TEXT_MAX];
    std::snprintf(word, sizeof word, "%s%d", FRAGMENT_PREFIX, fragment);
    w.word(word);
}

}  // namespace

void putBigEndian(uint8_t *out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool readNodeNumber(std::string_view word, uint32_t &value)
{
    if (word.empty() || word.size() > 10) return false;
    uint64_t n = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n > UINT32_MAX) return false;
    value = static_cast<uint32_t>(n);
    return true;
}

bool isRoutableName(std::string_view name)
{
    if (name.empty() || name.size() > NAME_LENGTH_MAX) return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    return true;
}

size_t encodeHello(char (&out)[DATAGRAM_SIZE], uint32_t from, const uint32_t *heard, int heardCount,
                   const ConfigDigest *digest, const HelloNonces *nonces)
{
    DatagramWriter w(out);
    w.word("HELLO");
    w.number(from);
    for (int i = 0; i < heardCount; ++i) w.number(heard[i]);
    if (digest) writeHexWord(w, DIGEST_PREFIX, digest->bytes, CONFIG_DIGEST_SIZE);
    if (nonces) {
        writeNonce(w, NONCE_PREFIX, nonces->own);
        writeNonce(w, PEER_PREFIX, nonces->heard);
    }
    return w.length();
}

int nameBytes(const Advert &a)
{
    int bytes = 0;
    for (int i = 0; i < a.userCount; ++i) bytes += static_cast<int>(a.users[i].size()) + 1;
    for (int i = 0; i < a.chanCount; ++i) bytes += static_cast<int>(a.chans[i].size()) + 1;
    return bytes;
}

size_t encodeAdvert(char (&out)[DATAGRAM_SIZE], uint32_t from, const Advert &a)
{
    DatagramWriter w(out);
    if (a.fragment < 0 || a.fragment >= MAX_FRAGMENTS || (a.fragment > 0 && a.linkCount > 0) ||
        a.linkCount > MAX_NODES || a.userCount > FRAGMENT_NAMES_MAX || a.chanCount > FRAGMENT_NAMES_MAX ||
        nameBytes(a) > fragmentNameRoom(a.fragment))
        return 0;
    w.word("LSA");
    w.number(from);
    w.number(a.origin);
    w.number(a.seq);
    w.number(static_cast<uint64_t>(a.linkCount));
    for (int i = 0; i < a.linkCount; ++i) w.number(a.links[i]);
    w.number(static_cast<uint64_t>(a.userCount));
    for (int i = 0; i < a.userCount; ++i) w.word(a.users[i]);
    w.number(static_cast<uint64_t>(a.chanCount));
    for (int i = 0; i < a.chanCount; ++i) w.word(a.chans[i]);
    writeFragment(w, a.fragment);
    return w.length();
}

size_t encodeAck(char (&out)[DATAGRAM_SIZE], uint32_t from, uint32_t origin, uint32_t seq, int fragment)
{
    DatagramWriter w(out);
    w.word("ACK");
    w.number(from);
    w.number(origin);
    w.number(seq);
    writeFragment(w, fragment);
    return w.length();
}

bool decodeDatagram(std::string_view text, Datagram &out)
{
    out = Datagram{};
    WordReader in(text);
    std::string_view kind;
    if (!in.word(kind) || !in.number(out.from)) return false;
    bool ok = false;
    if (kind == "HELLO") {
        out.kind = DatagramKind::Hello;
        ok = readHello(in, out);
    } else if (kind == "LSA") {
        out.kind = DatagramKind::Advert;
        ok = readAdvert(in, out.advert);
    } else if (kind == "ACK") {
        out.kind = DatagramKind::Ack;
        ok = in.number(out.advert.origin) && in.number(out.advert.seq) && readFragment(in, out.advert.fragment);
    }
    return ok && in.atEnd();
}
